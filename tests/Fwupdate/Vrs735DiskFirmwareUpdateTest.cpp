// The 735 firmware on the attached disk: where the area lies, the command
// pair, the NVRAM choice, the checksum, the bridge restart, and every
// failure on simulated bridges.
#include "Fwupdate/Vrs735DiskFirmwareUpdate.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "Fwupdate/DiskArea.h"
#include "Fwupdate/ProcedureHelpers.h"
#include "IDEAccess/ChipCommands.h"
#include "support/SimBench.h"

namespace v62x {
namespace {

using test::Bytes;
using test::Pattern;
using test::SimBench;
using test::Slice;

constexpr std::uint32_t kArea = 65536;
constexpr std::uint32_t kCode = 49152;
constexpr const char* kBridge = "bridge:kind=12,hddfw=1,flash=none";

TEST(Vrs735AreaStart, TwoMegabytesBelowTheLastMegabyteBoundary) {
    struct Case {
        const char* what;
        std::uint32_t blockSize;
        std::uint64_t ata;
        std::uint64_t scsiLast;
        bool valid;
        bool ata_;
        std::uint64_t start;
    };
    const Case cases[] = {
        {"by identification", 512, 976773168, 0, true, true, 976769024},
        {"identification wins", 512, 976773168, 5, true, true, 976769024},
        {"by READ CAPACITY(16)", 512, 0, 976773167, true, false, 976769024},
        {"4096-byte blocks", 4096, 122096646, 0, true, true, (std::uint64_t{122096645} & ~std::uint64_t{255}) - 512},
        {"above 2^32", 512, 0x100005000, 0, true, true, 0x100004800 - 4096},
        {"above 2^32 by READ CAPACITY(16)", 512, 0, 0x1FFFFFFFF, true, false, 0x1FFFFF800 - 4096},
        {"smallest disk with room", 512, 4097, 0, true, true, 0},
        {"too small", 512, 4096, 0, false, false, 0},
        {"neither query answered", 512, 0, 0, false, false, 0},
        {"unusable block size", 520, 976773168, 0, false, false, 0},
    };
    for (const Case& c : cases) {
        Vrs735DiskGeometry g;
        g.blockSize = c.blockSize;
        g.ataSectors = c.ata;
        g.scsiLastLba = c.scsiLast;
        std::uint64_t start = 0;
        bool ata = false;
        EXPECT_EQ(c.valid, Vrs735AreaStart(g, start, ata)) << c.what;
        if (c.valid) {
            EXPECT_EQ(c.start, start) << c.what;
            EXPECT_EQ(c.ata_, ata) << c.what;
        }
    }
}

// Where the 735 area lies, found as the procedure finds it.
std::uint64_t AreaStart(SimBench& bench) {
    std::uint64_t start = 0;
    bool ata = false;
    EXPECT_TRUE(Vrs735AreaStart(GatherVrs735DiskGeometry(bench.Path()), start, ata));
    bench.host.ClearLog();
    return start;
}
bool ResetSent(const SimBench& bench) {
    const auto vendor = bench.Commands(0xFF);
    return std::any_of(vendor.begin(), vendor.end(), [](const sim::LogEntry& e) {
        return e.cdb.size() >= 5 && e.cdb[2] == 0x26 && e.cdb[3] == 0x56 && e.cdb[4] == 0x52;
    });
}

// Status byte 19: the bridge runs a valid firmware from its disk copy.
int RunningFirmwareValid(const std::string& path) {
    std::uint8_t status[20] = {};
    EXPECT_NE(0, GetBridgeStatus(path, status, sizeof status));
    return status[19];
}

// The checksum as the disk copy carries it: CRC-32 of the first 0xBFFC
// bytes, least significant byte first.
Bytes WithChecksum(Bytes image) {
    std::uint32_t crc = 0;
    FirmwareCrc32(image.data(), kVrs735CrcOffset, false, crc);
    for (int i = 0; i < 4; ++i) image[kVrs735CrcOffset + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(crc >> (8 * i));
    return image;
}

TEST(Vrs735DiskFirmwareUpdate, ProgramsTheCodeAndLeavesTheNvramWhenUnticked) {
    SimBench bench(kBridge);
    const std::uint64_t start = AreaStart(bench);
    EXPECT_EQ(976769024u, start);
    const Bytes nvram = Pattern(kArea - kCode, 4);
    bench.PutDisk(start + kCode / 512, nvram);
    Bytes file = Pattern(kCode);
    const std::uint8_t tag[] = {0x55, 0xAA, 0xAA, 0x55, '7', '3', '5', '1'};
    std::copy(std::begin(tag), std::end(tag), file.begin() + 0xBFF0);
    bench.UseFile(file);
    bench.panel.includeNvram = false;

    EXPECT_EQ(1, bench.Run(VRS735DiskFirmwareUpdate));
    const Bytes area = bench.Disk(start, kArea);
    EXPECT_EQ(WithChecksum(file), Slice(area, 0, kCode)) << "the file's last four bytes give way to the checksum";
    EXPECT_NE(Slice(file, kVrs735CrcOffset, 4), Slice(area, kVrs735CrcOffset, 4));
    EXPECT_EQ(nvram, Slice(area, kCode, kArea - kCode));
    std::size_t writes = 0;
    for (const auto& e : bench.Commands(0x85)) {
        if (e.direction == DataDirection::Out) {
            ++writes;
            EXPECT_EQ(kCode, e.length);
        }
    }
    EXPECT_EQ(1u, writes);
    EXPECT_TRUE(bench.Commands(0x8A).empty());
    EXPECT_EQ("Programming Success!!", bench.panel.status);
    EXPECT_TRUE(ResetSent(bench));
    ASSERT_EQ(1u, bench.panel.messages.size());
    EXPECT_EQ("Message", bench.panel.messages[0].title);
    EXPECT_EQ(kAutoResetText, bench.panel.messages[0].text);
    // After its restart the bridge runs the new copy: its checksum holds.
    EXPECT_EQ(1, RunningFirmwareValid(bench.Path()));
}

TEST(Vrs735DiskFirmwareUpdate, WithTheNvramTickedTheWholeAreaIsReplaced) {
    SimBench bench(kBridge);
    const std::uint64_t start = AreaStart(bench);
    bench.PutDisk(start, Pattern(kArea, 6));
    const Bytes file = Pattern(40000);
    bench.UseFile(file);
    bench.panel.includeNvram = true;
    EXPECT_EQ(1, bench.Run(VRS735DiskFirmwareUpdate));
    Bytes expected = file;
    expected.resize(kArea, 0);
    EXPECT_EQ(WithChecksum(expected), bench.Disk(start, kArea));
}

TEST(Vrs735DiskFirmwareUpdate, EveryDiskGeometryReachesItsArea) {
    struct Case {
        const char* what;
        const char* description;
        bool failIdentify;
        std::uint8_t writeOpcode;
    };
    const Case cases[] = {
        {"identification", kBridge, false, 0x85},
        {"READ CAPACITY(16) when identification fails", kBridge, true, 0x8A},
        {"4096-byte blocks", "bridge:kind=12,hddfw=1,flash=none,blocksize=4096", false, 0x85},
        {"above 2^32 blocks", "bridge:kind=12,hddfw=1,flash=none,disk=3T", false, 0x85},
        {"above 2^32 blocks by READ CAPACITY(16)", "bridge:kind=12,hddfw=1,flash=none,disk=3T", true, 0x8A},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SimBench bench(c.description);
        if (c.failIdentify) bench.host.AddFault({"", {0xA1}, 0, sim::FaultKind::CheckCondition});
        const sim::AttachedDisk& disk = *bench.device->disk();
        const std::uint64_t align = 1048576 / disk.blockSize();
        const std::uint64_t start = ((disk.sectors() - 1) & ~(align - 1)) - 2097152 / disk.blockSize();
        const Bytes file = Pattern(kArea);
        bench.UseFile(file);
        bench.panel.includeNvram = true;
        EXPECT_EQ(1, bench.Run(VRS735DiskFirmwareUpdate));
        EXPECT_EQ(WithChecksum(file), bench.Disk(start, kArea));
        EXPECT_FALSE(bench.Commands(c.writeOpcode).empty());
        EXPECT_TRUE(bench.Commands(0x2A).empty()) << "never the 10-byte commands";
    }
}

TEST(Vrs735DiskFirmwareUpdate, EraseZerosTheHandledLengthAndRestarts) {
    for (const bool nvram : {true, false}) {
        SimBench bench(kBridge);
        const std::uint64_t start = AreaStart(bench);
        const Bytes old = Pattern(kArea, 8);
        bench.PutDisk(start, old);
        bench.panel.rdVersion = true;
        bench.panel.eraseOnly = true;
        bench.panel.includeNvram = nvram;
        EXPECT_EQ(1, bench.Run(VRS735DiskFirmwareUpdate));
        const std::size_t erased = nvram ? kArea : kCode;
        const Bytes area = bench.Disk(start, kArea);
        EXPECT_EQ(Bytes(erased, 0), Slice(area, 0, erased));
        EXPECT_EQ(Slice(old, erased, kArea - erased), Slice(area, erased, kArea - erased));
        EXPECT_EQ("Erase all data in HDD success!!", bench.panel.status);
        EXPECT_TRUE(ResetSent(bench));
        EXPECT_TRUE(bench.MessageShown(kAutoResetText));
        EXPECT_EQ(0, RunningFirmwareValid(bench.Path())) << "nothing left to run";
    }
}

TEST(Vrs735DiskFirmwareUpdate, BackupCopiesTheHandledLengthWithoutRestart) {
    for (const bool nvram : {true, false}) {
        SimBench bench(kBridge);
        const std::uint64_t start = AreaStart(bench);
        const Bytes old = Pattern(kArea, 10);
        bench.PutDisk(start, old);
        bench.panel.rdVersion = true;
        bench.panel.backupOnly = true;
        bench.panel.includeNvram = nvram;
        bench.panel.backupFile = bench.dir.File("735.bak");
        EXPECT_EQ(1, bench.Run(VRS735DiskFirmwareUpdate));
        EXPECT_EQ(Slice(old, 0, nvram ? kArea : kCode), test::ReadWholeFile(bench.panel.backupFile));
        EXPECT_EQ("Read flash and backup success!", bench.panel.status);
        EXPECT_FALSE(ResetSent(bench));
        EXPECT_TRUE(bench.panel.messages.empty());
    }
}

TEST(Vrs735DiskFirmwareUpdate, EveryFailureEndsWithItsTextWithoutRestart) {
    using sim::FaultKind;
    enum Mode { Program, Erase, Backup };
    struct Case {
        const char* what;
        sim::FaultRule fault;
        Mode mode;
        std::size_t fileSize;
        const char* text;
        bool areaUntouched;
    };
    const Case cases[] = {
        {"write", {"", {0x85}, 0, FaultKind::CheckCondition, 5, 0x20, 0, DataDirection::Out}, Program, 30000,
         "Write Data SCSI16 To HDD FAIL!!", true},
        {"read-back", {"", {0x85}, 0, FaultKind::CheckCondition, 5, 0x20, 0, DataDirection::In}, Program, 30000,
         "Read Data SCSI16 From HDD FAIL!!", false},
        {"differs", {"", {0x85}, 0, FaultKind::ShortTransfer, 5, 0x20, 0, DataDirection::Out, 512}, Program, 30000,
         "Compare Data in HDD FAIL!!", false},
        {"file longer than 64 KiB", {"", {0x00}, 0, FaultKind::Transport}, Program, kArea + 1,
         "Firmware file is bigger than 64KB!!", true},
        {"empty file", {"", {0x00}, 0, FaultKind::Transport}, Program, 0, "Firmware file size error!!", true},
        {"no geometry", {"", {}, 0, FaultKind::CheckCondition, 5, 0x20, 0, DataDirection::In}, Program, 30000,
         kAreaNotFoundText, true},
        {"erase write", {"", {0x85}, 0, FaultKind::CheckCondition, 5, 0x20, 0, DataDirection::Out}, Erase, 0,
         "Erase data in HDD fail!!", true},
        {"erase read-back", {"", {0x85}, 0, FaultKind::CheckCondition, 5, 0x20, 0, DataDirection::In}, Erase, 0,
         "Erase data in HDD fail!!", false},
        {"backup read", {"", {0x85}, 0, FaultKind::CheckCondition, 5, 0x20, 0, DataDirection::In}, Backup, 0,
         "Read Back to Backup Error!!", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SimBench bench(kBridge);
        const std::uint64_t start = AreaStart(bench);
        bench.PutDisk(start, Pattern(kArea, 12));
        const Bytes before = bench.Disk(start, kArea);
        bench.UseFile(Pattern(c.fileSize));
        bench.panel.rdVersion = c.mode != Program;
        bench.panel.eraseOnly = c.mode == Erase;
        bench.panel.backupOnly = c.mode == Backup;
        bench.panel.includeNvram = true;
        bench.panel.backupFile = bench.dir.File("backup.bin");
        bench.host.AddFault(c.fault);
        EXPECT_EQ(0, bench.Run(VRS735DiskFirmwareUpdate));
        EXPECT_EQ(c.text, bench.panel.status);
        EXPECT_FALSE(ResetSent(bench));
        EXPECT_TRUE(bench.panel.messages.empty());
        if (c.areaUntouched) {
            EXPECT_EQ(before, bench.Disk(start, kArea));
        }
        EXPECT_FALSE(std::filesystem::exists(bench.panel.backupFile));
    }
}

}  // namespace
}  // namespace v62x
