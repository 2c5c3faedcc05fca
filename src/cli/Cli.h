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

// Runs the command line. When host is null the host is chosen: the real one
// unless --simulate SPEC or V62X_SIMULATE asks for simulated bridges; the
// image files of simulated bridges are written back at the end. Exit status: 0 when the command ran, 1 when
// the device is not listed or a run failed, 2 on a usage error or a
// firmware file the chip check refused.
int RunCli(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
           Host* host = nullptr);

// The listed entry a DEVICE argument names: a device path or a list index;
// empty names the first listed entry. -1 when nothing listed matches.
int FindListedEntry(const DeviceTable& table, const std::string& device);

// Refuses an empty DEVICE argument (a usage error).
CLI::Validator NonEmptyDevice();

// The complaint about a DEVICE argument that names no listed entry.
std::string UnlistedDeviceText(const std::string& device);

}  // namespace v62x
