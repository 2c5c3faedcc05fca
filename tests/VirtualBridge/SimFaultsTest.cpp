// Faults of the simulated host around the disk paths: a write that fails at a given count,
// short transfers, a device that goes away in the middle of a sequence, and
// the fault= key of the description that sets them up.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "VirtualBridge/SimulatedHost.h"
#include "VirtualBridge/SimulationDescription.h"
#include "support/SimBench.h"

namespace v62x::sim {
namespace {

using test::Bytes;
using test::Good;
using test::Outcome;
using test::Send;

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

Outcome Write(Host& host, const std::string& path, std::uint32_t lba, std::uint8_t fill) {
    return Send(host, path, Rw10(true, lba, 1), DataDirection::Out, Bytes(512, fill));
}

Bytes Block(VirtualDevice& device, std::uint64_t lba) {
    Bytes block(512);
    device.disk()->Read(lba, 1, block.data());
    return block;
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
    const Outcome failed = Write(host, device.path(), 11, 0x22);
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
            const Outcome sent = Send(host, device.path(), Rw10(false, 20, 2), DataDirection::In, Bytes(1024, 0xEE));
            EXPECT_TRUE(Good(sent.reply));
            EXPECT_EQ(moved, sent.reply.transferred);
            for (std::size_t i = 0; i < 1024; ++i) {
                ASSERT_EQ(i < moved ? stored[i] : 0xEE, sent.data[i]) << "byte " << i;
            }
        } else {
            const Bytes fresh(1024, 0x5A);
            const Outcome sent = Send(host, device.path(), Rw10(true, 20, 2), DataDirection::Out, fresh);
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
    const Outcome last = Write(host, path, 2, 0x02);
    EXPECT_TRUE(Good(last.reply)) << "the N-th command itself completes";
    EXPECT_EQ(Bytes(512, 0x02), Block(device, 2));

    const std::vector<DeviceEvent> events = host.DrainDeviceEvents();
    ASSERT_EQ(1u, events.size());
    EXPECT_EQ(DeviceEventKind::Removal, events[0].kind);
    EXPECT_EQ(path, events[0].node);

    for (const Bytes& cdb : {kInquiry, Rw10(false, 1, 1)}) {
        const Outcome gone = Send(host, path, cdb, DataDirection::In, Bytes(512));
        EXPECT_FALSE(gone.reply.opened);
        EXPECT_EQ(ENOENT, gone.reply.openError);
    }
    EXPECT_EQ(1u, host.ListCandidates(DeviceClass::Disk).size());
    EXPECT_TRUE(Good(Write(host, other.path(), 2, 0x03).reply)) << "other devices stay";

    host.Replug(path);
    const Outcome back = Send(host, path, Rw10(false, 2, 1), DataDirection::In, Bytes(512));
    EXPECT_TRUE(Good(back.reply));
    EXPECT_EQ(Bytes(512, 0x02), back.data) << "the disk kept what was written";
}

// fault= of a description: what each kind does to a fixed run of commands
// (counted per device from the host's start), and every refusal.
TEST(SimFaults, DescriptionFaultsHitTheirCommands) {
    // The run: INQUIRY, READ of block 5, WRITE of block 5, TEST UNIT READY,
    // READ of block 5. Each reply reads G<bytes moved>, C (CHECK CONDITION,
    // MEDIUM ERROR 11/00), T (not completed by the host) or O (not opened);
    // then the first and last byte of block 5 and whether the device left.
    struct Case {
        const char* fault;
        const char* outcome;
    };
    const Case cases[] = {
        {"transport@2", "G36 T G512 G0 G512 | 5A 5A"},
        {"check@1", "C G512 G512 G0 G512 | 5A 5A"},
        {"short@2", "G36 G256 G512 G0 G512 | 5A 5A"},
        {"short@4", "G36 G512 G512 G0 G512 | 5A 5A"},      // no data-in: no effect
        {"shortwrite@3", "G36 G512 G256 G0 G512 | 5A 00"},
        {"shortwrite@2", "G36 G512 G512 G0 G512 | 5A 5A"}, // a read: no effect
        {"short:28", "G36 G256 G512 G0 G256 | 5A 5A"},
        {"check:2A00", "G36 G512 C G0 G512 | 00 00"},
        {"cut@3", "G36 G512 O O O | 00 00 | gone"},
        {" CUT @ 5 ", "G36 G512 G512 G0 O | 5A 5A | gone"},
        {"transport@1+check:28", "T C G512 G0 C | 5A 5A"},
        {"check:12+cut@4", "C G512 G512 O O | 5A 5A | gone"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        std::vector<DeviceConfig> configs;
        std::string error;
        // A plain disk first: its requests do not count for the bridge's.
        ASSERT_TRUE(ParseSimulationDescription(
            std::string("disk;bridge:kind=3,disk=100000s,fault=") + c.fault, configs, error))
            << error;
        SimulatedHost host;
        const std::string other = host.AddDevice(configs[0]).path();
        VirtualDevice& bridge = host.AddDevice(configs[1]);
        host.DrainDeviceEvents();

        Send(host, other, kInquiry, DataDirection::In, Bytes(36));
        Send(host, other, kInquiry, DataDirection::In, Bytes(36));
        const Outcome run[] = {
            Send(host, bridge.path(), kInquiry, DataDirection::In, Bytes(36)),
            Send(host, bridge.path(), Rw10(false, 5, 1), DataDirection::In, Bytes(512, 0xEE)),
            Write(host, bridge.path(), 5, 0x5A),
            Send(host, bridge.path(), {0, 0, 0, 0, 0, 0}, DataDirection::In, {}),
            Send(host, bridge.path(), Rw10(false, 5, 1), DataDirection::In, Bytes(512, 0xEE)),
        };
        std::ostringstream outcome;
        for (const Outcome& sent : run) {
            const HostReply& r = sent.reply;
            // A short read leaves the rest of the host buffer as it was.
            if (&sent != &run[2] && r.completed && sent.data.size() == 512 && r.transferred == 256) {
                EXPECT_EQ(Bytes(256, 0xEE), Bytes(sent.data.begin() + 256, sent.data.end()));
            }
            if (!r.opened) {
                outcome << "O ";
            } else if (!r.completed) {
                outcome << "T ";
            } else if (r.scsiStatus == scsi::kCheckCondition) {
                EXPECT_EQ(scsi::kSenseMediumError, r.senseKey);
                EXPECT_EQ(0x11, r.asc);
                EXPECT_EQ(0x00, r.ascq);
                outcome << "C ";
            } else {
                outcome << 'G' << r.transferred << ' ';
            }
        }
        const Bytes block = Block(bridge, 5);
        outcome << std::hex << std::uppercase << "| " << (block.front() < 16 ? "0" : "")
                << int{block.front()} << ' ' << (block.back() < 16 ? "0" : "") << int{block.back()};
        const std::vector<DeviceEvent> events = host.DrainDeviceEvents();
        if (!events.empty() && events.back().kind == DeviceEventKind::Removal) outcome << " | gone";
        EXPECT_EQ(c.outcome, outcome.str());
        EXPECT_TRUE(Good(Send(host, other, kInquiry, DataDirection::In, Bytes(36)).reply));
    }

    const std::string kinds = "(kinds: cut, transport, check, short, shortwrite)";
    const std::pair<std::string, std::string> refusals[] = {
        {"disk:fault=transport@1", ""},
        {"bridge:kind=3,fault=cut", "entry 1: fault=cut: expected KIND@N or KIND:HEX joined by '+' " + kinds},
        {"bridge:kind=3,fault=zap@3", "entry 1: fault=zap@3: expected KIND@N or KIND:HEX joined by '+' " + kinds},
        {"bridge:kind=3,fault=cut@2+", "entry 1: fault=cut@2+: expected KIND@N or KIND:HEX joined by '+' " + kinds},
        {"bridge:kind=3,fault=cut@0", "entry 1: fault=cut@0: expected the number of a command (1 or more) after '@'"},
        {"bridge:kind=3,fault=cut@-1", "entry 1: fault=cut@-1: expected the number of a command (1 or more) after '@'"},
        {"bridge:kind=3,fault=check:F", "entry 1: fault=check:F: expected the first CDB bytes in hexadecimal after ':' (1 to 16 bytes, such as FF0413)"},
        {"bridge:kind=3,fault=check:0G", "entry 1: fault=check:0G: expected the first CDB bytes in hexadecimal after ':' (1 to 16 bytes, such as FF0413)"},
        {"disk;disk:fault=cut@1+cut@2+cut@3+cut@4+cut@5+cut@6+cut@7+cut@8+cut@9+cut@10+cut@11+cut@12+cut@13+cut@14+cut@15+cut@16+cut@17",
         "entry 2: fault=cut@1+cut@2+cut@3+cut@4+cut@5+cut@6+cut@...: at most 16 faults per entry"},
        {"disk:fault=cut@1,fault=cut@2", "entry 1: fault=cut@2: fault is given twice"},
    };
    for (const auto& [text, expected] : refusals) {
        SCOPED_TRACE(text);
        std::vector<DeviceConfig> configs;
        std::string error;
        EXPECT_EQ(expected.empty(), ParseSimulationDescription(text, configs, error));
        EXPECT_EQ(expected, error);
    }
}

}  // namespace
}  // namespace v62x::sim
