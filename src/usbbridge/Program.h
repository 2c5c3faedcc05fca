// v62x-usb-bridge: serves the devices a V62X_SIMULATE description holds as
// USB mass storage gadgets (Bulk-Only) on the machine's USB device
// controllers, one gadget per device, so that a host's usb-storage driver
// sees them as real enclosures.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace v62x::usb {

constexpr int kExitServingError = 1;
constexpr int kExitUsage = 2;

// The whole program: 0 after a clean stop (SIGINT, SIGTERM or SIGHUP),
// 1 when serving failed or image files could not be saved, 2 on a usage
// error (including a description that cannot be read or holds an IEEE 1394
// device). `out` gets the "served:" lines and "ready".
int RunUsbBridge(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace v62x::usb
