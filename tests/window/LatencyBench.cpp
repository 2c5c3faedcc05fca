// v62x_latency_bench: how long the window's thread stalls while a whole
// serial-flash update runs. The simulated bridge works in real time (each
// virtual millisecond takes SCALE real ones, default 1); a 10 ms timer on
// the window's thread records the longest gap between its ticks.
//
//   v62x_latency_bench [SCALE]
//
// Prints the run's outcome, its length and the longest stall. The exit
// status says only whether the run succeeded: the figure is for people to
// read (the window must stay under 100 ms), not a timed test.
#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "Fwupdate/ToolState.h"
#include "Fwupdate/window/V62xFwTool.h"
#include "Fwupdate/window/WindowSeams.h"
#include "VirtualBridge/DemoSet.h"
#include "VirtualBridge/SimulatedHost.h"
#include "VirtualBridge/SimulationDescription.h"
#include "IDEAccess/CommandSession.h"

namespace {

struct QuietMessages : v62x::MessageBoxes {
    void Show(QWidget*, const v62x::OperatorMessage& message) override {
        std::printf("  message: %s\n", message.text.c_str());
    }
};

}  // namespace

int main(int argc, char** argv) {
    if (std::getenv("QT_QPA_PLATFORM") == nullptr) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    const double scale = argc > 1 ? std::atof(argv[1]) : 1.0;

    std::vector<v62x::sim::DemoBridge> bridges;
    std::string why;
    if (!v62x::sim::DemoBridges(bridges, why)) {
        std::fprintf(stderr, "v62x_latency_bench: %s\n", why.c_str());
        return 2;
    }
    const v62x::sim::DemoBridge& serial = bridges.front();  // the kind-8 serial-flash bridge
    const std::string file = "/tmp/v62x-latency-" + std::to_string(::getpid()) + ".bin";
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(serial.image.data()), static_cast<std::streamsize>(serial.image.size()));

    v62x::sim::SimulatedHost host;
    std::vector<v62x::sim::DeviceConfig> configs;
    if (!v62x::sim::ParseSimulationDescription(serial.entry, configs, why)) {
        std::fprintf(stderr, "v62x_latency_bench: %s\n", why.c_str());
        return 2;
    }
    for (const auto& config : configs) host.AddDevice(config);
    host.DrainDeviceEvents();
    v62x::CommandSession scoped(host);

    QuietMessages messages;
    v62x::TV62xFwTool window(v62x::WindowSeams{&messages, nullptr, nullptr});
    window.show();
    window.findChild<QLineEdit*>("FwFilenameEdit")->setText(QString::fromStdString(file));

    // From here on the bridge takes real time.
    host.Clock().SetRealTimeScale(scale);
    QElapsedTimer sinceTick;
    qint64 longest = 0;
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        longest = std::max(longest, sinceTick.restart());
    });
    QElapsedTimer run;
    run.start();
    sinceTick.start();
    ticker.start(10);
    window.findChild<QPushButton*>("UpdateBtn")->click();
    window.WaitForRun();
    ticker.stop();
    host.Clock().SetRealTimeScale(0);
    std::remove(file.c_str());

    const std::string status = window.Status();
    std::printf("run: %s in %.1f s (real time x%.2f)\n", status.c_str(), run.elapsed() / 1000.0, scale);
    std::printf("longest stall of the window's thread: %lld ms (10 ms timer; must stay under 100 ms)\n",
                static_cast<long long>(longest > 10 ? longest - 10 : 0));
    return status == "Programming Success!!" ? 0 : 1;
}
