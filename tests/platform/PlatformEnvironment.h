// Whether the platform tests can run: they need the umockdev preload and a
// private mount namespace with an empty /dev, so that no path can reach a
// real device node. main() decides before any test runs.
#pragma once

#include <string>

namespace v62x::platform {

// Empty when the isolated test environment is in place; otherwise why not.
const std::string& UnavailableReason();
void SetUnavailable(const std::string& reason);

}  // namespace v62x::platform
