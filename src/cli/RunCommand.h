// `v62xfw run`: what pressing Run in the window does, from the command line.
// The device is identified and checked as when it is selected in the window,
// the options are set as on the engineering panel, and the one procedure the
// Run button would start runs with its progress and messages on standard
// output.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace v62x {

// The options of a run as given on the command line; -1 and 0 mark a
// choice not given (the tool's setting then stays as it is).
struct RunOptions {
    std::string device;        // device path or list index; empty: the first listed
    std::string file;          // the firmware file
    bool eraseOnly = false;    // "Erase All Flash Only "
    bool backupOnly = false;   // "Backup Old Firmware Only"
    std::string backupFile;    // "Backup FileName"
    bool includeNvram = false; // "Include 4K NVRAM"
    bool hddFw = false;        // "VRS735 HDD FW "
    int flashType = -1;        // parallel flash list index (0..2)
    bool a1Chip = false;       // "A1 Chip"
    int firmwareSizeKB = 0;    // "Firmware size" list, in KiB
    int pageSizeKB = 0;        // "Flash PgSz" list, in KiB
    std::string restoreNvram;  // a saved NVRAM copy to write back instead of a run
    bool yes = false;          // erase or program without asking
    bool json = false;         // one JSON document on standard output (RunReport)
    bool trace = false;        // the command trace on standard error
    std::string logFile;       // the command trace, with time stamps, written to this file
};

// Where a run may ask and draw: whether standard input and standard output
// are terminals, and where the answers come from. Tests inject their own.
struct Terminal {
    bool input = false;             // standard input is a terminal: a write is asked for
    bool output = false;            // standard output is a terminal: progress bar
    std::istream* answers = nullptr;  // the answers to the question; null: none
};
// The process's own: isatty on standard input and output, answers from std::cin.
Terminal ProcessTerminal();

// The exit statuses of v62xfw.
namespace exitcode {
constexpr int kSucceeded = 0;
constexpr int kFailed = 1;        // the procedure failed (or was not confirmed)
constexpr int kUsage = 2;         // usage error
constexpr int kNoDevice = 3;      // no such device, nothing listed
constexpr int kRefusedFile = 4;   // the chip check refused the firmware file
constexpr int kNoPermission = 5;  // the device was refused for lack of permission
}  // namespace exitcode

// What a run did, in order, for --json and the summary line.
struct RunReport {
    struct Line {
        std::string title;  // "Message"/"Error" for a message; empty for a status text
        std::string text;
    };
    std::string device;     // the device path worked on; empty before one was chosen
    std::string chip;       // the chip as the tool names it
    std::string procedure;  // the procedure that ran; empty when none
    std::vector<Line> lines;  // status texts (with their final dots) and messages
    std::string error;        // why the run failed, as told on standard error
    std::string backupFile;   // the backup file of a backup-only run
    std::uint64_t commands = 0;       // commands sent
    std::uint64_t bytes = 0;          // bytes moved in data phases
    double elapsedSeconds = 0;
    std::optional<double> virtualSeconds;  // on simulated bridges
};

// "summary: 412 commands, 1179648 bytes, 2.41 s elapsed, 38.70 s virtual"
std::string SummaryText(const RunReport& report);

// Adds the `run` subcommand to app; parsing fills options.
CLI::App* AddRunCommand(CLI::App& app, RunOptions& options);

// Empty when the options ask for something to do; otherwise the complaint.
// (What the parser itself refuses, such as erase-only with backup-only, never
// gets here.)
std::string RunUsageProblem(const RunOptions& options);

// Runs the command on the current host and fills report. Exit status (see
// exitcode): 0 when the procedure succeeded; 1 when no procedure serves the
// chip, the procedure failed or the question was not answered yes; 2 when
// a write was asked for without --yes and without a terminal to ask on; 3
// when the device is not listed; 4 when the chip check refused the
// firmware file; 5 when the device was refused for lack of permission.
int RunFirmwareCommand(const RunOptions& options, const Terminal& terminal, RunReport& report, std::ostream& out,
                       std::ostream& err);

}  // namespace v62x
