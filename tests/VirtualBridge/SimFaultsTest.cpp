// Faults of the simulated host around the disk paths: a failing N-th write,
// short transfers and a device that goes away in the middle of a sequence.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

#include "VirtualBridge/SimulatedHost.h"

namespace v62x::sim {
namespace {

using Bytes = std::vector<std::uint8_t>;

DeviceConfig BridgeWithDisk() {
    DeviceConfig config;
    std::string why;
    EXPECT_TRUE(AnswersForKind(3, 1, {}, config.answers, why)) << why;
    DiskConfig disk;
    disk.sectors = 100000;
    config.disk = disk;
    return config;
}

Bytes Rw10(bool write, std::uint32_t lba, std::uint16_t blocks) {
    return Bytes{static_cast<std::uint8_t>(write ? 0x2A : 0x28), 0,
                 static_cast<std::uint8_t>(lba >> 24), static_cast<std::uint8_t>(lba >> 16),
                 static_cast<std::uint8_t>(lba >> 8), static_cast<std::uint8_t>(lba), 0,
                 static_cast<std::uint8_t>(blocks >> 8), static_cast<std::uint8_t>(blocks), 0};
}

const Bytes kVendorOn = {0xFF, 0x04, 0x56, 0x52, 0x55, 0, 0, 0, 0, 0, 0, 0};
const Bytes kInquiry = {0x12, 0, 0, 0, 36, 0, 0, 0, 0, 0, 0, 0};

struct Sent {
    HostReply reply;
    Bytes data;
};

Sent Send(Host& host, const std::string& path, const Bytes& cdb, DataDirection direction,
          Bytes data) {
    HostRequest request;
    request.path = path;
    std::copy(cdb.begin(), cdb.end(), request.cdb.begin());
    request.cdbLength = static_cast<std::uint8_t>(cdb.size());
    request.direction = direction;
    Sent sent;
    sent.data = std::move(data);
    request.data = sent.data.empty() ? nullptr : sent.data.data();
    request.length = static_cast<std::uint32_t>(sent.data.size());
    sent.reply = host.PassThrough(request);
    return sent;
}

Sent Write(Host& host, const std::string& path, std::uint32_t lba, std::uint8_t fill) {
    return Send(host, path, Rw10(true, lba, 1), DataDirection::Out, Bytes(512, fill));
}

Bytes Block(VirtualDevice& device, std::uint64_t lba) {
    Bytes block(512);
    device.disk()->Read(lba, 1, block.data());
    return block;
}

bool Good(const HostReply& reply) {
    return reply.opened && reply.completed && reply.scsiStatus == scsi::kGood;
}

TEST(SimFaults, TheNthWriteFailsAndOnlyWritesAreCounted) {
    SimulatedHost host;
    VirtualDevice& device = host.AddDevice(BridgeWithDisk());
    FaultRule rule;
    rule.dataPhase = DataDirection::Out;
    rule.nth = 2;
    rule.kind = FaultKind::CheckCondition;
    rule.senseKey = scsi::kSenseMediumError;
    rule.asc = 0x0C;  // write error
    host.AddFault(rule);

    EXPECT_TRUE(Good(Write(host, device.path(), 10, 0x11).reply));
    // Neither a read nor a command without data phase is a write.
    EXPECT_TRUE(Good(Send(host, device.path(), Rw10(false, 10, 1), DataDirection::In, Bytes(512)).reply));
    EXPECT_TRUE(Good(Send(host, device.path(), kVendorOn, DataDirection::Out, {}).reply));
    const Sent failed = Write(host, device.path(), 11, 0x22);
    EXPECT_EQ(scsi::kCheckCondition, failed.reply.scsiStatus);
    EXPECT_EQ(scsi::kSenseMediumError, failed.reply.senseKey);
    EXPECT_EQ(0x0C, failed.reply.asc);
    EXPECT_TRUE(Good(Write(host, device.path(), 12, 0x33).reply));

    EXPECT_EQ(Bytes(512, 0x11), Block(device, 10));
    EXPECT_EQ(Bytes(512, 0x00), Block(device, 11)) << "the failed write never reached the disk";
    EXPECT_EQ(Bytes(512, 0x33), Block(device, 12));
}

TEST(SimFaults, ShortTransfersMoveOnlyTheirLimit) {
    struct Case {
        const char* name;
        DataDirection direction;
        std::uint32_t limit;
    };
    for (const Case& c : {Case{"read", DataDirection::In, 100}, Case{"write", DataDirection::Out, 100},
                          Case{"read, limit above the length", DataDirection::In, 5000},
                          Case{"write, nothing moves", DataDirection::Out, 0}}) {
        SCOPED_TRACE(c.name);
        SimulatedHost host;
        VirtualDevice& device = host.AddDevice(BridgeWithDisk());
        Bytes stored(1024);
        for (std::size_t i = 0; i < stored.size(); ++i) stored[i] = static_cast<std::uint8_t>(i % 251 + 1);
        device.disk()->Write(20, 2, stored.data());

        FaultRule rule;
        rule.prefix = {static_cast<std::uint8_t>(c.direction == DataDirection::In ? 0x28 : 0x2A)};
        rule.kind = FaultKind::ShortTransfer;
        rule.transferLimit = c.limit;
        host.AddFault(rule);
        const std::uint32_t moved = std::min<std::uint32_t>(c.limit, 1024);

        if (c.direction == DataDirection::In) {
            const Sent sent = Send(host, device.path(), Rw10(false, 20, 2), DataDirection::In, Bytes(1024, 0xEE));
            EXPECT_TRUE(Good(sent.reply));
            EXPECT_EQ(moved, sent.reply.transferred);
            for (std::size_t i = 0; i < 1024; ++i) {
                ASSERT_EQ(i < moved ? stored[i] : 0xEE, sent.data[i]) << "byte " << i;
            }
        } else {
            const Bytes fresh(1024, 0x5A);
            const Sent sent = Send(host, device.path(), Rw10(true, 20, 2), DataDirection::Out, fresh);
            EXPECT_TRUE(Good(sent.reply));
            EXPECT_EQ(moved, sent.reply.transferred);
            Bytes back(1024);
            device.disk()->Read(20, 2, back.data());
            for (std::size_t i = 0; i < 1024; ++i) {
                ASSERT_EQ(i < moved ? 0x5A : 0x00, back[i]) << "byte " << i;
            }
        }
    }
}

TEST(SimFaults, DeviceDisappearsAfterTheNthMatchingCommand) {
    SimulatedHost host;
    VirtualDevice& device = host.AddDevice(BridgeWithDisk());
    const std::string path = device.path();
    VirtualDevice& other = host.AddDevice(BridgeWithDisk());
    host.DrainDeviceEvents();
    FaultRule rule;
    rule.path = path;
    rule.prefix = {0x2A};
    rule.nth = 2;
    rule.kind = FaultKind::Disappear;
    host.AddFault(rule);

    EXPECT_TRUE(Good(Write(host, path, 1, 0x01).reply));
    EXPECT_TRUE(host.DrainDeviceEvents().empty());
    const Sent last = Write(host, path, 2, 0x02);
    EXPECT_TRUE(Good(last.reply)) << "the N-th command itself completes";
    EXPECT_EQ(Bytes(512, 0x02), Block(device, 2));

    const std::vector<DeviceEvent> events = host.DrainDeviceEvents();
    ASSERT_EQ(1u, events.size());
    EXPECT_EQ(DeviceEventKind::Removal, events[0].kind);
    EXPECT_EQ(path, events[0].node);

    for (const Bytes& cdb : {kInquiry, Rw10(false, 1, 1)}) {
        const Sent gone = Send(host, path, cdb, DataDirection::In, Bytes(512));
        EXPECT_FALSE(gone.reply.opened);
        EXPECT_EQ(ENOENT, gone.reply.openError);
    }
    EXPECT_EQ(1u, host.ListCandidates(DeviceClass::Disk).size());
    EXPECT_TRUE(Good(Write(host, other.path(), 2, 0x03).reply)) << "other devices stay";

    host.Replug(path);
    const Sent back = Send(host, path, Rw10(false, 2, 1), DataDirection::In, Bytes(512));
    EXPECT_TRUE(Good(back.reply));
    EXPECT_EQ(Bytes(512, 0x02), back.data) << "the disk kept what was written";
}

}  // namespace
}  // namespace v62x::sim
