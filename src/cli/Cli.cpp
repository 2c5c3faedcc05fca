#include "cli/Cli.h"

#include <CLI/CLI.hpp>

#include <cstdlib>
#include <ostream>

#include "Fwupdate/ChipCheck.h"
#include "Fwupdate/ChipKinds.h"
#include "Fwupdate/OperatorPanel.h"
#include "Fwupdate/ToolState.h"
#include "Fwupdate/DeviceRefresh.h"
#include "IDEAccess/Host.h"
#include "IDEAccess/IdentifyChip.h"
#include "IDEAccess/Notifier.h"
#include "IDEAccess/RequestTrace.h"
#include "IDEAccess/Transport.h"
#include "cli/HostChoice.h"
#include "cli/RunCommand.h"

namespace v62x {
namespace {

constexpr int kUsageError = 2;
constexpr int kNoSuchDevice = 1;

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
    const ReleaseAtExitGuard release(table);
    for (const std::string& path : outcome.refusedPaths) err << PermissionRefusalText(path) << '\n';
    for (const std::string& path : outcome.busyPaths) err << BusyText(path) << '\n';
    PrintDevices(table, outcome, out);
    return 0;
}

// What a control shows: its text, or "-" when the window hides it.
std::string Shown(const ControlChange& control, const std::string& text) {
    if (control.visible.has_value() && !*control.visible) return "-";
    return text.empty() ? "-" : text;
}

int Info(const std::string& device, std::ostream& out, std::ostream& err) {
    HookGuard guard;
    SetMessageNotifier([&err](const OperatorMessage& message) {
        err << message.title << ": " << message.text << '\n';
    });
    ToolState state;
    const RefreshOutcome outcome = RefreshDevices(state.devices);
    const ReleaseAtExitGuard release(state.devices);
    for (const std::string& path : outcome.refusedPaths) err << PermissionRefusalText(path) << '\n';
    for (const std::string& path : outcome.busyPaths) err << BusyText(path) << '\n';
    const int entry = FindListedEntry(state.devices, device);
    if (entry < 0) {
        err << "v62xfw: " << UnlistedDeviceText(device) << '\n';
        return kNoSuchDevice;
    }
    RecordingPanel panel;
    ChipCheckRequest request;
    request.selected = entry;
    request.listEnabled = true;
    // info only reads: a damaged bank is reported, not repaired.
    request.recover = false;
    ChipView view = UpdateBtnCheck(state, request, panel);
    if (!view.recoveryPreview.empty()) view.status = view.recoveryPreview;
    for (const auto& message : panel.messages) err << message.title << ": " << message.text << '\n';

    const IdentificationState& id = state.id;
    std::string flash = Shown(view.sflashType, view.flashType);
    if (flash != "-" && id.FlashSizeKB > 0) flash += ", " + std::to_string(id.FlashSizeKB) + " KiB";
    out << "entry:    \"" << outcome.entries[static_cast<std::size_t>(entry)] << "\"\n";
    out << "path:     " << state.devices.records[static_cast<std::size_t>(entry)].InterfacePath << '\n';
    out << "chip:     " << view.chipLabel << " (kind " << int{id.ChipKind} << ", revision "
        << int{id.ChipRevision} << ")\n";
    out << "flash:    " << flash << '\n';
    out << "version:  " << Shown(view.fwVersion, view.version) << '\n';
    out << "drives:   " << (view.drives.empty() ? "-" : view.drives) << '\n';
    out << "status:   " << (view.status.empty() ? "-" : view.status) << '\n';
    return 0;
}

}  // namespace

CLI::Validator NonEmptyDevice() {
    // An unset shell variable must not silently mean "the first bridge".
    return CLI::Validator(
        [](std::string& value) {
            return value.empty() ? std::string("an empty DEVICE names no device (leave it out for the first listed)")
                                 : std::string();
        },
        "DEVICE");
}

int FindListedEntry(const DeviceTable& table, const std::string& device) {
    if (device.empty()) return table.ListedCount > 0 ? 0 : -1;
    for (int i = 0; i < table.ListedCount; ++i) {
        if (table.records[static_cast<std::size_t>(i)].InterfacePath == device) return i;
    }
    if (device.find_first_not_of("0123456789") == std::string::npos && device.size() < 3) {
        const int index = std::stoi(device);
        if (index < table.ListedCount) return index;
    }
    return -1;
}

std::string UnlistedDeviceText(const std::string& device) {
    return device.empty() ? std::string(kNoDeviceText) : "no listed device " + device;
}

int RunCli(const std::vector<std::string>& args, std::ostream& out, std::ostream& err, Host* host) {
    CLI::App app{"v62xfw: finds Velmora bridge controllers and works on their firmware", "v62xfw"};
    app.require_subcommand(1);
    bool trace = false;
    CLI::App* list = app.add_subcommand("list", "List the bridges as the window lists them");
    list->add_flag("--trace", trace, "Print every command sent during discovery to stderr");

    std::string device;
    CLI::App* info = app.add_subcommand("info", "Show chip, flash and firmware version of one bridge");
    info->add_option("device", device, "Device path or list index (default: the first listed)")
        ->check(NonEmptyDevice());

    RunOptions runOptions;
    CLI::App* run = AddRunCommand(app, runOptions);

    std::string simulate;
    CLI::Option* simulateOption =
        app.add_option("--simulate", simulate,
                       "Work on simulated bridges described as V62X_SIMULATE describes them (never unless asked)");

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
    if (run->parsed()) {
        const std::string problem = RunUsageProblem(runOptions);
        if (!problem.empty()) {
            err << "v62xfw: " << problem << '\n' << run->help();
            return kUsageError;
        }
    }

    // The host: the caller's, or the real one unless simulation is asked
    // for (--simulate, else V62X_SIMULATE). A simulated run says so once.
    HostChoice choice;
    if (host == nullptr) {
        const bool given = simulateOption->count() > 0;
        const char* env = std::getenv("V62X_SIMULATE");
        const std::string spec = given ? simulate : (env != nullptr ? env : "");
        choice = ChooseHost(spec.c_str());
        if (!choice.host) {
            err << "v62xfw: " << (given ? "--simulate" : "V62X_SIMULATE") << ": " << choice.error << '\n';
            return kUsageError;
        }
        if (choice.simulated) err << "simulated bridges: " << spec << '\n';
        host = choice.host.get();
    }
    int status = kUsageError;
    {
        ScopedHost scoped(*host);
        if (list->parsed()) status = List(trace, out, err);
        if (info->parsed()) status = Info(device, out, err);
        if (run->parsed()) status = RunFirmwareCommand(runOptions, out, err);
    }
    // The program's last word when it chose the host: the simulated
    // bridges' image files.
    std::string error;
    if (choice.host && !SaveSimulatedStores(*choice.host, error)) {
        err << "v62xfw: " << error << '\n';
        if (status == 0) status = 1;
    }
    return status;
}

}  // namespace v62x
