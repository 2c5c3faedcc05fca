// The demo set: one simulated bridge per update procedure, each with a
// firmware image laid out for its chip, so that a newcomer can load an image
// in the window and press Run. The tool's file check accepts every image but
// the kind-14 bridge's (it takes no file for that chip). scripts/demo writes
// the images (through v62x-demo-set) and shows the window on the set.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace v62x::sim {

struct DemoBridge {
    std::string entry;      // the bridge's V62X_SIMULATE entry
    std::string product;    // its INQUIRY product text, as the device list shows it
    std::string imageName;  // the file name of its firmware image
    std::vector<std::uint8_t> image;
    std::string procedure;  // the procedure Run starts for it, as the tool names it
    std::string effect;     // what the newcomer sees of that run
};

// The bridges in the order the tool lists them. False with a reason when an
// image cannot be built.
bool DemoBridges(std::vector<DemoBridge>& out, std::string& why);

// The V62X_SIMULATE value of the bridges: their entries joined by ';'.
std::string DemoSimulation(const std::vector<DemoBridge>& bridges);

}  // namespace v62x::sim
