// Writes a seed of the device-answers target: runs its scenario on the
// simulated devices of a V62X_SIMULATE description (one or two) and keeps
// their answers as the target's reply records.
// Usage: v62x_fuzz_record_device_seed OUT OPTIONS DESCRIPTION
#include <cstdio>
#include <cstdlib>

#include "HostileHost.h"
#include "VirtualBridge/SimulatedHost.h"
#include "VirtualBridge/SimulationDescription.h"
#include "IDEAccess/CommandSession.h"

int main(int argc, char** argv) {
    using namespace v62x;
    std::vector<sim::DeviceConfig> configs;
    std::string why;
    if (argc != 4 || !sim::ParseSimulationDescription(argv[3], configs, why)) {
        std::fprintf(stderr, "usage: %s OUT OPTIONS DESCRIPTION %s\n", argv[0], why.c_str());
        return 2;
    }
    sim::SimulatedHost simulated;
    for (const sim::DeviceConfig& config : configs) simulated.AddDevice(config);
    const auto options = static_cast<std::uint8_t>(std::strtoul(argv[2], nullptr, 0));
    std::vector<std::uint8_t> records;
    fuzz::HostileHost host(simulated, records);
    {
        CommandSession scoped(host);
        fuzz::RunDeviceScenario(options, fuzz::ScratchFile("backup.bin"));
    }
    std::vector<std::uint8_t> seed = {host.setup(), options};
    seed.insert(seed.end(), records.begin(), records.end());
    fuzz::WriteFile(argv[1], seed.data(), seed.size());
    std::printf("%s: %zu bytes\n", argv[1], seed.size());
    return 0;
}
