// `v62xfw run`: what pressing Run in the window does, from the command line.
// The device is identified and checked as when it is selected in the window,
// the options are set as on the engineering panel, and the one procedure the
// Run button would start runs with its progress and messages on standard
// output.
#pragma once

#include <iosfwd>
#include <string>

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
};

// Adds the `run` subcommand to app; parsing fills options.
CLI::App* AddRunCommand(CLI::App& app, RunOptions& options);

// Empty when the options ask for something to do; otherwise the complaint.
// (What the parser itself refuses, such as erase-only with backup-only, never
// gets here.)
std::string RunUsageProblem(const RunOptions& options);

// Runs the command on the current host. Exit status: 0 when the procedure
// succeeded, 1 when the device is not listed, no procedure serves the chip
// or the procedure failed, 2 when the chip check refused the firmware file.
int RunFirmwareCommand(const RunOptions& options, std::ostream& out, std::ostream& err);

}  // namespace v62x
