// v62x_window_probe: the window on the host it finds (the real one unless
// V62X_SIMULATE asks otherwise), driven as an operator would, for the test
// stage on a real kernel. It waits for a bridge, has it unplugged and
// plugged back by the given shell commands and times how long the device
// list takes to follow (the window refreshes 0.2 s after a device leaves
// and 1.2 s after one arrives), then loads the file and presses Run.
//
//   v62x_window_probe --select TEXT --unplug CMD --replug CMD --file FIRMWARE [--expect STATUS]
//
// TEXT picks the bridge: the first list entry that contains it.
//
// Prints one "ok: ..." or "FAIL: ..." line per check; the exit status is 0
// only when every check passed.
#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QThread>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

#include "Fwupdate/window/V62xFwTool.h"
#include "Fwupdate/window/WindowSeams.h"
#include "IDEAccess/CommandSession.h"
#include "IDEAccess/Host.h"
#include "cli/HostChoice.h"

namespace {

struct PrintedMessages : v62x::MessageBoxes {
    void Show(QWidget*, const v62x::OperatorMessage& message) override {
        std::printf("  message: %s\n", message.text.c_str());
    }
};

int failures = 0;

void Check(bool passed, const std::string& what) {
    std::printf("%s: window: %s\n", passed ? "ok" : "FAIL", what.c_str());
    std::fflush(stdout);
    if (!passed) ++failures;
}

// Lets the window work until `done` holds or `limitMs` pass; the elapsed
// milliseconds, or -1 on time-out.
qint64 WaitUntil(const std::function<bool()>& done, qint64 limitMs) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > limitMs) return -1;
        QApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(5);
    }
    return timer.elapsed();
}

std::string Option(int argc, char** argv, const std::string& name) {
    for (int i = 1; i + 1 < argc; ++i) {
        if (name == argv[i]) return argv[i + 1];
    }
    return "";
}

}  // namespace

int main(int argc, char** argv) {
    if (std::getenv("QT_QPA_PLATFORM") == nullptr) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    const std::string unplug = Option(argc, argv, "--unplug");
    const std::string replug = Option(argc, argv, "--replug");
    const std::string file = Option(argc, argv, "--file");
    const std::string select = Option(argc, argv, "--select");
    std::string expect = Option(argc, argv, "--expect");
    if (expect.empty()) expect = "Programming Success!!";
    if (select.empty() || unplug.empty() || replug.empty() || file.empty()) {
        std::fprintf(stderr,
                     "usage: v62x_window_probe --select TEXT --unplug CMD --replug CMD --file FIRMWARE "
                     "[--expect STATUS]\n");
        return 2;
    }

    v62x::HostChoice choice = v62x::ChooseHost(std::getenv("V62X_SIMULATE"));
    if (!choice.host) {
        std::fprintf(stderr, "v62x_window_probe: %s\n", choice.error.c_str());
        return 2;
    }
    v62x::CommandSession scoped(*choice.host);
    PrintedMessages messages;
    v62x::TV62xFwTool window(v62x::WindowSeams{&messages, nullptr, nullptr});
    window.show();
    auto* list = window.findChild<QComboBox*>("DeviceList");
    auto bridges = [list] { return list->isEnabled() ? list->count() : 0; };
    auto find = [list, &select] { return list->isEnabled() ? list->findText(QString::fromStdString(select), Qt::MatchContains) : -1; };

    Check(WaitUntil([&] { return find() >= 0; }, 15000) >= 0, "\"" + select + "\" is listed at start");
    const int listed = bridges();

    // The list follows a removal 0.2 s after the kernel reports it, an
    // arrival 1.2 s after; the kernel itself takes about 0.1 s and 0.8 s.
    if (std::system(unplug.c_str()) != 0) Check(false, "unplug command: " + unplug);
    const qint64 gone = WaitUntil([&] { return bridges() < listed; }, 10000);
    Check(gone >= 200, "the list follows the removal after " + std::to_string(gone) + " ms (at least 200)");
    if (std::system(replug.c_str()) != 0) Check(false, "replug command: " + replug);
    const qint64 back = WaitUntil([&] { return bridges() == listed && find() >= 0; }, 20000);
    Check(back >= 1200, "the list follows the arrival after " + std::to_string(back) + " ms (at least 1200)");

    list->setCurrentIndex(std::max(0, find()));
    window.findChild<QLineEdit*>("FwFilenameEdit")->setText(QString::fromStdString(file));
    auto* run = window.findChild<QPushButton*>("UpdateBtn");
    Check(WaitUntil([run] { return run->isEnabled(); }, 10000) >= 0, "Run is enabled for " + file);
    QElapsedTimer timer;
    timer.start();
    run->click();
    window.WaitForRun();
    const std::string status = window.Status();
    Check(status == expect, "Run ends with \"" + status + "\" after " + std::to_string(timer.elapsed()) + " ms");
    window.close();

    std::string error;
    if (!v62x::SaveSimulatedStores(*choice.host, error)) Check(false, error);
    return failures == 0 ? 0 : 1;
}
