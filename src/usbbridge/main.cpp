#include <iostream>
#include <string>
#include <vector>

#include "usbbridge/Program.h"

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    return v62x::usb::RunUsbBridge(args, std::cout, std::cerr);
}
