// Short-hands for simulated devices in tests.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "VirtualBridge/SimulatedHost.h"

namespace v62x::test {

inline sim::DeviceConfig BridgeConfig(int kind, int revision, Bus bus = Bus::Usb,
                                      DeviceClass cls = DeviceClass::Disk,
                                      const sim::BridgeVariant& variant = {}) {
    sim::DeviceConfig config;
    config.bus = bus;
    config.cls = cls;
    std::string why;
    EXPECT_TRUE(sim::MakeBridgeConfig(kind, revision, variant, config, why)) << why;
    return config;
}

// A bridge with the real flash part `part` (none given: its default one).
inline sim::DeviceConfig FlashBridge(int kind, int revision, const std::string& part = {}, Bus bus = Bus::Usb) {
    sim::DeviceConfig config = BridgeConfig(kind, revision, bus);
    std::string why;
    if (!part.empty()) {
        EXPECT_TRUE(sim::SetFlashPart(config.flash, part, why)) << why;
    }
    return config;
}

inline sim::DeviceConfig StickConfig() {
    sim::DeviceConfig config;
    config.isBridge = false;
    config.vendor = "Generic ";
    config.product = "Flash Disk      ";
    return config;
}

}  // namespace v62x::test
