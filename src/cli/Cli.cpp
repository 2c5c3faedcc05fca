#include "cli/Cli.h"

#include <CLI/CLI.hpp>

#include <cstdlib>
#include <ostream>

#include "Fwupdate/ChipKinds.h"
#include "Fwupdate/DeviceRefresh.h"
#include "IDEAccess/Host.h"
#include "IDEAccess/IdentifyChip.h"
#include "IDEAccess/Notifier.h"
#include "IDEAccess/RequestTrace.h"
#include "IDEAccess/Transport.h"
#include "VirtualBridge/HostChoice.h"

namespace v62x {
namespace {

constexpr int kUsageError = 2;

// Restores the process-wide hooks the command installs.
struct HookGuard {
    ~HookGuard() {
        SetRequestObserver({});
        SetMessageNotifier({});
    }
};

void PrintDevices(const DeviceTable& table, const RefreshOutcome& outcome, std::ostream& out) {
    if (outcome.empty) {
        out << kNoDeviceText << '\n';
        return;
    }
    for (std::size_t i = 0; i < outcome.entries.size(); ++i) {
        const DeviceRecord& record = table.records[i];
        const std::uint16_t chip = outcome.chips[i];
        out << '[' << i << "] \"" << outcome.entries[i] << "\"\n";
        out << "    path:     " << record.InterfacePath << '\n';
        out << "    chip:     kind " << int{ChipKindOf(chip)} << " (" << ChipKindName(ChipKindOf(chip))
            << "), revision " << int{ChipRevisionOf(chip)} << '\n';
        out << "    drives:   " << (record.DriveLetters.empty() ? "-" : record.DriveLetters) << '\n';
    }
}

int List(bool trace, std::ostream& out, std::ostream& err) {
    HookGuard guard;
    SetMessageNotifier([&err](const OperatorMessage& message) {
        err << message.title << ": " << message.text << '\n';
    });
    if (trace) {
        CurrentHost().SetTraceEnabled(true);
        SetRequestObserver([&err](const HostRequest& request, const HostReply& reply, int result) {
            err << FormatRequestTrace(request, reply, result) << '\n';
        });
    }
    DeviceTable table;
    const RefreshOutcome outcome = RefreshDevices(table);
    for (const std::string& path : outcome.refusedPaths) err << PermissionRefusalText(path) << '\n';
    PrintDevices(table, outcome, out);
    return 0;
}

}  // namespace

int RunCli(const std::vector<std::string>& args, std::ostream& out, std::ostream& err, Host* host) {
    CLI::App app{"v62xfw: finds Velmora bridge controllers and works on their firmware", "v62xfw"};
    app.require_subcommand(1);
    bool trace = false;
    CLI::App* list = app.add_subcommand("list", "List the bridges as the window lists them");
    list->add_flag("--trace", trace, "Print every command sent during discovery to stderr");

    std::vector<std::string> reversed(args.rbegin(), args.rend());
    try {
        app.parse(reversed);
    } catch (const CLI::CallForHelp&) {
        out << app.help();
        return 0;
    } catch (const CLI::CallForAllHelp&) {
        out << app.help("", CLI::AppFormatMode::All);
        return 0;
    } catch (const CLI::ParseError& e) {
        err << "v62xfw: " << e.what() << '\n' << app.help();
        return kUsageError;
    }

    HostChoice choice;
    if (host == nullptr) {
        choice = ChooseHost(std::getenv("V62X_SIMULATE"));
        if (!choice.host) {
            err << "v62xfw: V62X_SIMULATE: " << choice.error << '\n';
            return kUsageError;
        }
        if (!choice.note.empty()) err << "v62xfw: " << choice.note << '\n';
        host = choice.host.get();
    }
    ScopedHost scoped(*host);

    if (list->parsed()) return List(trace, out, err);
    return kUsageError;
}

}  // namespace v62x
