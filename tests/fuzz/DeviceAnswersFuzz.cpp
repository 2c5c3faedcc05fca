// Fuzz target: hostile devices. Every answer of the one or two devices the
// host lists comes from the input (layout in HostileHost.h); discovery, the
// chip check and a backup must survive whatever the devices say.
#include "HostileHost.h"
#include "IDEAccess/CommandSession.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    v62x::fuzz::ByteReader input(data, size);
    const std::uint8_t setup = input.Byte();
    const std::uint8_t options = input.Byte();
    v62x::fuzz::HostileHost host(setup, input);
    v62x::CommandSession scoped(host);
    v62x::fuzz::RunDeviceScenario(options, v62x::fuzz::ScratchFile("backup.bin"));
    return 0;
}
