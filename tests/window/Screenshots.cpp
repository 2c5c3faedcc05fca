// v62x_screenshots: writes PNG pictures of the main window in its typical
// states, on simulated bridges, for people to review.
//
//   v62x_screenshots [FOLDER]      (default build/screenshots)

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QTextStream>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Fwupdate/ToolState.h"
#include "Fwupdate/window/Screenshot.h"
#include "Fwupdate/window/V62xFwTool.h"
#include "Fwupdate/window/WindowSeams.h"
#include "VirtualBridge/SimulatedHost.h"
#include "VirtualBridge/SimulationDescription.h"
#include "IDEAccess/CommandSession.h"

namespace v62x {
namespace {

// Messages are printed, never shown: the tool runs without a person.
struct PrintedMessages : MessageBoxes {
    void Show(QWidget*, const OperatorMessage& message) override {
        std::fprintf(stderr, "  message \"%s\": %s\n", message.title.c_str(), message.text.c_str());
    }
};
struct NoFiles : FileDialogs {
    QString OpenFile(QWidget*, const OpenFileRequest&) override { return {}; }
};

struct Shot {
    const char* file;
    const char* shows;
    const char* devices;  // V62X_SIMULATE description of the devices
    std::function<void(TV62xFwTool&)> prepare;  // after construction, may be empty
};

// A 64 KiB kind-12 image (tag block at 0xBFF0) in the temporary folder.
QString Kind12Image() {
    const QString path = QDir::temp().filePath("v62x-screenshot-735.bin");
    QFile file(path);
    if (file.open(QIODevice::WriteOnly)) {
        QByteArray bytes(65536, '\x11');
        const char tag[] = {'\x55', '\xAA', '\xAA', '\x55', '7', '3', '5', '1'};
        bytes.replace(0xBFF0, 8, tag, 8);
        file.write(bytes);
    }
    return path;
}

void PressRun(TV62xFwTool& window) {
    window.findChild<QPushButton*>("UpdateBtn")->click();
    window.WaitForRun();
}

void Tick(TV62xFwTool& window, const char* name) {
    auto* box = window.findChild<QCheckBox*>(name);
    box->click();  // runs the box's click handler as the operator's click does
}

bool Take(const Shot& shot, const QDir& folder) {
    std::vector<sim::DeviceConfig> configs;
    std::string error;
    if (!sim::ParseSimulationDescription(shot.devices, configs, error)) {
        std::fprintf(stderr, "%s: %s\n", shot.file, error.c_str());
        return false;
    }
    sim::SimulatedHost host;
    CommandSession scoped(host);
    for (const sim::DeviceConfig& config : configs) host.AddDevice(config);
    host.DrainDeviceEvents();

    PrintedMessages messages;
    NoFiles files;
    TV62xFwTool window(WindowSeams{&messages, &files});
    window.MarkSimulated();
    window.show();
    if (shot.prepare) shot.prepare(window);
    QApplication::processEvents();

    const QString path = folder.filePath(shot.file);
    QString failure;
    if (!WriteScreenshot(window, path, failure)) {
        std::fprintf(stderr, "%s\n", qPrintable(failure));
        return false;
    }
    std::printf("%s  %s\n", qPrintable(path), shot.shows);
    return true;
}

}  // namespace
}  // namespace v62x

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QString folderName = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("build/screenshots");
    QDir folder(folderName);
    if (!folder.mkpath(".")) {
        std::fprintf(stderr, "cannot create %s\n", argv[1]);
        return 1;
    }

    const std::vector<v62x::Shot> shots = {
        {"kind8-serial-flash.png", "kind-8 USB bridge: chip, drives, serial flash type and firmware version",
         "bridge:kind=8,rev=2,product=USB2.0 Bridge,mount=/media/op/DATA+/media/op/BACKUP", {}},
        {"kind2-parallel-flash.png", "kind-2 bridge: the parallel-flash list instead of the flash type",
         "bridge:kind=2", {}},
        {"kind16-unsupported.png", "kind-16 chip: flash and version hidden, status of the check",
         "bridge:kind=16", {}},
        {"empty.png", "no bridge: the empty state", " ", {}},
        {"denied.png", "a bridge the host refuses without root: the reason in the status field",
         "bridge:kind=8,denied=1", {}},
        {"panel-kind8.png", "kind-8 bridge, engineering panel open (Include 4K NVRAM, VRS735 HDD FW)",
         "bridge:kind=8,rev=2,mount=/media/op/DATA",
         [](v62x::TV62xFwTool& window) { v62x::Tick(window, "RdCheckBox"); }},
        {"panel-kind4-erase-only.png", "kind-4 bridge, panel open, erase only: the firmware-size list",
         "bridge:kind=4",
         [](v62x::TV62xFwTool& window) {
             v62x::Tick(window, "RdCheckBox");
             v62x::Tick(window, "EraseOnlyCheck");
         }},
        {"kind12-disk-programmed.png", "kind-12 bridge with its firmware on the disk, after Run programmed an image",
         "bridge:kind=12,hddfw=1,flash=none",
         [](v62x::TV62xFwTool& window) {
             window.findChild<QLineEdit*>("FwFilenameEdit")->setText(v62x::Kind12Image());
             v62x::PressRun(window);
         }},
        {"kind14-erased.png", "kind-14 bridge, panel open, after an erase-only Run of its disk area",
         "bridge:kind=14",
         [](v62x::TV62xFwTool& window) {
             v62x::Tick(window, "RdCheckBox");
             v62x::Tick(window, "EraseOnlyCheck");
             v62x::PressRun(window);
         }},
        {"ieee1394-two-bridges.png", "a kind-7 bridge on IEEE 1394 listed after a kind-3 on USB: \"1394 DISK\"",
         "bridge:kind=3;bridge:kind=7,rev=1,bus=1394,product=1394 Bridge", {}},
    };
    int failures = 0;
    for (const auto& shot : shots) {
        if (!v62x::Take(shot, folder)) ++failures;
    }
    return failures == 0 ? 0 : 1;
}
