// The command-line companion: `v62xfw list [--trace]`, `v62xfw info [DEVICE]`.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace v62x {
class Host;

// Runs the command line. When host is null the host is chosen from the
// environment (V62X_SIMULATE). Exit status: 0 when the command ran, 2 on a
// usage error.
int RunCli(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
           Host* host = nullptr);

}  // namespace v62x
