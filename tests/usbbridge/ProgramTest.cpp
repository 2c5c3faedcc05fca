// What v62x-usb-bridge refuses before it touches the system.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "usbbridge/Program.h"

namespace v62x::usb {
namespace {

TEST(UsbBridgeProgram, RefusesWhatItCannotServe) {
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string message;
    };
    const Case cases[] = {
        {{"--simulate", "off"}, kExitUsage, "nothing to serve"},
        {{"--simulate", "bridge:kind=9"}, kExitUsage, "--simulate: entry 1: kind=9: no chip identifies as kind 9"},
        {{"--simulate", "disk;bridge:kind=7,bus=1394,product=Page flash"}, kExitUsage,
         "entry 2 (Page flash) is on IEEE 1394 (bus=1394): it cannot be served over USB"},
        {{"--simulate", " ; "}, kExitUsage, "describes no device"},
        {{"--simulate", "disk;disk", "--udc", "dummy_udc.0"}, kExitUsage, "1 --udc for 2 devices"},
        {{"--bogus"}, kExitUsage, "--bogus"},
    };
    for (const Case& c : cases) {
        std::ostringstream out;
        std::ostringstream err;
        EXPECT_EQ(c.status, RunUsbBridge(c.args, out, err)) << c.args.back();
        EXPECT_NE(std::string::npos, err.str().find(c.message)) << err.str();
        EXPECT_TRUE(out.str().empty()) << out.str();
    }
}

}  // namespace
}  // namespace v62x::usb
