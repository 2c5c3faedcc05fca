// The disk behind a virtual device, byte by byte: capacity answers, block
// reads and writes through the standard commands and through the ATA paths
// of a bridge, how far each command reaches, and what an ordinary disk does
// with the same commands.
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
using test::Pattern;

void PutBe(Bytes& cdb, std::size_t at, std::uint64_t value, std::size_t bytes) {
    for (std::size_t i = 0; i < bytes; ++i) cdb[at + i] = static_cast<std::uint8_t>(value >> (8 * (bytes - 1 - i)));
}

Bytes ReadCapacity10() { return Bytes{0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}; }
Bytes ReadCapacity16(std::uint32_t allocation) {
    Bytes cdb(16, 0);
    cdb[0] = 0x9E;
    cdb[1] = 0x10;
    PutBe(cdb, 10, allocation, 4);
    return cdb;
}
Bytes Rw10(bool write, std::uint32_t lba, std::uint16_t blocks) {
    Bytes cdb(10, 0);
    cdb[0] = write ? 0x2A : 0x28;
    PutBe(cdb, 2, lba, 4);
    PutBe(cdb, 7, blocks, 2);
    return cdb;
}
Bytes Rw16(bool write, std::uint64_t lba, std::uint32_t blocks) {
    Bytes cdb(16, 0);
    cdb[0] = write ? 0x8A : 0x88;
    PutBe(cdb, 2, lba, 8);
    PutBe(cdb, 10, blocks, 4);
    return cdb;
}
// ATA PASS-THROUGH(16) READ/WRITE DMA EXT, the registers written out by hand:
// bytes 7..12 hold LBA bits 31-24, 7-0, 39-32, 15-8, 47-40, 23-16.
Bytes AtaDma(bool write, std::uint64_t lba, std::uint16_t count) {
    const auto bits = [lba](int shift) { return static_cast<std::uint8_t>(lba >> shift); };
    return Bytes{0x85, static_cast<std::uint8_t>(write ? 0x17 : 0x15),
                 static_cast<std::uint8_t>(write ? 0x03 : 0x0B), 0x00, 0x00,
                 static_cast<std::uint8_t>(count >> 8), static_cast<std::uint8_t>(count),
                 bits(24), bits(0), bits(32), bits(8), bits(40), bits(16),
                 0x60, static_cast<std::uint8_t>(write ? 0x35 : 0x25), 0x00};
}
const Bytes kAtaIdentify12 = {0xA1, 0x08, 0x0B, 0x00, 0x00, 0x00, 0x00, 0x00, 0x40, 0xEC, 0x00, 0x00};
const Bytes kDirectIdentify = {0xDF, 0x10, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xA0, 0xEC};

DeviceConfig WithDisk(std::uint64_t sectors, std::uint64_t reserved = 0, std::uint32_t blockSize = 512,
                      bool bridge = true, bool reservedOpen = true) {
    DeviceConfig config;
    config.isBridge = bridge;
    DiskConfig disk;
    disk.sectors = sectors;
    disk.reservedBlocks = reserved;
    disk.blockSize = blockSize;
    disk.reservedOpenToScsi = reservedOpen;
    config.disk = disk;
    return config;
}

void ExpectGood(const Outcome& outcome, std::uint32_t transferred) {
    EXPECT_TRUE(outcome.reply.completed);
    EXPECT_EQ(scsi::kGood, outcome.reply.scsiStatus);
    EXPECT_EQ(transferred, outcome.reply.transferred);
}

void ExpectSense(const Outcome& outcome, std::uint8_t key, std::uint8_t asc, std::uint8_t ascq = 0) {
    EXPECT_TRUE(outcome.reply.completed);
    EXPECT_EQ(scsi::kCheckCondition, outcome.reply.scsiStatus);
    EXPECT_TRUE(outcome.reply.senseValid);
    EXPECT_EQ(key, outcome.reply.senseKey);
    EXPECT_EQ(asc, outcome.reply.asc);
    EXPECT_EQ(ascq, outcome.reply.ascq);
}

void ExpectPhaseError(const Outcome& outcome) {
    EXPECT_TRUE(outcome.reply.opened);
    EXPECT_FALSE(outcome.reply.completed);
    EXPECT_EQ(EIO, outcome.reply.hostError);
}

constexpr std::uint8_t kIllegal = scsi::kSenseIllegalRequest;
constexpr std::uint8_t kAborted = 0x0B;

TEST(VirtualDeviceDisk, ReadCapacity10ReportsTheHostVisibleEnd) {
    struct Case {
        const char* name;
        DeviceConfig config;
        Bytes answer;
    };
    const Case cases[] = {
        {"4 Mi blocks behind a 2048-block reserve", WithDisk(0x400000 + 2048, 2048),
         {0x00, 0x3F, 0xFF, 0xFF, 0x00, 0x00, 0x02, 0x00}},
        {"4096-byte blocks", WithDisk(122096646, 0, 4096), {0x07, 0x47, 0x0C, 0x05, 0x00, 0x00, 0x10, 0x00}},
        {"last block 0xFFFFFFFE still fits", WithDisk(0xFFFFFFFF), {0xFF, 0xFF, 0xFF, 0xFE, 0x00, 0x00, 0x02, 0x00}},
        {"2^32 blocks: last 0xFFFFFFFF", WithDisk(0x100000000), {0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x02, 0x00}},
        {"more than 2^32 blocks", WithDisk(5859375000, 2096), {0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x02, 0x00}},
        {"ordinary disk", WithDisk(31250000, 0, 512, false), {0x01, 0xDC, 0xD6, 0x4F, 0x00, 0x00, 0x02, 0x00}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        VirtualDevice device(c.config);
        const Outcome outcome = Exec(device, ReadCapacity10(), DataDirection::In, 8);
        ExpectGood(outcome, 8);
        EXPECT_EQ(c.answer, outcome.data);
    }
}

TEST(VirtualDeviceDisk, ReadCapacity16CarriesTheWholeAddressUpToTheAllocation) {
    VirtualDevice device(WithDisk(5859375000, 2096));
    const Bytes head = {0x00, 0x00, 0x00, 0x01, 0x5D, 0x3E, 0xEF, 0x67, 0x00, 0x00, 0x02, 0x00};
    struct Case {
        std::uint32_t allocation;
        std::size_t buffer;
        std::uint32_t moved;
    };
    for (const Case& c : {Case{16, 16, 16}, Case{32, 40, 32}, Case{8, 16, 8}, Case{0, 16, 0}}) {
        SCOPED_TRACE(c.allocation);
        const Outcome outcome = Exec(device, ReadCapacity16(c.allocation), DataDirection::In, c.buffer);
        ExpectGood(outcome, c.moved);
        for (std::size_t i = 0; i < c.buffer; ++i) {
            const std::uint8_t expected = i >= c.moved ? kUntouched : i < head.size() ? head[i] : 0x00;
            EXPECT_EQ(expected, outcome.data[i]) << "byte " << i;
        }
    }
}

TEST(VirtualDeviceDisk, MalformedCapacityRequestsAreRefused) {
    VirtualDevice device(WithDisk(1000));
    Bytes addressWithoutPmi = ReadCapacity10();
    addressWithoutPmi[5] = 1;
    Bytes otherServiceAction = ReadCapacity16(32);
    otherServiceAction[1] = 0x11;
    Bytes address16WithoutPmi = ReadCapacity16(32);
    address16WithoutPmi[9] = 1;
    for (const Bytes& cdb : {addressWithoutPmi, otherServiceAction, address16WithoutPmi}) {
        ExpectSense(Exec(device, cdb, DataDirection::In, 32), kIllegal, 0x24);
    }
    Bytes withPmi = addressWithoutPmi;
    withPmi[8] = 0x01;
    ExpectGood(Exec(device, withPmi, DataDirection::In, 8), 8);
}

TEST(VirtualDeviceDisk, BlocksWrittenOnOnePathReadBackOnEveryPath) {
    const std::uint64_t big = 5859375000;  // above 2^32 blocks
    const std::uint64_t reserved = 2096;
    struct Case {
        const char* name;
        std::uint64_t lba;
        bool ten;   // READ/WRITE(10) can address it
        bool scsi;  // the standard commands reach it
    };
    const Case cases[] = {
        {"first block", 0, true, true},
        {"4 blocks ending just below 2^32", 0xFFFFFFFF - 4, true, true},
        {"above 2^32", 0x123456789, false, true},
        {"start of the reserved area", big - reserved, false, true},
        {"last 4 blocks of the drive", big - 4, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes data = Pattern(4 * 512, static_cast<std::uint8_t>(c.lba));
        struct Path {
            const char* name;
            Bytes write;
            Bytes read;
            bool usable;
        };
        const Path paths[] = {
            {"(10)", Rw10(true, static_cast<std::uint32_t>(c.lba), 4), Rw10(false, static_cast<std::uint32_t>(c.lba), 4), c.ten},
            {"(16)", Rw16(true, c.lba, 4), Rw16(false, c.lba, 4), c.scsi},
            {"ATA DMA EXT", AtaDma(true, c.lba, 4), AtaDma(false, c.lba, 4), true},
        };
        for (const Path& writer : paths) {
            if (!writer.usable) continue;
            for (const Path& reader : paths) {
                if (!reader.usable) continue;
                SCOPED_TRACE(std::string(writer.name) + " then " + reader.name);
                VirtualDevice device(WithDisk(big, reserved));
                ExpectGood(Exec(device, writer.write, DataDirection::Out, data.size(), data), 4 * 512);
                const Outcome back = Exec(device, reader.read, DataDirection::In, data.size());
                ExpectGood(back, 4 * 512);
                EXPECT_EQ(data, back.data);
                EXPECT_EQ(4u, device.disk()->StoredBlocks());
            }
        }
    }
}

TEST(VirtualDeviceDisk, AtaRegistersAreReadInTheStandardsOrder) {
    // 0x0A0B0C0D0E0F spread as 31-24, 7-0, 39-32, 15-8, 47-40, 23-16.
    Bytes write = {0x85, 0x17, 0x03, 0x00, 0x00, 0x00, 0x01, 0x0C, 0x0F, 0x0B, 0x0E, 0x0A, 0x0D, 0x60, 0x35, 0x00};
    VirtualDevice device(WithDisk(kMaxDiskSectors));
    const Bytes data = Pattern(512, 0x5A);
    ExpectGood(Exec(device, write, DataDirection::Out, 512, data), 512);
    const Outcome at = Exec(device, Rw16(false, 0x0A0B0C0D0E0F, 1), DataDirection::In, 512);
    ExpectGood(at, 512);
    EXPECT_EQ(data, at.data);

    // Without the extend bit only the current (low) half of each register
    // reaches the drive: block 0x0D0E0F.
    write[1] = 0x16;
    const Bytes other = Pattern(512, 0x77);
    ExpectGood(Exec(device, write, DataDirection::Out, 512, other), 512);
    const Outcome low = Exec(device, Rw16(false, 0x0D0E0F, 1), DataDirection::In, 512);
    EXPECT_EQ(other, low.data);

    // A sector count of 0 in a 48-bit command means 65536 sectors.
    Bytes zeroCount = AtaDma(false, 0, 0);
    ExpectPhaseError(Exec(device, zeroCount, DataDirection::In, 512));
    ExpectGood(Exec(device, zeroCount, DataDirection::In, 65536 * 512), 65536 * 512);
}

TEST(VirtualDeviceDisk, EachCommandStopsWhereItsReachEnds) {
    const std::uint64_t sectors = 100000;
    const std::uint64_t reserved = 2048;
    const std::uint64_t host = sectors - reserved;
    struct Case {
        const char* name;
        bool reservedOpen;
        Bytes cdb;
        DataDirection direction;
        bool reaches;
    };
    const Case cases[] = {
        {"READ(10) past the host end, bridge keeps the area", false, Rw10(false, host, 4), DataDirection::In, false},
        {"READ(10) straddling the host end, bridge keeps the area", false, Rw10(false, host - 2, 4), DataDirection::In, false},
        {"READ(10) of the last host blocks", false, Rw10(false, host - 4, 4), DataDirection::In, true},
        {"READ(16) past the host end, bridge keeps the area", false, Rw16(false, host, 4), DataDirection::In, false},
        {"WRITE(10) past the host end, bridge keeps the area", false, Rw10(true, host, 4), DataDirection::Out, false},
        {"ATA read of the reserved area, bridge keeps it", false, AtaDma(false, host, 4), DataDirection::In, true},
        {"ATA write of the reserved area, bridge keeps it", false, AtaDma(true, host, 4), DataDirection::Out, true},
        {"READ(10) of the reserved area, bridge opens it", true, Rw10(false, host, 4), DataDirection::In, true},
        {"WRITE(16) of the reserved area, bridge opens it", true, Rw16(true, sectors - 4, 4), DataDirection::Out, true},
        {"READ(10) at the drive's end", true, Rw10(false, sectors, 4), DataDirection::In, false},
        {"READ(16) straddling the drive's end", true, Rw16(false, sectors - 2, 4), DataDirection::In, false},
        {"WRITE(16) at a huge address", true, Rw16(true, ~std::uint64_t{0} - 1, 4), DataDirection::Out, false},
        {"ATA read at the drive's end", true, AtaDma(false, sectors, 4), DataDirection::In, false},
        {"ATA write straddling the drive's end", true, AtaDma(true, sectors - 1, 4), DataDirection::Out, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        VirtualDevice device(WithDisk(sectors, reserved, 512, true, c.reservedOpen));
        const Outcome outcome = Exec(device, c.cdb, c.direction, 4 * 512,
                                     c.direction == DataDirection::Out ? Pattern(4 * 512, 1) : Bytes{});
        if (c.reaches) {
            ExpectGood(outcome, 4 * 512);
        } else {
            ExpectSense(outcome, kIllegal, 0x21);
            EXPECT_EQ(0u, outcome.reply.transferred);
            EXPECT_EQ(0u, device.disk()->StoredBlocks()) << "nothing written";
            if (c.direction == DataDirection::In) {
                EXPECT_EQ(Bytes(4 * 512, kUntouched), outcome.data);
            }
        }
    }
}

TEST(VirtualDeviceDisk, TransferSizesAndDirections) {
    VirtualDevice device(WithDisk(1000, 0, 4096));
    ExpectGood(Exec(device, Rw10(false, 0, 0), DataDirection::In, 0), 0);
    ExpectGood(Exec(device, Rw16(true, 999, 0), DataDirection::Out, 0), 0);
    // A larger buffer leaves a residue; the device moves the block count times the block size.
    ExpectGood(Exec(device, Rw10(false, 0, 1), DataDirection::In, 4096 + 100), 4096);
    // Less room than the data, or the data phase the wrong way round: the
    // transport gives up on the request.
    ExpectPhaseError(Exec(device, Rw10(false, 0, 2), DataDirection::In, 4096));
    ExpectPhaseError(Exec(device, Rw10(true, 0, 1), DataDirection::Out, 512, Pattern(512, 1)));
    ExpectPhaseError(Exec(device, Rw10(false, 0, 1), DataDirection::Out, 4096));
    ExpectPhaseError(Exec(device, Rw16(true, 0, 1), DataDirection::In, 4096));
    ExpectPhaseError(Exec(device, Rw16(true, 0, 1), DataDirection::Out, 0));
    EXPECT_EQ(0u, device.disk()->StoredBlocks());
    // Protection information is not offered.
    Bytes protectedRead = Rw10(false, 0, 1);
    protectedRead[1] = 0x20;
    ExpectSense(Exec(device, protectedRead, DataDirection::In, 4096), kIllegal, 0x24);
}

TEST(VirtualDeviceDisk, IdentifyByBothBridgePaths) {
    DeviceConfig config = WithDisk(976773168);
    VirtualDevice device(config);
    const auto expected = device.disk()->Identify();
    for (const Bytes* cdb : {&kAtaIdentify12, &kDirectIdentify}) {
        const Outcome outcome = Exec(device, *cdb, DataDirection::In, 512);
        ExpectGood(outcome, 512);
        EXPECT_EQ(Bytes(expected.begin(), expected.end()), outcome.data);
    }
    // The direct layout moves the length its bytes 3-4 ask for.
    Bytes shortDirect = kDirectIdentify;
    shortDirect[3] = 0x00;
    shortDirect[4] = 0x40;
    const Outcome part = Exec(device, shortDirect, DataDirection::In, 512);
    ExpectGood(part, 64);
    EXPECT_TRUE(std::equal(expected.begin(), expected.begin() + 64, part.data.begin()));
}

TEST(VirtualDeviceDisk, AtaCommandsTheBridgeOrTheDriveRefuse) {
    struct Case {
        const char* name;
        Bytes cdb;
        DataDirection direction;
        std::uint8_t key;
        std::uint8_t asc;
    };
    Bytes pioRead = AtaDma(false, 0, 1);
    pioRead[1] = 0x09;  // PIO data-in protocol for a DMA command
    Bytes wrongDirection = AtaDma(false, 0, 1);
    wrongDirection[2] = 0x03;  // T_DIR toward the device for a data-in protocol
    Bytes noLength = AtaDma(false, 0, 1);
    noLength[2] = 0x08;
    Bytes secondDrive = AtaDma(false, 0, 1);
    secondDrive[13] = 0x70;
    Bytes chs = AtaDma(false, 0, 1);
    chs[13] = 0x20;
    Bytes resetProtocol = AtaDma(false, 0, 1);
    resetProtocol[1] = 0x01;
    Bytes unknownCommand = AtaDma(false, 0, 1);
    unknownCommand[14] = 0xE7;
    Bytes countMismatch = AtaDma(false, 0, 1);
    countMismatch[2] = 0x0A;  // length in the count field, in bytes: 1 byte for a 512-byte read
    Bytes directSecondDrive = kDirectIdentify;
    directSecondDrive[10] = 0xB0;
    Bytes directOther = kDirectIdentify;
    directOther[11] = 0x00;  // NOP
    Bytes directWriteLayout = kDirectIdentify;
    directWriteLayout[1] = 0x00;
    Bytes directStray = kDirectIdentify;
    directStray[7] = 0x01;
    const Case cases[] = {
        {"PIO protocol for READ DMA EXT", pioRead, DataDirection::In, kAborted, 0x00},
        {"transfer direction against the protocol", wrongDirection, DataDirection::In, kIllegal, 0x24},
        {"data protocol without a length", noLength, DataDirection::In, kIllegal, 0x24},
        {"second drive on the cable", secondDrive, DataDirection::In, kAborted, 0x00},
        {"CHS addressing", chs, DataDirection::In, kAborted, 0x00},
        {"reset protocol", resetProtocol, DataDirection::In, kIllegal, 0x24},
        {"a command the drive does not know", unknownCommand, DataDirection::In, kAborted, 0x00},
        {"transfer length disagreeing with the command", countMismatch, DataDirection::In, kAborted, 0x00},
        {"direct IDENTIFY of the second drive", directSecondDrive, DataDirection::In, kAborted, 0x00},
        {"direct NOP", directOther, DataDirection::In, kAborted, 0x00},
        {"direct IDENTIFY in the write layout", directWriteLayout, DataDirection::In, kAborted, 0x00},
        {"direct ATA command with an address byte", directStray, DataDirection::In, kIllegal, 0x20},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        VirtualDevice device(WithDisk(1000));
        const Outcome outcome = Exec(device, c.cdb, c.direction, 1024);
        ExpectSense(outcome, c.key, c.asc);
        EXPECT_EQ(Bytes(1024, kUntouched), outcome.data);
    }
}

TEST(VirtualDeviceDisk, CheckConditionBitReturnsTheRegistersAsSense) {
    VirtualDevice device(WithDisk(1000));
    Bytes identify = kAtaIdentify12;
    identify[2] |= 0x20;
    const Outcome outcome = Exec(device, identify, DataDirection::In, 512);
    ExpectSense(outcome, scsi::kSenseRecoveredError, 0x00, 0x1D);
    EXPECT_EQ(512u, outcome.reply.transferred) << "the data still moved";
}

TEST(VirtualDeviceDisk, WhoAnswersWhatWithAndWithoutADisk) {
    struct Case {
        const char* name;
        bool bridge;
        bool disk;
        Bytes cdb;
        std::uint8_t key;  // 0: good
        std::uint8_t asc;
    };
    const Case cases[] = {
        {"ordinary disk: capacity", false, true, ReadCapacity10(), 0, 0},
        {"ordinary disk: READ(16)", false, true, Rw16(false, 0, 1), 0, 0},
        {"ordinary disk: direct IDENTIFY", false, true, kDirectIdentify, kIllegal, 0x20},
        {"ordinary disk: ATA PASS-THROUGH(12)", false, true, kAtaIdentify12, kIllegal, 0x20},
        {"ordinary disk: ATA PASS-THROUGH(16)", false, true, AtaDma(false, 0, 1), kIllegal, 0x20},
        {"bridge without a disk: capacity", true, false, ReadCapacity10(), scsi::kSenseNotReady, 0x3A},
        {"bridge without a disk: READ(10)", true, false, Rw10(false, 0, 1), scsi::kSenseNotReady, 0x3A},
        {"bridge without a disk: ATA IDENTIFY", true, false, kAtaIdentify12, scsi::kSenseNotReady, 0x3A},
        {"bridge without a disk: direct IDENTIFY", true, false, kDirectIdentify, scsi::kSenseNotReady, 0x3A},
        {"ordinary disk without a medium: capacity", false, false, ReadCapacity16(32), scsi::kSenseNotReady, 0x3A},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DeviceConfig config = WithDisk(1000, 0, 512, c.bridge);
        if (!c.disk) config.disk.reset();
        VirtualDevice device(config);
        const Outcome outcome = Exec(device, c.cdb, DataDirection::In, 512);
        if (c.key == 0) {
            EXPECT_EQ(scsi::kGood, outcome.reply.scsiStatus);
            EXPECT_TRUE(outcome.reply.completed);
        } else {
            ExpectSense(outcome, c.key, c.asc);
        }
    }
}

}  // namespace
}  // namespace v62x::sim
