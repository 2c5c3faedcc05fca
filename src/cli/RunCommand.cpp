#include "cli/RunCommand.h"

#include <CLI/CLI.hpp>

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iostream>
#include <optional>
#include <ostream>
#include <sstream>
#include <vector>

#include "Fwupdate/ChipCheck.h"
#include "Fwupdate/DeviceRefresh.h"
#include "Fwupdate/FirmwareRecovery.h"
#include "Fwupdate/OperatorPanel.h"
#include "Fwupdate/Procedure.h"
#include "Fwupdate/RunDispatch.h"
#include "Fwupdate/ToolState.h"
#include "IDEAccess/Host.h"
#include "Fwupdate/SafeFile.h"
#include "IDEAccess/Notifier.h"
#include "IDEAccess/RequestTrace.h"
#include "IDEAccess/Transport.h"
#include "VirtualBridge/SimulatedHost.h"
#include "cli/Cli.h"

namespace v62x {
namespace {

using namespace exitcode;
using Clock = std::chrono::steady_clock;

// The choices of the window's "Firmware size" and "Flash PgSz" lists, in KiB.
const std::vector<int> kFirmwareSizesKB = {32, 64, 128, 256, 512, 1024};
const std::vector<int> kPageSizesKB = {32, 16, 8, 4, 2};

// Undoes what a run changes in the process beyond its own records, the
// message hook, so that one command after another in the same process
// starts alike.
class RunScope {
public:
    RunScope() = default;
    ~RunScope() { SetMessageNotifier({}); }
    RunScope(const RunScope&) = delete;
    RunScope& operator=(const RunScope&) = delete;
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

// Counts the commands of a run and the bytes they move, and keeps the
// command trace with time stamps (ISO 8601 UTC, milliseconds) for --trace
// and --log. An observer installed before it still sees every request; it
// is back in place when the recorder ends.
class RunRecorder {
public:
    RunRecorder(bool keep, std::ostream* echo) : keep_(keep), echo_(echo), previous_(CurrentRequestObserver()) {
        SetRequestObserver([this](const HostRequest& request, const HostReply& reply, int result) {
            if (previous_) previous_(request, reply, result);
            ++commands_;
            bytes_ += reply.transferred;
            if (!keep_ && echo_ == nullptr) return;
            const std::string line = Stamp() + ' ' + FormatRequestTrace(request, reply, result);
            if (echo_ != nullptr) *echo_ << line << '\n' << std::flush;
            if (keep_) log_ += line + '\n';
        });
    }
    ~RunRecorder() { SetRequestObserver(previous_); }
    RunRecorder(const RunRecorder&) = delete;
    RunRecorder& operator=(const RunRecorder&) = delete;

    std::uint64_t commands() const { return commands_; }
    std::uint64_t bytes() const { return bytes_; }
    const std::string& log() const { return log_; }

private:
    static std::string Stamp() {
        const auto now = std::chrono::system_clock::now();
        const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
        std::tm utc{};
        ::gmtime_r(&seconds, &utc);
        char text[40];
        const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
        std::snprintf(text + n, sizeof text - n, ".%03dZ", static_cast<int>(ms));
        return text;
    }

    bool keep_;
    std::ostream* echo_;
    RequestObserver previous_;
    std::uint64_t commands_ = 0;
    std::uint64_t bytes_ = 0;
    std::string log_;
};

std::string Clock2(double seconds) {
    const long whole = static_cast<long>(seconds);
    char text[24];
    std::snprintf(text, sizeof text, "%02ld:%02ld", whole / 60, whole % 60);
    return text;
}

// The operator panel of a run. The option boxes hold what the command line
// gave. Each new status text starts a line of its own; the dots a procedure
// appends while it works stay on that line. On a terminal (bar) that line
// also shows the procedure's progress, rewritten in place: a bar, the
// percent, the bytes moved during the step and the time since the run
// started. Messages are lines "TITLE: TEXT" on their own stream (standard
// error while the device is checked, the status stream during the run).
// Every status text and message is also kept, in order, in the report.
class ConsolePanel : public OperatorPanel {
public:
    ConsolePanel(const RunOptions& options, IdentificationState& id, std::ostream& out, std::ostream& messages,
                 RunReport& report, bool bar, const RunRecorder& recorder, Clock::time_point start)
        : options_(options), rdVersion_(EngineeringOption(options)), includeNvram_(options.includeNvram), id_(id),
          out_(out), messages_(&messages), report_(report), bar_(bar), recorder_(recorder), start_(start) {}

    void SendMessagesTo(std::ostream& messages) { messages_ = &messages; }

    // Ends the status line, if one is open.
    void EndLine() {
        if (!lineOpen_) return;
        out_ << '\n' << std::flush;
        lineOpen_ = false;
    }

    void SetProgress(std::uint64_t done, std::uint64_t planned) override {
        if (!bar_ || planned == 0) return;
        done_ = std::min(done, planned);
        planned_ = planned;
        const int percent = static_cast<int>(done_ * 100 / planned_);
        const auto now = Clock::now();
        if (percent == shownPercent_ && now - drawn_ < std::chrono::milliseconds(200)) return;
        shownPercent_ = percent;
        drawn_ = now;
        Draw();
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
        planned_ = 0;
        shownPercent_ = -1;
        stepBytes_ = recorder_.bytes();
        if (text.empty()) return;
        report_.lines.push_back({"", text});
        statusLine_ = report_.lines.size() - 1;
        lineOpen_ = true;
        if (bar_) {
            Draw();
        } else {
            out_ << text << std::flush;
        }
    }
    void AppendStatusDot() override {
        status_ += '.';
        if (statusLine_ < report_.lines.size()) report_.lines[statusLine_].text = status_;
        if (bar_) {
            lineOpen_ = true;
            Draw();
            return;
        }
        // After a message closed the line, the text comes again with its dots.
        if (!lineOpen_) out_ << status_.substr(0, status_.size() - 1);
        lineOpen_ = true;
        out_ << '.' << std::flush;
    }
    std::string Status() const override { return status_; }
    void ProcessPendingEvents() override {}
    void RepaintStatus() override {}

    void ShowMessage(const std::string& title, const std::string& text) override {
        EndLine();
        report_.lines.push_back({title, text});
        statusLine_ = static_cast<std::size_t>(-1);
        *messages_ << title << ": " << text << '\n' << std::flush;
    }

    bool RunButtonEnabled() const override { return runEnabled_; }
    void SetRunButtonEnabled(bool enabled) override { runEnabled_ = enabled; }

private:
    // The status line on a terminal, drawn again from its start.
    void Draw() {
        std::string line = "\r" + status_;
        if (planned_ > 0) {
            constexpr std::uint64_t kWidth = 20;
            const std::uint64_t filled = done_ * kWidth / planned_;
            line += "  [" + std::string(filled, '#') + std::string(kWidth - filled, '-') + "] ";
            char percent[8];
            std::snprintf(percent, sizeof percent, "%3d%%", static_cast<int>(done_ * 100 / planned_));
            line += percent;
            line += "  " + std::to_string(recorder_.bytes() - stepBytes_) + " bytes";
        }
        line += "  " + Clock2(std::chrono::duration<double>(Clock::now() - start_).count());
        // Clears what a longer line left on the right.
        out_ << line << "\x1b[K" << std::flush;
    }

    const RunOptions& options_;
    const bool rdVersion_;
    bool includeNvram_;
    IdentificationState& id_;
    std::ostream& out_;
    std::ostream* messages_;
    std::string status_;
    bool lineOpen_ = false;
    bool runEnabled_ = true;
    RunReport& report_;
    const bool bar_;
    const RunRecorder& recorder_;
    const Clock::time_point start_;
    std::size_t statusLine_ = static_cast<std::size_t>(-1);
    std::uint64_t done_ = 0;
    std::uint64_t planned_ = 0;
    int shownPercent_ = -1;
    Clock::time_point drawn_{};
    std::uint64_t stepBytes_ = 0;
};

// The question before a write; true when answered y or yes.
bool Confirmed(const std::string& question, const Terminal& terminal, std::ostream& err) {
    err << question << " [y/N] " << std::flush;
    std::string answer;
    if (terminal.answers == nullptr || !std::getline(*terminal.answers, answer)) {
        err << '\n';
        return false;
    }
    std::transform(answer.begin(), answer.end(), answer.begin(), [](unsigned char c) { return std::tolower(c); });
    answer.erase(0, answer.find_first_not_of(" \t"));
    answer.erase(answer.find_last_not_of(" \t\r") + 1);
    return answer == "y" || answer == "yes";
}

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
    run->add_flag("--yes,-y", options.yes, "Erase or program without asking (needed when standard input is no terminal)");
    run->add_flag("--json", options.json, "Print one JSON document of the run on standard output; the texts go to stderr");
    run->add_flag("--trace", options.trace, "Print every command sent, with its time, to stderr");
    run->add_option("--log", options.logFile, "Write every command sent, with its time, to this file");
    return run;
}

std::string RunUsageProblem(const RunOptions& options) {
    if (options.file.empty() && !options.eraseOnly && !options.backupOnly && options.restoreNvram.empty()) {
        return "run: nothing to do: give --file, --erase-only, --backup-only or --restore-nvram";
    }
    return "";
}

Terminal ProcessTerminal() {
    Terminal terminal;
    terminal.input = ::isatty(STDIN_FILENO) == 1;
    terminal.output = ::isatty(STDOUT_FILENO) == 1;
    terminal.answers = &std::cin;
    return terminal;
}

std::string SummaryText(const RunReport& report) {
    char text[160];
    std::snprintf(text, sizeof text, "summary: %llu commands, %llu bytes, %.2f s elapsed",
                  static_cast<unsigned long long>(report.commands), static_cast<unsigned long long>(report.bytes),
                  report.elapsedSeconds);
    std::string summary = text;
    if (report.virtualSeconds) {
        std::snprintf(text, sizeof text, ", %.2f s virtual", *report.virtualSeconds);
        summary += text;
    }
    return summary;
}

namespace {

// What goes wrong is said on standard error and kept in the report.
int Fail(std::ostream& err, RunReport& report, int status, const std::string& why) {
    err << "v62xfw: " << why << '\n';
    report.error = why;
    return status;
}

// The question the operator answers before anything is erased or programmed.
std::string WriteQuestion(const RunOptions& options, const std::string& target) {
    if (!options.restoreNvram.empty()) return "Write the saved NVRAM copy " + options.restoreNvram + " to " + target + "?";
    if (options.eraseOnly) return "Erase the firmware of " + target + "?";
    return "Erase and program the firmware of " + target + "?";
}

// The chip check of the selected device with the file, then what it decided
// for the NVRAM box, then the operator's own tick on that box.
ChipView CheckSelectedChip(const RunOptions& options, int entry, ToolState& state, ConsolePanel& panel) {
    ChipCheckRequest request;
    request.selected = entry;
    request.listEnabled = true;
    request.fileName = options.file;
    request.eraseOnly = options.eraseOnly;
    request.backupOnly = options.backupOnly;
    // The bank repair writes: it runs later, only before a run that writes.
    request.recover = false;
    const ChipView view = UpdateBtnCheck(state, request, panel);
    if (view.nvramChecked) panel.SetIncludeNvramChecked(*view.nvramChecked);
    if (options.includeNvram) panel.SetIncludeNvramChecked(true);
    panel.SetStatus(view.status);
    return view;
}

// The procedure the dispatch chooses (or the NVRAM restore), from the
// operator's word on to its end.
int RunChosenProcedure(const RunOptions& options, ToolState& state, ConsolePanel& panel, const std::string& path,
                       const ChipView& view, const FinishBeforeStopping* signals, RunReport& report,
                       std::ostream& err) {
    if (options.firmwareSizeKB > 0) state.flash.FirmwareSize = options.firmwareSizeKB * 1024;
    if (options.pageSizeKB > 0) state.flash.ProgramChunk = options.pageSizeKB * 1024;

    ProcedureContext ctx{state, panel, path};
    RunRequest run;
    run.flashTypeIndex = std::max(0, options.flashType);
    run.vrs735HddFw = options.hddFw;
    // Stopped before anything was written: nothing is started.
    if (signals != nullptr && signals->Caught()) {
        panel.EndLine();
        return Fail(err, report, kFailed, "stopped before the run started: nothing was written");
    }
    if (!options.restoreNvram.empty()) {
        report.procedure = "NVRAM restore";
        std::string why;
        const int restored = RestoreSavedNvram(ctx, run, options.restoreNvram, why);
        panel.EndLine();
        if (restored == 0) return Fail(err, report, kFailed, "NVRAM not restored: " + why);
        return kSucceeded;
    }
    if (!options.backupOnly && !view.recoveryPreview.empty()) {
        // The repair's outcome is the status the run starts from.
        bool repaired = false;
        RecoverFirmware(state, panel, path, state.id.ChipKind, &repaired);
        if (!repaired) panel.SetStatus(view.status);
    }
    const RunOutcome result = RunUpdate(ctx, run);
    panel.EndLine();
    if (result.choice != RunChoice::Nothing) report.procedure = RunChoiceName(result.choice);
    if (options.backupOnly) report.backupFile = panel.BackupFileName();

    switch (result.choice) {
        case RunChoice::Nothing:
            return Fail(err, report, kFailed,
                        "no procedure serves this chip (" + view.chipLabel + ", kind " +
                            std::to_string(int{state.id.ChipKind}) + ")");
        case RunChoice::SizeMessage:
            report.error = "the file is bigger than the flash";
            return kFailed;
        default:
            break;
    }
    if (result.result == 0) return Fail(err, report, kFailed, std::string(RunChoiceName(result.choice)) + " failed");
    return kSucceeded;
}

// The run itself, from the device's discovery to the procedure's end.
int RunOnDevice(const RunOptions& options, const Terminal& terminal, RunReport& report, std::ostream& out,
                std::ostream& err, const RunRecorder& recorder, Clock::time_point start) {
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
        return Fail(err, report, UnlistedDeviceStatus(outcome, options.device), UnlistedDeviceText(options.device));
    }
    const std::string path = state.devices.records[static_cast<std::size_t>(entry)].InterfacePath;
    report.device = path;

    // One run per bridge: the claim is held from the identification to the
    // end of the procedure; another program's run gets "busy".
    const DeviceClaim claim(path);
    if (!claim.held()) {
        const std::string why =
            claim.error() == EBUSY ? BusyText(path) : "cannot claim " + path + ": " + std::strerror(claim.error());
        return Fail(err, report, kFailed, why + ": nothing was written");
    }

    // The option boxes as the operator set them; "Include 4K NVRAM" starts
    // unticked unless asked for.
    state.id.EraseOnlyFlag = options.eraseOnly ? 1 : 0;
    state.id.IncludeNvram = options.includeNvram ? 1 : 0;
    // With --json the status lines go to standard error, with the messages.
    std::ostream& lines = options.json ? err : out;
    ConsolePanel panel(options, state.id, lines, err, report, terminal.output && !options.json, recorder, start);
    const ChipView view = CheckSelectedChip(options, entry, state, panel);
    report.chip = view.chipLabel;

    // Run stays disabled for a file the check rejected (or could not open).
    if (!options.file.empty() && (view.fileMismatch || !view.runEnabled.value_or(false))) {
        panel.EndLine();
        return Fail(err, report, kRefusedFile, "refused firmware file " + options.file + ": nothing was written");
    }
    // The operator's word before anything is erased or programmed.
    if (writes && !options.yes) {
        panel.EndLine();
        if (!Confirmed(WriteQuestion(options, path + " (" + view.chipLabel + ")"), terminal, err)) {
            return Fail(err, report, kFailed, "not confirmed: nothing was written");
        }
    }
    panel.SendMessagesTo(lines);
    return RunChosenProcedure(options, state, panel, path, view, signals ? &*signals : nullptr, report, err);
}

}  // namespace

int RunFirmwareCommand(const RunOptions& options, const Terminal& terminal, RunReport& report, std::ostream& out,
                       std::ostream& err) {
    // Nothing is written without the operator's word: on a terminal it is
    // asked for, elsewhere --yes gives it.
    if (!options.backupOnly && !options.yes && !terminal.input) {
        err << "v62xfw: run: standard input is not a terminal to ask on: give --yes to erase or program "
               "without asking; nothing was written\n";
        report.error = "--yes needed without a terminal";
        return kUsage;
    }
    RunScope scope;
    SetMessageNotifier([&err](const OperatorMessage& message) {
        err << message.title << ": " << message.text << '\n';
    });
    const Clock::time_point start = Clock::now();
    auto* simulated = dynamic_cast<sim::SimulatedHost*>(&CurrentHost());
    const std::uint64_t virtualStart = simulated != nullptr ? simulated->NowMs() : 0;
    const RunRecorder recorder(!options.logFile.empty(), options.trace ? &err : nullptr);

    const int status = RunOnDevice(options, terminal, report, out, err, recorder, start);

    report.commands = recorder.commands();
    report.bytes = recorder.bytes();
    report.elapsedSeconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (simulated != nullptr) report.virtualSeconds = static_cast<double>(simulated->NowMs() - virtualStart) / 1000.0;
    (options.json ? err : out) << SummaryText(report) << '\n';

    if (!options.logFile.empty()) {
        const std::string& log = recorder.log();
        const SafeWrite written = WriteFileSafely(
            options.logFile, reinterpret_cast<const std::uint8_t*>(log.data()), log.size());
        if (written != SafeWrite::Ok) err << "v62xfw: " << SafeWriteText(written, options.logFile) << '\n';
    }
    return status;
}

}  // namespace v62x
