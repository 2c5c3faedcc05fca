// The V62X_SIMULATE description of simulated devices (syntax in README.md).
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "VirtualBridge/VirtualDevice.h"

namespace v62x::sim {

// The most devices a description may hold.
constexpr std::size_t kMaxEntries = 64;

// Parses a description into device configurations. Returns false with a
// message naming the offending entry and key on any error.
bool ParseSimulationDescription(const std::string& description, std::vector<DeviceConfig>& out,
                                std::string& error);

// The devices the demo shows when nothing is described.
std::vector<DeviceConfig> DefaultSimulation();

}  // namespace v62x::sim
