// The simulator bench: a simulated host with devices (from a simulation
// description, from configs, or one bridge with a real flash part), the
// first one listed and checked as the window would, a recording panel and a
// scratch folder; the flash settings come back as they were afterwards.
// Beside it, what tests ask of the command log, and single commands sent
// straight to a device or through a host.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "Fwupdate/ChipCheck.h"
#include "Fwupdate/DeviceRefresh.h"
#include "Fwupdate/Procedure.h"
#include "VirtualBridge/SimulatedHost.h"
#include "VirtualBridge/SimulationDescription.h"
#include "support/Bytes.h"
#include "support/ScratchDir.h"
#include "support/SimBridges.h"
#include "IDEAccess/CommandSession.h"

namespace v62x::test {

// Bytes that are neither 0x00 nor 0xFF and differ from their neighbours;
// seed 0 is what a patterned flash holds, the default seed a firmware file.
inline Bytes Pattern(std::size_t length, unsigned seed = 1) {
    Bytes bytes(length);
    for (std::size_t i = 0; i < length; ++i) {
        bytes[i] = static_cast<std::uint8_t>((i * (7 + 2 * seed) + (i >> 8) * 13 + seed) % 253 + 1);
    }
    return bytes;
}

// The lowest bit that is 0 in `value` (for a bit stuck at 1 that must show).
inline int ClearBit(std::uint8_t value) {
    int bit = 0;
    while ((value >> bit) & 1) ++bit;
    return bit;
}

// A flash block command FF 04 <sub> carries its address in bytes 3..5; a
// direct flash command DF carries its length in bytes 3..4, its address in
// bytes 8..10 and its target in byte 11 (0xFA read, 0xFB write).
inline std::uint32_t BlockAddress(const sim::LogEntry& e) {
    return (std::uint32_t{e.cdb[3]} << 16) | (std::uint32_t{e.cdb[4]} << 8) | e.cdb[5];
}
inline std::uint32_t DirectAddress(const sim::LogEntry& e) {
    return (std::uint32_t{e.cdb[8]} << 16) | (std::uint32_t{e.cdb[9]} << 8) | e.cdb[10];
}
inline std::uint32_t DirectLength(const sim::LogEntry& e) { return (std::uint32_t{e.cdb[3]} << 8) | e.cdb[4]; }
inline std::vector<std::uint32_t> Addresses(const std::vector<sim::LogEntry>& entries) {
    std::vector<std::uint32_t> out;
    for (const sim::LogEntry& e : entries) out.push_back(e.cdb[0] == 0xDF ? DirectAddress(e) : BlockAddress(e));
    return out;
}
inline std::vector<std::uint32_t> Lengths(const std::vector<sim::LogEntry>& entries) {
    std::vector<std::uint32_t> out;
    for (const sim::LogEntry& e : entries) out.push_back(e.length);
    return out;
}

// ---- Single commands, straight to a device or through a host.

constexpr std::uint8_t kUntouched = 0xEE;  // buffer bytes no data phase reached

// One command's answer, and the whole buffer after it.
struct Outcome {
    HostReply reply;
    Bytes data;
};
inline bool Good(const HostReply& reply) {
    return reply.opened && reply.completed && reply.scsiStatus == scsi::kGood;
}
// A 12-byte CDB starting with `head`, zeros after it.
inline Bytes Cdb12(std::initializer_list<std::uint8_t> head) {
    Bytes cdb(head);
    cdb.resize(12, 0);
    return cdb;
}
// `cdb` straight to `device`; its buffer holds `bufferSize` bytes of
// kUntouched with `out` at the start.
inline Outcome Exec(sim::VirtualDevice& device, const Bytes& cdb, DataDirection direction, std::size_t bufferSize,
                    const Bytes& out = {}) {
    Outcome outcome;
    outcome.data.assign(bufferSize, kUntouched);
    std::copy(out.begin(), out.end(), outcome.data.begin());
    outcome.reply = device.Execute(cdb.data(), cdb.size(), direction, bufferSize == 0 ? nullptr : outcome.data.data(),
                                   static_cast<std::uint32_t>(bufferSize));
    return outcome;
}
// `cdb` through `host`'s pass-through to `path`, with `data` as the buffer.
inline Outcome Send(Host& host, const std::string& path, const Bytes& cdb, DataDirection direction, Bytes data = {},
                    std::uint32_t timeoutSeconds = HostRequest{}.timeoutSeconds, OpenMode open = OpenMode::Shared) {
    HostRequest request;
    request.path = path;
    std::copy(cdb.begin(), cdb.end(), request.cdb.begin());
    request.cdbLength = static_cast<std::uint8_t>(cdb.size());
    request.direction = direction;
    request.timeoutSeconds = timeoutSeconds;
    request.open = open;
    Outcome sent;
    sent.data = std::move(data);
    request.data = sent.data.empty() ? nullptr : sent.data.data();
    request.length = static_cast<std::uint32_t>(sent.data.size());
    sent.reply = host.PassThrough(request);
    return sent;
}

// ---- The bench.

struct SimBench {
    sim::SimulatedHost host;
    CommandSession scoped{host};
    ToolState state;
    RecordingPanel panel;
    ScratchDir dir{"v62x-bench"};
    sim::VirtualDevice* device = nullptr;  // the first one
    Bytes before;                          // its flash when the bench was set up

    explicit SimBench(const std::string& description) : SimBench(Parse(description)) {}
    // `patterned`: the first device's flash holds Pattern(size, 0) instead.
    explicit SimBench(const std::vector<sim::DeviceConfig>& configs, bool patterned = false) {
        EXPECT_TRUE(dir.ok());
        for (const auto& config : configs) {
            sim::VirtualDevice& added = host.AddDevice(config);
            if (device == nullptr) device = &added;
        }
        if (device != nullptr && device->FlashContents() != nullptr) {
            if (patterned) *device->FlashContents() = Pattern(device->FlashContents()->size(), 0);
            before = Flash();
        }
        Check();
        panel = RecordingPanel{};
        host.ClearLog();
        host.DrainDeviceEvents();
    }
    // A bridge with a real flash part holding Pattern(size, 0).
    SimBench(int kind, int revision, const std::string& part, Bus bus = Bus::Usb)
        : SimBench({FlashBridge(kind, revision, part, bus)}, true) {
        EXPECT_EQ(kind, state.id.ChipKind);
    }
    SimBench(const SimBench&) = delete;
    SimBench& operator=(const SimBench&) = delete;

    static std::vector<sim::DeviceConfig> Parse(const std::string& description) {
        std::vector<sim::DeviceConfig> configs;
        std::string why;
        EXPECT_TRUE(sim::ParseSimulationDescription(description, configs, why)) << why;
        return configs;
    }
    static ChipCheckRequest Listed(std::string file = {}) {
        ChipCheckRequest request;
        request.listEnabled = true;
        request.fileName = std::move(file);
        return request;
    }
    // Lists the devices again and checks entry 0, as the window does.
    ChipView Check(const ChipCheckRequest& request = Listed()) {
        RefreshDevices(state.devices);
        return UpdateBtnCheck(state, request, panel);
    }

    std::string Path() const { return state.devices.records[0].InterfacePath; }
    ProcedureContext Context() { return ProcedureContext{state, panel, Path()}; }
    template <class Procedure>
    int Run(Procedure procedure) {
        ProcedureContext ctx = Context();
        return procedure(ctx);
    }
    // Writes the firmware file and names it in the panel.
    Bytes UseFile(Bytes image) {
        panel.firmwareFile = dir.Write("fw.bin", image);
        return image;
    }

    Bytes& Flash() { return *device->FlashContents(); }
    Bytes FlashRange(std::size_t from, std::size_t count) { return Slice(Flash(), from, count); }

    void Fail(Bytes prefix, int nth = 0, sim::FaultKind kind = sim::FaultKind::CheckCondition,
              std::uint32_t transferLimit = 0, std::optional<DataDirection> dataPhase = std::nullopt) {
        sim::FaultRule rule;
        rule.prefix = std::move(prefix);
        rule.nth = nth;
        rule.kind = kind;
        rule.transferLimit = transferLimit;
        rule.dataPhase = dataPhase;
        host.AddFault(rule);
    }

    bool Shown(const std::string& text) const {
        return std::find(panel.statusHistory.begin(), panel.statusHistory.end(), text) != panel.statusHistory.end();
    }
    bool MessageShown(const std::string& text) const {
        return std::any_of(panel.messages.begin(), panel.messages.end(),
                           [&](const RecordingPanel::Message& m) { return m.text == text; });
    }
    bool Traced(const std::string& text) const {
        const auto& traces = host.Traces();
        return std::find(traces.begin(), traces.end(), text) != traces.end();
    }
    // The one message shown: "Message" with `text`.
    void ExpectOnlyMessage(const std::string& text) const {
        ASSERT_EQ(1u, panel.messages.size());
        EXPECT_EQ("Message", panel.messages[0].title);
        EXPECT_EQ(text, panel.messages[0].text);
    }

    // The logged commands whose CDB starts with `prefix`.
    std::vector<sim::LogEntry> Sent(const Bytes& prefix) const {
        std::vector<sim::LogEntry> found;
        for (const sim::LogEntry& e : host.Log()) {
            if (e.cdb.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), e.cdb.begin())) {
                found.push_back(e);
            }
        }
        return found;
    }
    std::vector<sim::LogEntry> Commands(std::uint8_t opcode) const { return Sent({opcode}); }
    // The flash block commands FF 04 <sub>.
    std::vector<sim::LogEntry> Blocks(std::uint8_t sub) const { return Sent({0xFF, 0x04, sub}); }
    // The direct flash commands with `target` (0xFA read, 0xFB write).
    std::vector<sim::LogEntry> Direct(std::uint8_t target) const {
        std::vector<sim::LogEntry> found;
        for (const sim::LogEntry& e : Commands(0xDF)) {
            if (e.cdb.size() > 11 && e.cdb[11] == target) found.push_back(e);
        }
        return found;
    }
    // Index in the log of the first command starting with `prefix`; -1 when none.
    long FirstIndex(const Bytes& prefix) const {
        const auto& log = host.Log();
        for (std::size_t i = 0; i < log.size(); ++i) {
            if (log[i].cdb.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), log[i].cdb.begin())) {
                return static_cast<long>(i);
            }
        }
        return -1;
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
