// A procedure bench: a simulated host with the devices of a simulation
// description, the first one listed and checked as the window would, a
// recording panel and a scratch folder.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "Fwupdate/ChipCheck.h"
#include "Fwupdate/DeviceRefresh.h"
#include "Fwupdate/Procedure.h"
#include "VirtualBridge/SimulatedHost.h"
#include "VirtualBridge/SimulationDescription.h"
#include "support/Bytes.h"
#include "support/ScratchDir.h"

namespace v62x::test {

// Bytes that are neither 0x00 nor 0xFF and differ from their neighbours.
inline Bytes Pattern(std::size_t length, unsigned seed = 1) {
    Bytes bytes(length);
    for (std::size_t i = 0; i < length; ++i) {
        bytes[i] = static_cast<std::uint8_t>((i * (7 + 2 * seed) + (i >> 8) * 13 + seed) % 253 + 1);
    }
    return bytes;
}

struct SimBench {
    FlashGeometry savedGeometry = Geometry();
    sim::SimulatedHost host;
    ScopedHost scoped{host};
    ToolState state;
    RecordingPanel panel;
    ScratchDir dir{"v62x-bench"};
    sim::VirtualDevice* device = nullptr;

    explicit SimBench(const std::string& description) : SimBench(Parse(description)) {}
    explicit SimBench(const std::vector<sim::DeviceConfig>& configs) {
        Geometry() = FlashGeometry{};
        for (const auto& config : configs) {
            sim::VirtualDevice& added = host.AddDevice(config);
            if (device == nullptr) device = &added;
        }
        RefreshDevices(state.devices);
        ChipCheckRequest request;
        request.listEnabled = true;
        UpdateBtnCheck(state, request, panel);
        panel = RecordingPanel{};
        host.ClearLog();
        host.DrainDeviceEvents();
    }
    ~SimBench() { Geometry() = savedGeometry; }
    static std::vector<sim::DeviceConfig> Parse(const std::string& description) {
        std::vector<sim::DeviceConfig> configs;
        std::string why;
        EXPECT_TRUE(sim::ParseSimulationDescription(description, configs, why)) << why;
        return configs;
    }
    SimBench(const SimBench&) = delete;
    SimBench& operator=(const SimBench&) = delete;

    std::string Path() const { return state.devices.records[0].InterfacePath; }
    ProcedureContext Context() { return ProcedureContext{state, panel, Path()}; }

    bool Shown(const std::string& text) const {
        return std::find(panel.statusHistory.begin(), panel.statusHistory.end(), text) != panel.statusHistory.end();
    }
    bool MessageShown(const std::string& text) const {
        return std::any_of(panel.messages.begin(), panel.messages.end(),
                           [&](const RecordingPanel::Message& m) { return m.text == text; });
    }
    // The logged commands whose CDB starts with `opcode`.
    std::vector<sim::LogEntry> Commands(std::uint8_t opcode) const {
        std::vector<sim::LogEntry> found;
        for (const sim::LogEntry& e : host.Log()) {
            if (!e.cdb.empty() && e.cdb[0] == opcode) found.push_back(e);
        }
        return found;
    }
    // Whether any command moved data to the device's disk.
    bool DiskWritten() const {
        for (const sim::LogEntry& e : host.Log()) {
            if (e.cdb.empty()) continue;
            if (e.cdb[0] == 0x2A || e.cdb[0] == 0x8A) return true;
            if (e.cdb[0] == 0x85 && e.direction == DataDirection::Out) return true;
        }
        return false;
    }
    Bytes Disk(std::uint64_t lba, std::size_t bytes) const {
        Bytes out(bytes);
        EXPECT_TRUE(device->disk()->Read(lba, bytes / device->disk()->blockSize(), out.data()));
        return out;
    }
    void PutDisk(std::uint64_t lba, const Bytes& bytes) {
        EXPECT_TRUE(device->disk()->Write(lba, bytes.size() / device->disk()->blockSize(), bytes.data()));
    }
};

}  // namespace v62x::test
