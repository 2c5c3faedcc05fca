#include "cli/HostChoice.h"

#include <algorithm>
#include <cctype>

#include "IDEAccess/LinuxHost.h"
#include "VirtualBridge/SimulatedHost.h"
#include "VirtualBridge/SimulationDescription.h"

namespace v62x {
namespace {

using sim::DeviceConfig;

// The simulated host with the devices and their image files; null with the
// reason when an image cannot be used.
std::unique_ptr<Host> Simulated(const std::vector<DeviceConfig>& devices, std::string& error) {
    auto host = std::make_unique<sim::SimulatedHost>();
    for (const DeviceConfig& config : devices) {
        const sim::VirtualDevice& device = host->AddDevice(config);
        if (!config.image.empty() && !host->AttachImage(device.path(), config.image, error)) {
            // The program does not start: no image file is written.
            host->DetachImages();
            return nullptr;
        }
    }
    // Arrivals of the initial devices are no news to anyone.
    host->DrainDeviceEvents();
    return host;
}

bool IsOff(const std::string& value) {
    std::string text;
    for (unsigned char c : value) {
        if (std::isspace(c) == 0) text += static_cast<char>(std::tolower(c));
    }
    return text == "off";
}

}  // namespace

HostChoice ChooseHost(const char* simulateEnv) {
    HostChoice choice;
    const std::string value = simulateEnv != nullptr ? simulateEnv : "";

    if (!value.empty() && IsOff(value)) {
        choice.host = std::make_unique<LinuxHost>();
        return choice;
    }
    if (!value.empty()) {
        std::vector<DeviceConfig> devices;
        std::string error;
        if (!sim::ParseSimulationDescription(value, devices, error)) {
            choice.error = error;
            return choice;
        }
        choice.host = Simulated(devices, choice.error);
        choice.simulated = choice.host != nullptr;
        return choice;
    }

    // Simulation only when asked: with nothing attached the real host shows
    // its empty state; a simulated success must never pass for a real one.
    choice.host = std::make_unique<LinuxHost>();
    return choice;
}

bool SaveSimulatedStores(Host& host, std::string& error) {
    error.clear();
    auto* simulated = dynamic_cast<sim::SimulatedHost*>(&host);
    return simulated == nullptr || simulated->SaveImages(error);
}

}  // namespace v62x
