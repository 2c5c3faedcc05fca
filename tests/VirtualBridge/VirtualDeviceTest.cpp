// The answers of one virtual device, byte by byte, for each command a bridge
// knows and for what an ordinary disk does with the same commands.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

#include "VirtualBridge/VirtualDevice.h"
#include "support/SimBench.h"

namespace v62x::sim {
namespace {

using test::Bytes;

using test::Cdb12;
using test::Exec;
using test::kUntouched;
using test::Outcome;

Bytes Inquiry(std::uint8_t n) { return Cdb12({0x12, 0, 0, 0, n}); }
Bytes MemRead(std::uint16_t address, std::uint16_t n) {
    Bytes cdb = Cdb12({0xDF, 0x10, 0x00, static_cast<std::uint8_t>(n >> 8),
                       static_cast<std::uint8_t>(n), 0, static_cast<std::uint8_t>(address >> 8),
                       static_cast<std::uint8_t>(address)});
    cdb[11] = 0xFD;
    return cdb;
}
Bytes MemWrite(std::uint16_t address, std::uint16_t n) {
    Bytes cdb = MemRead(address, n);
    cdb[1] = 0x00;
    cdb[11] = 0xFE;
    return cdb;
}
const Bytes kChipIdWord = {0xDF, 0x10, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xFF};
const Bytes kChipInfo = Cdb12({0xE0, 0xF4, 0xE7});
const Bytes kChipTag = Cdb12({0xFF, 0x04, 0x30, 0x08});
const Bytes kVendorOn = Cdb12({0xFF, 0x04, 0x56, 0x52, 0x55});
const Bytes kVendorOff = Cdb12({0xFF, 0x04, 0x56, 0x52, 0xAA});
Bytes Status(std::uint8_t n) { return Cdb12({0xFF, 0x04, 0xA0, n}); }

Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

// A bridge whose answers are all distinct, recognisable bytes.
DeviceConfig TestBridge() {
    DeviceConfig config;
    config.answers.chipIdWord = {0x41, 0x42};
    std::array<std::uint8_t, 16> record{};
    for (std::size_t i = 0; i < record.size(); ++i) record[i] = static_cast<std::uint8_t>(0xA0 + i);
    config.answers.chipInfo = record;
    config.answers.chipInfoLength = 16;
    config.answers.chipTag = Bytes{'v', '6', '2', '0', 'C', 0x31, 0x00, 0x00};
    config.answers.statusRecord.assign(32, 0);
    for (std::size_t i = 0; i < 32; ++i) config.answers.statusRecord[i] = static_cast<std::uint8_t>(i);
    return config;
}

DeviceConfig OrdinaryDisk() {
    DeviceConfig config = TestBridge();  // answers present but never reachable
    config.isBridge = false;
    config.answers.inquiryTag = std::array<std::uint8_t, 4>{0x76, '6', '4', '5'};
    return config;
}

Bytes Standard36(std::uint8_t type, std::uint8_t removable, std::uint8_t additional) {
    return Concat({{type, removable, 0x04, 0x02, additional, 0x00, 0x00, 0x00},
                   Text("Velmora "), Text("External Disk   "), Text("0100")});
}

Bytes Padded(Bytes bytes, std::size_t size) {
    bytes.resize(size, kUntouched);
    return bytes;
}

void ExpectGood(const HostReply& reply, std::uint32_t transferred) {
    EXPECT_TRUE(reply.opened);
    EXPECT_TRUE(reply.completed);
    EXPECT_EQ(scsi::kGood, reply.scsiStatus);
    EXPECT_EQ(transferred, reply.transferred);
}

void ExpectRejected(const Outcome& outcome, std::uint8_t asc) {
    EXPECT_TRUE(outcome.reply.completed);
    EXPECT_EQ(scsi::kCheckCondition, outcome.reply.scsiStatus);
    EXPECT_EQ(scsi::kSenseIllegalRequest, outcome.reply.senseKey);
    EXPECT_EQ(asc, outcome.reply.asc);
    EXPECT_EQ(0x00, outcome.reply.ascq);
    EXPECT_EQ(0u, outcome.reply.transferred);
    EXPECT_EQ(Bytes(outcome.data.size(), kUntouched), outcome.data) << "no data moved";
}

TEST(VirtualDeviceInquiry, AnswersStandardDataAndTheTagWhereCarried) {
    const Bytes tag = {0x76, '6', '4', '5'};
    struct Case {
        const char* name;
        bool withTag;
        DeviceClass cls;
        std::uint8_t allocation;
        std::size_t buffer;
        Bytes expected;  // the whole buffer afterwards
    };
    const Bytes disk36 = Standard36(0x00, 0x00, 31);
    const Bytes disk40 = Concat({Standard36(0x00, 0x00, 35), tag});
    const Bytes cdrom36 = Standard36(0x05, 0x80, 31);
    const Case cases[] = {
        {"disk, no tag, 40 asked", false, DeviceClass::Disk, 40, 40, Padded(disk36, 40)},
        {"disk, tag, 40 asked", true, DeviceClass::Disk, 40, 40, disk40},
        {"cd-rom class", false, DeviceClass::CdRom, 36, 36, cdrom36},
        {"allocation shorter than answer", true, DeviceClass::Disk, 8, 40,
         Padded(Bytes(disk40.begin(), disk40.begin() + 8), 40)},
        {"buffer shorter than allocation", true, DeviceClass::Disk, 40, 20,
         Bytes(disk40.begin(), disk40.begin() + 20)},
        {"tag cut by allocation 38", true, DeviceClass::Disk, 38, 40,
         Padded(Bytes(disk40.begin(), disk40.begin() + 38), 40)},
        {"allocation 0", true, DeviceClass::Disk, 0, 8, Bytes(8, kUntouched)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DeviceConfig config = TestBridge();
        config.cls = c.cls;
        if (c.withTag) config.answers.inquiryTag = std::array<std::uint8_t, 4>{0x76, '6', '4', '5'};
        VirtualDevice device(config);
        const Outcome outcome = Exec(device, Inquiry(c.allocation), DataDirection::In, c.buffer);
        ExpectGood(outcome.reply,
                   static_cast<std::uint32_t>(std::min<std::size_t>(
                       {c.buffer, c.allocation, c.withTag ? 40u : 36u})));
        EXPECT_EQ(c.expected, outcome.data);
    }
}

TEST(VirtualDeviceInquiry, TextIsPaddedAndCut) {
    DeviceConfig config = TestBridge();
    config.vendor = "Ab";
    config.product = "A product name longer than sixteen";
    config.productRevision = "12345";
    VirtualDevice device(config);
    const Outcome outcome = Exec(device, Inquiry(36), DataDirection::In, 36);
    ExpectGood(outcome.reply, 36);
    EXPECT_EQ(Text("Ab      A product name l1234"), Bytes(outcome.data.begin() + 8, outcome.data.end()));
}

// Every identification command on a bridge, with the buffer the tool offers.
TEST(VirtualDeviceBridge, AnswersEachCommandByteByByte) {
    const DeviceConfig base = TestBridge();
    const Bytes record(base.answers.chipInfo->begin(), base.answers.chipInfo->end());
    const Bytes& tag = *base.answers.chipTag;
    const Bytes& status = base.answers.statusRecord;
    struct Case {
        const char* name;
        std::uint32_t chipInfoLength;
        Bytes cdb;
        std::size_t buffer;
        Bytes expected;
    };
    const Case cases[] = {
        {"chip ID word", 16, kChipIdWord, 2, {0x41, 0x42}},
        {"chip ID word into a larger buffer", 16, kChipIdWord, 4, {0x41, 0x42, kUntouched, kUntouched}},
        {"chip info, 16-byte bridge", 16, kChipInfo, 16, record},
        {"chip info, 12-byte bridge", 12, kChipInfo, 16,
         Padded(Bytes(record.begin(), record.begin() + 12), 16)},
        {"chip info, 12 asked of a 16-byte bridge", 16, kChipInfo, 12,
         Bytes(record.begin(), record.begin() + 12)},
        {"chip tag, 40 asked", 16, kChipTag, 40, Padded(tag, 40)},
        {"chip tag, 8 asked", 16, kChipTag, 8, tag},
        {"status record, 16 asked", 16, Status(16), 16, Bytes(status.begin(), status.begin() + 16)},
        {"status record, 4 asked into 8", 16, Status(4), 8,
         Padded(Bytes(status.begin(), status.begin() + 4), 8)},
        {"status record, more asked than it has", 16, Status(64), 64, Padded(status, 64)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DeviceConfig config = base;
        config.answers.chipInfoLength = c.chipInfoLength;
        VirtualDevice device(config);
        const Outcome outcome = Exec(device, c.cdb, DataDirection::In, c.buffer);
        const auto moved = static_cast<std::uint32_t>(
            c.expected.size() -
            static_cast<std::size_t>(std::count(c.expected.begin(), c.expected.end(), kUntouched)));
        ExpectGood(outcome.reply, moved);
        EXPECT_EQ(c.expected, outcome.data);
    }
}

TEST(VirtualDeviceBridge, RejectsWhatItDoesNotKnowOrLacks) {
    DeviceConfig lacking = TestBridge();
    lacking.answers.chipInfo.reset();
    lacking.answers.chipTag.reset();
    struct Case {
        const char* name;
        bool lacks;
        Bytes cdb;
        DataDirection direction;
        std::uint8_t asc;
    };
    Bytes readWithFlag = MemRead(0x1000, 2);
    readWithFlag[9] = 0x01;
    Bytes chipIdAtAddress = kChipIdWord;
    chipIdAtAddress[7] = 0x10;
    const Case cases[] = {
        {"chip info when the bridge has none", true, kChipInfo, DataDirection::In, 0x20},
        {"chip tag when the bridge has none", true, kChipTag, DataDirection::In, 0x20},
        {"unknown opcode", false, Cdb12({0xE1}), DataDirection::In, 0x20},
        {"unknown FF 04 sub-command", false, Cdb12({0xFF, 0x04, 0x56, 0x52, 0x00}), DataDirection::Out, 0x20},
        {"FF with another second byte", false, Cdb12({0xFF, 0x05, 0x30, 0x08}), DataDirection::In, 0x20},
        {"E0 without the F4 E7 marker", false, Cdb12({0xE0, 0xF4, 0x00}), DataDirection::In, 0x20},
        {"DF ATA command code with a memory address", false, Cdb12({0xDF, 0x10, 0x00, 0x00, 0x02, 0x00, 0x00, 0x01}), DataDirection::In, 0x20},
        {"memory read with a stray byte", false, readWithFlag, DataDirection::In, 0x20},
        {"chip ID word at an address", false, chipIdAtAddress, DataDirection::In, 0x24},
        {"memory read past 0xFFFF", false, MemRead(0xFFFF, 2), DataDirection::In, 0x24},
        {"memory read far past 0xFFFF", false, MemRead(0x8000, 0x8001), DataDirection::In, 0x24},
        {"memory write past 0xFFFF", false, MemWrite(0xFFF0, 0x20), DataDirection::Out, 0x24},
        {"INQUIRY for a VPD page", false, Cdb12({0x12, 0x01, 0x80, 0x00, 0x40}), DataDirection::In, 0x24},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        VirtualDevice device(c.lacks ? lacking : TestBridge());
        const auto before = device.memory();
        const Outcome outcome = Exec(device, c.cdb, c.direction, 64);
        ExpectRejected(outcome, c.asc);
        EXPECT_TRUE(before == device.memory()) << "memory unchanged";
        EXPECT_FALSE(device.vendorMode());
    }
}

TEST(VirtualDeviceBridge, VendorModeFollowsTheLastModeCommand) {
    VirtualDevice device(TestBridge());
    EXPECT_FALSE(device.vendorMode());
    const struct {
        const Bytes* cdb;
        bool after;
    } steps[] = {{&kVendorOn, true}, {&kVendorOn, true}, {&kVendorOff, false}, {&kVendorOn, true}};
    for (const auto& step : steps) {
        const Outcome outcome = Exec(device, *step.cdb, DataDirection::Out, 0);
        ExpectGood(outcome.reply, 0);
        EXPECT_EQ(step.after, device.vendorMode());
    }
}

TEST(VirtualDeviceMemory, WritesReadBackAtTheirAddress) {
    VirtualDevice device(TestBridge());
    const Bytes written = {0x11, 0x22, 0x33, 0x44, 0x55};
    ExpectGood(Exec(device, MemWrite(0x1234, 5), DataDirection::Out, 5, written).reply, 5);
    EXPECT_EQ(0x11, device.memory()[0x1234]);
    EXPECT_EQ(0x55, device.memory()[0x1238]);
    EXPECT_EQ(0x00, device.memory()[0x1239]);

    const Outcome all = Exec(device, MemRead(0x1233, 7), DataDirection::In, 8);
    ExpectGood(all.reply, 7);
    EXPECT_EQ((Bytes{0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x00, kUntouched}), all.data);

    // The last bytes of the 64 KiB are reachable.
    ExpectGood(Exec(device, MemWrite(0xFFFE, 2), DataDirection::Out, 2, {0xAB, 0xCD}).reply, 2);
    const Outcome last = Exec(device, MemRead(0xFFFE, 2), DataDirection::In, 2);
    ExpectGood(last.reply, 2);
    EXPECT_EQ((Bytes{0xAB, 0xCD}), last.data);
}

TEST(VirtualDeviceMemory, PresetsAreThereAtPowerUp) {
    DeviceConfig config = TestBridge();
    config.answers.memory = {{bridge_memory::kRevisionReg, {0x00, 0xB4}},
                             {0xFFFF, {0x5A, 0x77}}};  // the byte past the end is dropped
    VirtualDevice device(config);
    const Outcome reg = Exec(device, MemRead(bridge_memory::kRevisionReg, 2), DataDirection::In, 2);
    EXPECT_EQ((Bytes{0x00, 0xB4}), reg.data);
    EXPECT_EQ(0x5A, device.memory()[0xFFFF]);
}

TEST(VirtualDeviceMemory, StuckScratchByteKeepsBitZero) {
    struct Case {
        bool stuck;
        std::uint8_t written;
        std::uint8_t readBack;
    };
    for (const Case& c : {Case{false, 0x00, 0x00}, Case{false, 0x5A, 0x5A}, Case{true, 0x00, 0x01},
                          Case{true, 0xFE, 0xFF}, Case{true, 0x01, 0x01}}) {
        SCOPED_TRACE(testing::Message() << "stuck " << c.stuck << " written " << int(c.written));
        DeviceConfig config = TestBridge();
        config.stuck506A = c.stuck;
        VirtualDevice device(config);
        // Written alone and as part of a wider write.
        ExpectGood(Exec(device, MemWrite(0x506A, 1), DataDirection::Out, 1, {c.written}).reply, 1);
        EXPECT_EQ(c.readBack, Exec(device, MemRead(0x506A, 1), DataDirection::In, 1).data[0]);
        ExpectGood(Exec(device, MemWrite(0x5069, 3), DataDirection::Out, 3, {0x10, c.written, 0x20}).reply, 3);
        const Outcome wide = Exec(device, MemRead(0x5069, 3), DataDirection::In, 3);
        EXPECT_EQ((Bytes{0x10, c.readBack, 0x20}), wide.data);
    }
}

TEST(VirtualDeviceBridge, DataPhaseAgainstTheCommandIsATransportError) {
    struct Case {
        const char* name;
        Bytes cdb;
        DataDirection direction;
    };
    const Case cases[] = {
        {"data-in command sent with data out", kChipInfo, DataDirection::Out},
        {"memory read sent with data out", MemRead(0x100, 4), DataDirection::Out},
        {"memory write sent with data in", MemWrite(0x100, 4), DataDirection::In},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        VirtualDevice device(TestBridge());
        const Outcome outcome = Exec(device, c.cdb, c.direction, 4, {1, 2, 3, 4});
        EXPECT_FALSE(outcome.reply.completed);
        EXPECT_EQ(EIO, outcome.reply.hostError);
        EXPECT_EQ(0u, outcome.reply.transferred);
        EXPECT_EQ(0x00, device.memory()[0x100]);
    }
}

// A USB disk that is no bridge: INQUIRY works, every vendor command ends
// with CHECK CONDITION, ILLEGAL REQUEST, 20/00 and moves nothing.
TEST(VirtualDeviceOrdinaryDisk, RejectsEveryVendorCommand) {
    const Bytes commands[] = {kChipIdWord, kChipInfo, kChipTag, Status(32), kVendorOn, kVendorOff,
                              MemRead(0x506A, 2), MemWrite(0x506A, 2)};
    for (const Bytes& cdb : commands) {
        SCOPED_TRACE(testing::Message() << "CDB " << std::hex << int(cdb[0]) << ' ' << int(cdb[1]) << ' '
                                        << int(cdb[2]) << ' ' << int(cdb[11]));
        VirtualDevice device(OrdinaryDisk());
        const DataDirection direction =
            cdb[0] == 0xDF && cdb[11] == 0xFE ? DataDirection::Out : DataDirection::In;
        ExpectRejected(Exec(device, cdb, direction, 40), 0x20);
        EXPECT_FALSE(device.vendorMode());
    }
    VirtualDevice device(OrdinaryDisk());
    const Outcome inquiry = Exec(device, Inquiry(40), DataDirection::In, 40);
    ExpectGood(inquiry.reply, 36);
    EXPECT_EQ(Padded(Standard36(0x00, 0x00, 31), 40), inquiry.data) << "no tag on a disk that is no bridge";
}

}  // namespace
}  // namespace v62x::sim
