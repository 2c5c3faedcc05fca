// v62xfwtool: shows the main window on the real host, or, only when asked,
// on the simulated bridges that V62X_SIMULATE describes (the caption then
// ends with " [simulated]").
//
// V62X_SCREENSHOT=path writes a PNG of the window once it is shown;
// V62X_SCREENSHOT_EXIT=1 then closes the window (for runs without a person
// in front of the display).
//
// --version and --help print their text and exit without a window.

#include <QApplication>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "Fwupdate/window/AppIcon.h"
#include "Fwupdate/window/Screenshot.h"
#include "Fwupdate/window/V62xFwTool.h"
#include "IDEAccess/CommandSession.h"
#include "IDEAccess/Host.h"
#include "cli/HostChoice.h"
#include "Version.h"

namespace {

bool IsSet(const char* value) { return value != nullptr && *value != '\0'; }

// --version and --help are answered before any window exists (no display
// needed); true when argv held one of them.
bool AnswerWithoutWindow(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--version") {
            std::printf("v62xfwtool %s\n", v62x::kVersion);
            return true;
        }
        if (arg == "--help" || arg == "-h") {
            std::printf("Usage: v62xfwtool [--version] [--help] [Qt options]\n"
                        "Shows the window that updates the firmware of Velmora bridge controllers.\n"
                        "V62X_SIMULATE=DESCRIPTION works on simulated bridges instead (never unless set).\n"
                        "The command line companion is v62xfw.\n");
            return true;
        }
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    if (AnswerWithoutWindow(argc, argv)) return 0;
    QApplication app(argc, argv);
    app.setApplicationName("v62xfwtool");
    app.setWindowIcon(v62x::AppIcon());

    v62x::HostChoice choice = v62x::ChooseHost(std::getenv("V62X_SIMULATE"));
    if (!choice.host) {
        std::fprintf(stderr, "v62xfwtool: %s\n", choice.error.c_str());
        return 2;
    }
    if (choice.simulated) std::fprintf(stderr, "v62xfwtool: simulated bridges: %s\n", std::getenv("V62X_SIMULATE"));
    choice.host->SetTraceEnabled(IsSet(std::getenv("V62X_DEBUG")));
    v62x::CommandSession scoped(*choice.host);

    int status = 0;
    {
        v62x::TV62xFwTool window;
        // Simulated bridges must never pass for real ones, screenshots included.
        if (choice.simulated) window.MarkSimulated();
        window.show();

        const char* screenshot = std::getenv("V62X_SCREENSHOT");
        const bool exitAfter = IsSet(std::getenv("V62X_SCREENSHOT_EXIT"));
        if (IsSet(screenshot)) {
            // Runs once the event loop has shown the window.
            QTimer::singleShot(0, &window, [&window, &status, screenshot, exitAfter] {
                QString error;
                if (v62x::WriteScreenshot(window, QString::fromLocal8Bit(screenshot), error)) {
                    std::fprintf(stderr, "v62xfwtool: screenshot written to %s\n", screenshot);
                } else {
                    std::fprintf(stderr, "v62xfwtool: %s\n", qPrintable(error));
                    status = 1;
                }
                if (exitAfter) window.close();
            });
        }
        const int loop = app.exec();
        if (status == 0) status = loop;
    }
    // The program's last word: the simulated bridges' image files.
    std::string error;
    if (!v62x::SaveSimulatedStores(*choice.host, error)) {
        std::fprintf(stderr, "v62xfwtool: %s\n", error.c_str());
        if (status == 0) status = 1;
    }
    return status;
}
