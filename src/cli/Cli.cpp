#include "cli/Cli.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <ostream>

#include "Fwupdate/ChipCheck.h"
#include "IDEAccess/ChipKinds.h"
#include "Fwupdate/OperatorPanel.h"
#include "Fwupdate/ToolState.h"
#include "Fwupdate/DeviceRefresh.h"
#include "IDEAccess/CommandSession.h"
#include "IDEAccess/Host.h"
#include "IDEAccess/IdentifyChip.h"
#include "IDEAccess/Notifier.h"
#include "IDEAccess/RequestTrace.h"
#include "IDEAccess/Transport.h"
#include "cli/HostChoice.h"
#include "cli/RunCommand.h"
#include "Version.h"

namespace v62x {
namespace {

using namespace exitcode;
using Json = nlohmann::ordered_json;

// Takes the hooks the command installs off the command session again.
struct HookGuard {
    ~HookGuard() {
        SetRequestObserver({});
        SetMessageNotifier({});
    }
};

// A text for JSON: null when the human output shows "-".
Json OrNull(const std::string& text) { return text.empty() || text == "-" ? Json(nullptr) : Json(text); }

std::string Hex4(std::uint16_t id) {
    char text[8];
    std::snprintf(text, sizeof text, "%04x", static_cast<unsigned>(id));
    return text;
}

// One listed bridge as list prints it.
Json ListedBridge(const DeviceTable& table, const RefreshOutcome& outcome, std::size_t i) {
    const DeviceRecord& record = table.records[i];
    const std::uint16_t chip = outcome.chips[i];
    Host& host = CurrentHost();
    Json bridge;
    bridge["index"] = i;
    bridge["entry"] = outcome.entries[i];
    bridge["path"] = record.InterfacePath;
    bridge["bus"] = host.IsOnIeee1394(record.InterfacePath) ? "ieee1394" : "usb";
    bridge["chip"] = {{"name", ChipKindName(ChipKindOf(chip))},
                      {"kind", int{ChipKindOf(chip)}},
                      {"revision", int{ChipRevisionOf(chip)}}};
    bridge["drives"] = OrNull(record.DriveLetters);
    std::uint16_t vendor = 0;
    std::uint16_t product = 0;
    if (host.UsbIds(record.InterfacePath, vendor, product)) {
        bridge["usb"] = {{"vendor", Hex4(vendor)}, {"product", Hex4(product)},
                         {"serial", OrNull(host.UsbSerial(record.InterfacePath))}};
    } else {
        bridge["usb"] = nullptr;
    }
    return bridge;
}

int ListStatus(const DeviceTable& table, const RefreshOutcome& outcome) {
    if (!outcome.empty) return kSucceeded;
    const bool allRefused = !outcome.refusedPaths.empty() &&
                            static_cast<int>(outcome.refusedPaths.size()) >= table.CandidateCount;
    return allRefused ? kNoPermission : kNoDevice;
}

void PrintDevices(const Json& bridges, const RefreshOutcome& outcome, std::ostream& out) {
    if (outcome.empty) {
        out << kNoDeviceText << '\n';
        return;
    }
    for (const Json& bridge : bridges) {
        const Json& chip = bridge["chip"];
        out << '[' << bridge["index"].get<std::size_t>() << "] \"" << bridge["entry"].get<std::string>() << "\"\n";
        out << "    path:     " << bridge["path"].get<std::string>() << '\n';
        out << "    chip:     kind " << chip["kind"].get<int>() << " (" << chip["name"].get<std::string>()
            << "), revision " << chip["revision"].get<int>() << '\n';
        out << "    drives:   " << (bridge["drives"].is_null() ? "-" : bridge["drives"].get<std::string>()) << '\n';
        if (!bridge["usb"].is_null()) {
            out << "    usb id:   " << bridge["usb"]["vendor"].get<std::string>() << ':'
                << bridge["usb"]["product"].get<std::string>() << '\n';
        }
    }
}

int List(bool trace, bool json, std::ostream& out, std::ostream& err) {
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
    Json bridges = Json::array();
    for (std::size_t i = 0; i < outcome.entries.size(); ++i) bridges.push_back(ListedBridge(table, outcome, i));
    const int status = ListStatus(table, outcome);
    if (json) {
        Json document;
        document["bridges"] = bridges;
        document["status"] = outcome.empty ? Json(kNoDeviceText) : Json(nullptr);
        document["refused"] = outcome.refusedPaths;
        document["busy"] = outcome.busyPaths;
        document["exit_status"] = status;
        out << document.dump(2) << '\n';
    } else {
        PrintDevices(bridges, outcome, out);
    }
    return status;
}

// What a control shows: its text, or "-" when the window hides it.
std::string Shown(const ControlChange& control, const std::string& text) {
    if (control.visible.has_value() && !*control.visible) return "-";
    return text.empty() ? "-" : text;
}

int Info(const std::string& device, bool json, std::ostream& out, std::ostream& err) {
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
        const int status = UnlistedDeviceStatus(outcome, device);
        if (json) out << Json{{"error", UnlistedDeviceText(device)}, {"exit_status", status}}.dump(2) << '\n';
        return status;
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
    const std::string flashType = Shown(view.sflashType, view.flashType);
    std::string flash = flashType;
    if (flash != "-" && id.FlashSizeKB > 0) flash += ", " + std::to_string(id.FlashSizeKB) + " KiB";
    const std::string entryText = outcome.entries[static_cast<std::size_t>(entry)];
    const std::string path = state.devices.records[static_cast<std::size_t>(entry)].InterfacePath;
    const std::string version = Shown(view.fwVersion, view.version);
    if (json) {
        Json document;
        document["index"] = entry;
        document["entry"] = entryText;
        document["path"] = path;
        document["chip"] = {{"name", view.chipLabel}, {"kind", int{id.ChipKind}}, {"revision", int{id.ChipRevision}}};
        document["flash"] = {{"type", OrNull(flashType)},
                             {"size_kib", flashType != "-" && id.FlashSizeKB > 0 ? Json(id.FlashSizeKB) : Json(nullptr)}};
        document["version"] = OrNull(version);
        document["drives"] = OrNull(view.drives);
        document["status"] = OrNull(view.status);
        document["exit_status"] = kSucceeded;
        out << document.dump(2) << '\n';
        return kSucceeded;
    }
    out << "entry:    \"" << entryText << "\"\n";
    out << "path:     " << path << '\n';
    out << "chip:     " << view.chipLabel << " (kind " << int{id.ChipKind} << ", revision "
        << int{id.ChipRevision} << ")\n";
    out << "flash:    " << flash << '\n';
    out << "version:  " << version << '\n';
    out << "drives:   " << (view.drives.empty() ? "-" : view.drives) << '\n';
    out << "status:   " << (view.status.empty() ? "-" : view.status) << '\n';
    return kSucceeded;
}

// The JSON document of a run.
Json RunDocument(const RunOptions& options, const RunReport& report, int status) {
    Json document;
    document["device"] = OrNull(report.device);
    document["chip"] = OrNull(report.chip);
    document["procedure"] = OrNull(report.procedure);
    document["outcome"] = status == kSucceeded ? "succeeded" : status == kRefusedFile ? "refused" : "failed";
    document["exit_status"] = status;
    Json lines = Json::array();
    for (const RunReport::Line& line : report.lines) {
        if (line.title.empty()) {
            lines.push_back({{"status", line.text}});
        } else {
            lines.push_back({{"message", {{"title", line.title}, {"text", line.text}}}});
        }
    }
    document["lines"] = lines;
    document["error"] = OrNull(report.error);
    document["backup_file"] = OrNull(report.backupFile);
    document["log_file"] = OrNull(options.logFile);
    Json summary;
    summary["commands"] = report.commands;
    summary["bytes"] = report.bytes;
    summary["elapsed_s"] = report.elapsedSeconds;
    summary["virtual_s"] = report.virtualSeconds ? Json(*report.virtualSeconds) : Json(nullptr);
    document["summary"] = summary;
    return document;
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

int UnlistedDeviceStatus(const RefreshOutcome& outcome, const std::string& device) {
    const auto& refused = outcome.refusedPaths;
    if (device.empty() ? !refused.empty() : std::find(refused.begin(), refused.end(), device) != refused.end()) {
        return kNoPermission;
    }
    return kNoDevice;
}

namespace {

// The host when the caller gives none: the real one unless simulation is
// asked for (--simulate, else V62X_SIMULATE). A simulated run says so once.
// Null, with the reason on standard error, for a description that does not parse.
Host* ChooseCliHost(bool given, const std::string& simulate, HostChoice& choice, std::ostream& err) {
    const char* env = std::getenv("V62X_SIMULATE");
    const std::string spec = given ? simulate : (env != nullptr ? env : "");
    choice = ChooseHost(spec.c_str());
    if (!choice.host) {
        err << "v62xfw: " << (given ? "--simulate" : "V62X_SIMULATE") << ": " << choice.error << '\n';
        return nullptr;
    }
    if (choice.simulated) err << "simulated bridges: " << spec << '\n';
    return choice.host.get();
}

}  // namespace

int RunCli(const std::vector<std::string>& args, std::ostream& out, std::ostream& err, Host* host,
           const Terminal* terminal) {
    CLI::App app{"v62xfw: finds Velmora bridge controllers and works on their firmware", "v62xfw"};
    app.require_subcommand(1);
    app.set_version_flag("--version", std::string("v62xfw ") + kVersion, "Print the program version and exit");
    bool trace = false;
    CLI::App* list = app.add_subcommand("list", "List the bridges as the window lists them");
    list->add_flag("--trace", trace, "Print every command sent during discovery to stderr");
    bool listJson = false;
    list->add_flag("--json", listJson, "Print one JSON document on standard output");

    std::string device;
    CLI::App* info = app.add_subcommand("info", "Show chip, flash and firmware version of one bridge");
    info->add_option("device", device, "Device path or list index (default: the first listed)")
        ->check(NonEmptyDevice());
    bool infoJson = false;
    info->add_flag("--json", infoJson, "Print one JSON document on standard output");

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
    } catch (const CLI::CallForVersion& e) {
        out << e.what() << '\n';
        return 0;
    } catch (const CLI::CallForAllHelp&) {
        out << app.help("", CLI::AppFormatMode::All);
        return 0;
    } catch (const CLI::ParseError& e) {
        err << "v62xfw: " << e.what() << '\n' << app.help();
        return kUsage;
    }
    if (run->parsed()) {
        const std::string problem = RunUsageProblem(runOptions);
        if (!problem.empty()) {
            err << "v62xfw: " << problem << '\n' << run->help();
            return kUsage;
        }
    }

    HostChoice choice;
    if (host == nullptr) {
        host = ChooseCliHost(simulateOption->count() > 0, simulate, choice, err);
        if (host == nullptr) return kUsage;
    }
    int status = kUsage;
    {
        CommandSession scoped(*host);
        if (list->parsed()) status = List(trace, listJson, out, err);
        if (info->parsed()) status = Info(device, infoJson, out, err);
        if (run->parsed()) {
            RunReport report;
            status = RunFirmwareCommand(runOptions, terminal != nullptr ? *terminal : Terminal{}, report, out, err);
            if (runOptions.json) out << RunDocument(runOptions, report, status).dump(2) << '\n';
        }
    }
    // The program's last word when it chose the host: the simulated
    // bridges' image files.
    std::string error;
    if (choice.host && !SaveSimulatedStores(*choice.host, error)) {
        err << "v62xfw: " << error << '\n';
        if (status == kSucceeded) status = kFailed;
    }
    return status;
}

}  // namespace v62x
