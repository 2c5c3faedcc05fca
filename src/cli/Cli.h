// The command-line companion: `v62xfw list [--trace]`, `v62xfw info [DEVICE]`,
// `v62xfw run [DEVICE] ...` (RunCommand.h).
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace CLI {
class Validator;
}

namespace v62x {
class Host;
struct DeviceTable;
struct RefreshOutcome;
struct Terminal;

// Runs the command line. When host is null the host is chosen: the real one
// unless --simulate SPEC or V62X_SIMULATE asks for simulated bridges; the
// image files of simulated bridges are written back at the end. terminal
// says whether a run may ask and draw its progress; null: no terminal.
// Exit status (exitcode in RunCommand.h): 0 success, 1 the procedure
// failed, 2 usage error, 3 no such device or nothing listed, 4 the file was
// refused by the chip check, 5 no permission.
int RunCli(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
           Host* host = nullptr, const Terminal* terminal = nullptr);

// The listed entry a DEVICE argument names: a device path or a list index;
// empty names the first listed entry. -1 when nothing listed matches.
int FindListedEntry(const DeviceTable& table, const std::string& device);

// Refuses an empty DEVICE argument (a usage error).
CLI::Validator NonEmptyDevice();

// The complaint about a DEVICE argument that names no listed entry.
std::string UnlistedDeviceText(const std::string& device);

// The exit status when DEVICE names no listed entry: 5 when the device (or,
// for the first listed, every candidate) was refused for lack of
// permission, else 3.
int UnlistedDeviceStatus(const RefreshOutcome& outcome, const std::string& device);

}  // namespace v62x
