#include "cli/RunCommand.h"

#include <CLI/CLI.hpp>

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <optional>
#include <ostream>
#include <vector>

#include "Fwupdate/ChipCheck.h"
#include "Fwupdate/DeviceRefresh.h"
#include "Fwupdate/FirmwareRecovery.h"
#include "Fwupdate/OperatorPanel.h"
#include "Fwupdate/Procedure.h"
#include "Fwupdate/RunDispatch.h"
#include "Fwupdate/ToolState.h"
#include "IDEAccess/Host.h"
#include "IDEAccess/Notifier.h"
#include "cli/Cli.h"

namespace v62x {
namespace {

constexpr int kSucceeded = 0;
constexpr int kFailed = 1;
constexpr int kRefusedFile = 2;

// The choices of the window's "Firmware size" and "Flash PgSz" lists, in KiB.
const std::vector<int> kFirmwareSizesKB = {32, 64, 128, 256, 512, 1024};
const std::vector<int> kPageSizesKB = {32, 16, 8, 4, 2};

// Undoes what a run changes in the process beyond its own records: the
// message hook and the flash settings (size, chunk, erase units), so that
// one command after another in the same process starts alike.
class RunScope {
public:
    RunScope() : geometry_(Geometry()) {}
    ~RunScope() {
        SetMessageNotifier({});
        Geometry() = geometry_;
    }
    RunScope(const RunScope&) = delete;
    RunScope& operator=(const RunScope&) = delete;

private:
    FlashGeometry geometry_;
};

// While a run writes, SIGINT, SIGTERM and SIGHUP do not stop the program:
// the first says once that the run ends after its procedure, and why;
// the procedure then finishes and the program ends with its outcome.
volatile std::sig_atomic_t g_stopAsked = 0;

void AskToStop(int) {
    if (g_stopAsked != 0) return;
    g_stopAsked = 1;
    static const char kNotice[] =
        "\nv62xfw: stopping after the running procedure: interrupting a firmware write can leave the "
        "enclosure unusable\n";
    const ssize_t ignored = ::write(STDERR_FILENO, kNotice, sizeof kNotice - 1);
    (void)ignored;
}

class FinishBeforeStopping {
public:
    FinishBeforeStopping() {
        g_stopAsked = 0;
        struct sigaction action {};
        action.sa_handler = AskToStop;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        for (std::size_t i = 0; i < kSignals.size(); ++i) ::sigaction(kSignals[i], &action, &previous_[i]);
    }
    ~FinishBeforeStopping() {
        for (std::size_t i = 0; i < kSignals.size(); ++i) ::sigaction(kSignals[i], &previous_[i], nullptr);
    }
    FinishBeforeStopping(const FinishBeforeStopping&) = delete;
    FinishBeforeStopping& operator=(const FinishBeforeStopping&) = delete;

    bool Caught() const { return g_stopAsked != 0; }

private:
    static constexpr std::array<int, 3> kSignals = {SIGINT, SIGTERM, SIGHUP};
    std::array<struct sigaction, 3> previous_{};
};

// An option of the engineering panel: giving any of them ticks "RD Version",
// without which the procedures ignore the panel.
bool EngineeringOption(const RunOptions& options) {
    return options.eraseOnly || options.backupOnly || !options.backupFile.empty() || options.includeNvram ||
           options.hddFw || options.flashType >= 0 || options.a1Chip || options.firmwareSizeKB > 0 ||
           options.pageSizeKB > 0;
}

// The operator panel of a run on a terminal. The option boxes hold what the
// command line gave. Each new status text starts a line of its own; the dots
// a procedure appends while it works stay on that line. Messages are lines
// "TITLE: TEXT" on their own stream (standard error while the device is
// checked, standard output during the run).
class ConsolePanel : public OperatorPanel {
public:
    ConsolePanel(const RunOptions& options, IdentificationState& id, std::ostream& out, std::ostream& messages)
        : options_(options), rdVersion_(EngineeringOption(options)), includeNvram_(options.includeNvram), id_(id),
          out_(out), messages_(&messages) {}

    void SendMessagesTo(std::ostream& messages) { messages_ = &messages; }

    // Ends the status line, if one is open.
    void EndLine() {
        if (!lineOpen_) return;
        out_ << '\n' << std::flush;
        lineOpen_ = false;
    }

    bool RdVersionChecked() const override { return rdVersion_; }
    bool EraseOnlyChecked() const override { return options_.eraseOnly; }
    bool BackupOnlyChecked() const override { return options_.backupOnly; }
    bool IncludeNvramChecked() const override { return includeNvram_; }
    // The tool's NVRAM choice follows the box whoever ticks it.
    void SetIncludeNvramChecked(bool checked) override {
        includeNvram_ = checked;
        id_.IncludeNvram = checked ? 1 : 0;
    }
    bool A1ChipChecked() const override { return options_.a1Chip; }
    bool CheckSumChecked() const override { return false; }
    std::string FirmwareFileName() const override { return options_.file; }
    std::string BackupFileName() const override { return options_.backupFile; }

    void SetStatus(const std::string& text) override {
        if (text == status_) return;
        // A procedure that shows its progress by setting the text with one
        // more dot keeps it on the same line, as appended dots are.
        if (lineOpen_ && text.size() == status_.size() + 1 && text.back() == '.' &&
            text.compare(0, status_.size(), status_) == 0) {
            AppendStatusDot();
            return;
        }
        EndLine();
        status_ = text;
        if (text.empty()) return;
        out_ << text << std::flush;
        lineOpen_ = true;
    }
    void AppendStatusDot() override {
        // After a message closed the line, the text comes again with its dots.
        if (!lineOpen_) out_ << status_;
        lineOpen_ = true;
        status_ += '.';
        out_ << '.' << std::flush;
    }
    std::string Status() const override { return status_; }
    void ProcessPendingEvents() override {}
    void RepaintStatus() override {}

    void ShowMessage(const std::string& title, const std::string& text) override {
        EndLine();
        *messages_ << title << ": " << text << '\n' << std::flush;
    }

    bool RunButtonEnabled() const override { return runEnabled_; }
    void SetRunButtonEnabled(bool enabled) override { runEnabled_ = enabled; }

private:
    const RunOptions& options_;
    const bool rdVersion_;
    bool includeNvram_;
    IdentificationState& id_;
    std::ostream& out_;
    std::ostream* messages_;
    std::string status_;
    bool lineOpen_ = false;
    bool runEnabled_ = true;
};

}  // namespace

CLI::App* AddRunCommand(CLI::App& app, RunOptions& options) {
    CLI::App* run = app.add_subcommand("run", "Program, erase or back up the firmware of one bridge, as Run does");
    run->add_option("device", options.device, "Device path or list index (default: the first listed)")
        ->check(NonEmptyDevice());
    CLI::Option* file = run->add_option("--file", options.file, "Firmware file to program");
    CLI::Option* erase = run->add_flag("--erase-only", options.eraseOnly,
                                       "Erase the flash (keeping the 4K NVRAM unless --include-nvram)");
    CLI::Option* backup = run->add_flag("--backup-only", options.backupOnly,
                                        "Read the firmware into the backup file, write nothing");
    erase->excludes(backup);
    erase->excludes(file);
    run->add_option("--backup-file", options.backupFile, "Backup file name");
    run->add_flag("--include-nvram", options.includeNvram, "Include the 4K NVRAM in what is written or read");
    run->add_flag("--hdd-fw", options.hddFw, "VRS735: the firmware on the attached disk");
    run->add_option("--flash-type", options.flashType,
                    "Parallel flash: 0 ATMELAT 49BV512, 1 PMC OM39LV512, 2 SST SST39LF512")
        ->check(CLI::Range(0, 2));
    run->add_flag("--a1-chip", options.a1Chip, "A1 chip: starts in its internal ROM, no switch command is sent");
    run->add_option("--firmware-size", options.firmwareSizeKB, "Firmware size in KiB")
        ->check(CLI::IsMember(kFirmwareSizesKB));
    run->add_option("--page-size", options.pageSizeKB, "Bytes per flash command, in KiB")
        ->check(CLI::IsMember(kPageSizesKB));
    CLI::Option* restore = run->add_option("--restore-nvram", options.restoreNvram,
                                           "Write a saved NVRAM copy (named after a failed run) back to the bridge");
    restore->excludes(file);
    restore->excludes(erase);
    restore->excludes(backup);
    return run;
}

std::string RunUsageProblem(const RunOptions& options) {
    if (options.file.empty() && !options.eraseOnly && !options.backupOnly && options.restoreNvram.empty()) {
        return "run: nothing to do: give --file, --erase-only, --backup-only or --restore-nvram";
    }
    return "";
}

int RunFirmwareCommand(const RunOptions& options, std::ostream& out, std::ostream& err) {
    RunScope scope;
    SetMessageNotifier([&err](const OperatorMessage& message) {
        err << message.title << ": " << message.text << '\n';
    });

    // A run that writes is not cut short by Ctrl-C or a hang-up: the
    // procedure runs to its end.
    const bool writes = !options.backupOnly;
    std::optional<FinishBeforeStopping> signals;
    if (writes) signals.emplace();

    // The device, as the window lists and selects it.
    ToolState state;
    const RefreshOutcome outcome = RefreshDevices(state.devices);
    const ReleaseAtExitGuard release(state.devices);
    state.currentChip = outcome.currentChip;
    for (const std::string& path : outcome.refusedPaths) err << PermissionRefusalText(path) << '\n';
    for (const std::string& path : outcome.busyPaths) err << "v62xfw: " << BusyText(path) << '\n';
    const int entry = FindListedEntry(state.devices, options.device);
    if (entry < 0) {
        err << "v62xfw: " << UnlistedDeviceText(options.device) << '\n';
        return kFailed;
    }
    const std::string path = state.devices.records[static_cast<std::size_t>(entry)].InterfacePath;

    // One run per bridge: the claim is held from the identification to the
    // end of the procedure; another program's run gets "busy".
    const DeviceClaim claim(path);
    if (!claim.held()) {
        err << "v62xfw: "
            << (claim.error() == EBUSY ? BusyText(path) : "cannot claim " + path + ": " + std::strerror(claim.error()))
            << ": nothing was written\n";
        return kFailed;
    }

    // The option boxes as the operator set them; "Include 4K NVRAM" starts
    // unticked unless asked for.
    state.id.EraseOnlyFlag = options.eraseOnly ? 1 : 0;
    state.id.IncludeNvram = options.includeNvram ? 1 : 0;
    ConsolePanel panel(options, state.id, out, err);

    // The chip check of the selected device with the file, then what it
    // decided for the NVRAM box, then the operator's own tick on that box.
    ChipCheckRequest request;
    request.selected = entry;
    request.listEnabled = true;
    request.fileName = options.file;
    request.eraseOnly = options.eraseOnly;
    request.backupOnly = options.backupOnly;
    // The bank repair writes: it runs below, only before a run that writes.
    request.recover = false;
    const ChipView view = UpdateBtnCheck(state, request, panel);
    if (view.nvramChecked) panel.SetIncludeNvramChecked(*view.nvramChecked);
    if (options.includeNvram) panel.SetIncludeNvramChecked(true);
    panel.SetStatus(view.status);

    // Run stays disabled for a file the check rejected (or could not open).
    if (!options.file.empty() && (view.fileMismatch || !view.runEnabled.value_or(false))) {
        panel.EndLine();
        err << "v62xfw: refused firmware file " << options.file << ": nothing was written\n";
        return kRefusedFile;
    }

    if (options.firmwareSizeKB > 0) Geometry().FirmwareSize = options.firmwareSizeKB * 1024;
    if (options.pageSizeKB > 0) Geometry().ProgramChunk = options.pageSizeKB * 1024;

    panel.SendMessagesTo(out);
    ProcedureContext ctx{state, panel, path};
    RunRequest run;
    run.flashTypeIndex = std::max(0, options.flashType);
    run.vrs735HddFw = options.hddFw;
    // Stopped before anything was written: nothing is started.
    if (signals && signals->Caught()) {
        panel.EndLine();
        err << "v62xfw: stopped before the run started: nothing was written\n";
        return kFailed;
    }
    if (!options.restoreNvram.empty()) {
        std::string why;
        const int restored = RestoreSavedNvram(ctx, run, options.restoreNvram, why);
        panel.EndLine();
        if (restored == 0) err << "v62xfw: NVRAM not restored: " << why << '\n';
        return restored != 0 ? kSucceeded : kFailed;
    }
    if (!options.backupOnly && !view.recoveryPreview.empty()) {
        // The repair's outcome is the status the run starts from.
        bool repaired = false;
        RecoverFirmware(state, panel, path, state.id.ChipKind, &repaired);
        if (!repaired) panel.SetStatus(view.status);
    }
    const RunOutcome result = RunUpdate(ctx, run);
    panel.EndLine();

    switch (result.choice) {
        case RunChoice::Nothing:
            err << "v62xfw: no procedure serves this chip (" << view.chipLabel << ", kind "
                << int{state.id.ChipKind} << ")\n";
            return kFailed;
        case RunChoice::SizeMessage:
            return kFailed;
        default:
            break;
    }
    if (result.result == 0) {
        err << "v62xfw: " << RunChoiceName(result.choice) << " failed\n";
        return kFailed;
    }
    return kSucceeded;
}

}  // namespace v62x
