// Firmware in the reserved area of the attached disk: where the area starts,
// the signature, programming in verified 64 KiB blocks, the erase that keeps
// the signature, the backup, and every failure on simulated bridges.
#include "Fwupdate/DiskFirmwareUpdate.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "Fwupdate/DiskArea.h"
#include "Fwupdate/ProcedureHelpers.h"
#include "support/SimBench.h"

namespace v62x {
namespace {

using test::Bytes;
using test::Pattern;
using test::SimBench;

constexpr std::uint32_t k64K = 65536;

TEST(DiskAreaStart, FollowsTheRoundingRule) {
    struct Case {
        const char* what;
        std::uint32_t blockSize;
        std::uint32_t lastLba;
        std::uint32_t firmwareLba;
        std::uint32_t high;
        int flag;
        bool valid;
        std::uint64_t start;
    };
    const Case cases[] = {
        {"flag 1", 512, 999999, 1000192, 0, 1, true, 999936},
        {"flag 0 subtracts one block first", 512, 999999, 1000192, 0, 0, true, 999680},
        {"unaligned address", 512, 999999, 1000300, 0, 1, true, 999936},
        {"4096-byte blocks", 4096, 999999, 1000192, 0, 0, true, 999680},
        {"upper half kept, borrow across the halves", 512, 0xFFFFFFFF, 0x00000010, 1, 1, true, 0xFFFFFF00},
        {"upper half with flag 0", 512, 0xFFFFFFFF, 0x00000100, 2, 0, true, 0x1FFFFFF00},
        {"lowest valid address, flag 1", 512, 1000, 256, 0, 1, true, 0},
        {"below 256 with flag 1", 512, 1000, 255, 0, 1, false, 0},
        {"256 with flag 0", 512, 1000, 256, 0, 0, false, 0},
        {"257 with flag 0", 512, 1000, 257, 0, 0, true, 0},
        {"address 0 with flag 0 would wrap", 512, 1000, 0, 0, 0, false, 0},
        {"capacity unknown", 512, 0, 1000192, 0, 1, false, 0},
        {"disk beyond 2^32 blocks of unknown size", 512, 0xFFFFFFFF, 1000192, 0, 1, false, 0},
        {"block size not a power of two", 520, 999999, 1000192, 0, 1, false, 0},
        {"block size 0", 0, 999999, 1000192, 0, 1, false, 0},
    };
    for (const Case& c : cases) {
        DiskAreaGeometry g;
        g.blockSize = c.blockSize;
        g.lastLba = c.lastLba;
        g.firmwareLba = c.firmwareLba;
        g.sectorsHigh = c.high;
        g.capacityFlag = c.flag;
        std::uint64_t start = 12345;
        EXPECT_EQ(c.valid, DiskAreaStart(g, start)) << c.what;
        if (c.valid) {
            EXPECT_EQ(c.start, start) << c.what;
        }
    }
}

TEST(DiskSignature, IsTheAddressHighByteFirstBetween55AndAA) {
    Bytes image(256, 0x77);
    PutDiskSignature(image.data(), 1000192);
    EXPECT_EQ((Bytes{0x77, 0x55, 0x00, 0x0F, 0x43, 0x00, 0xAA, 0x77}), Bytes(image.begin() + 149, image.begin() + 157));
}

// Where the bridge's firmware area lies, found as the procedure finds it.
struct Area {
    DiskAreaGeometry geometry;
    std::uint64_t start = 0;
};
Area AreaOf(SimBench& bench) {
    Area area;
    area.geometry = GatherDiskAreaGeometry(bench.Path(), bench.state.id.ChipKind);
    EXPECT_TRUE(DiskAreaStart(area.geometry, area.start));
    bench.host.ClearLog();
    return area;
}
// Fills the area from its start, keeping the signature the bridge finds it by.
Bytes FillArea(SimBench& bench, const Area& area, Bytes bytes) {
    const Bytes first = bench.Disk(area.start, 512);
    std::copy(first.begin() + 150, first.begin() + 156, bytes.begin() + 150);
    bench.PutDisk(area.start, bytes);
    return bytes;
}

TEST(DiskFirmwareUpdate, ProgramsTheFileInVerifiedBlocksForEachDiskKind) {
    for (const char* description : {"bridge:kind=14", "bridge:kind=5", "bridge:kind=15,hddfw=1,flash=none",
                                    "bridge:kind=14,capflag=1"}) {
        SimBench bench(description);
        const Area area = AreaOf(bench);
        SCOPED_TRACE(description);
        // The fresh area starts where the host-visible disk ends.
        EXPECT_EQ(bench.device->disk()->hostBlocks(), area.start);
        const Bytes file = Pattern(100000);
        bench.UseFile(file);
        EXPECT_EQ(1, bench.Run(DiskFirmwareUpdate));

        Bytes expected = file;
        expected.resize(2 * k64K, 0);
        PutDiskSignature(expected.data(), area.geometry.firmwareLba);
        EXPECT_EQ(expected, bench.Disk(area.start, 2 * k64K));
        // Two blocks: each written and read back at its own address.
        const auto writes = bench.Commands(0x2A);
        ASSERT_EQ(2u, writes.size());
        EXPECT_EQ((Bytes{0x2A, 0x00}), Bytes(writes[0].cdb.begin(), writes[0].cdb.begin() + 2));
        for (std::size_t i = 0; i < 2; ++i) {
            const std::uint64_t lba = area.start + 128 * i;
            const auto& cdb = writes[i].cdb;
            EXPECT_EQ(lba, (std::uint64_t{cdb[2]} << 24) | (cdb[3] << 16) | (cdb[4] << 8) | cdb[5]);
            EXPECT_EQ(128, (cdb[7] << 8) | cdb[8]);
            EXPECT_EQ(k64K, writes[i].length);
        }
        EXPECT_EQ("Programming Success!!", bench.panel.status);
        ASSERT_EQ(1u, bench.panel.messages.size());
        EXPECT_EQ("Message", bench.panel.messages[0].title);
        EXPECT_EQ(kPowerCycleText, bench.panel.messages[0].text);
    }
}

TEST(DiskFirmwareUpdate, FourKilobyteBlocksMoveSixteenBlocksPerCommand) {
    SimBench bench("bridge:kind=14,blocksize=4096,disk=500G");
    const Area area = AreaOf(bench);
    bench.UseFile(Pattern(70000));
    ASSERT_EQ(1, bench.Run(DiskFirmwareUpdate));
    const auto writes = bench.Commands(0x2A);
    ASSERT_EQ(2u, writes.size());
    EXPECT_EQ(16, (writes[0].cdb[7] << 8) | writes[0].cdb[8]);
    EXPECT_EQ(area.start + 16, (std::uint64_t{writes[1].cdb[4]} << 8 | writes[1].cdb[5]) |
                                    (std::uint64_t{writes[1].cdb[2]} << 24 | std::uint64_t{writes[1].cdb[3]} << 16));
    Bytes expected = Pattern(70000);
    expected.resize(2 * k64K, 0);
    PutDiskSignature(expected.data(), area.geometry.firmwareLba);
    EXPECT_EQ(expected, bench.Disk(area.start, 2 * k64K));
}

TEST(DiskFirmwareUpdate, DisksBeyondTwoToThe32BlocksUseSixteenByteCommands) {
    SimBench bench("bridge:kind=14,disk=3T");
    const Area area = AreaOf(bench);
    ASSERT_EQ(1u, area.geometry.sectorsHigh);
    EXPECT_EQ(1u, area.start >> 32) << "the start keeps the upper half";
    bench.UseFile(Pattern(4000));
    ASSERT_EQ(1, bench.Run(DiskFirmwareUpdate));
    EXPECT_TRUE(bench.Commands(0x2A).empty());
    const auto writes = bench.Commands(0x8A);
    ASSERT_EQ(1u, writes.size());
    std::uint64_t lba = 0;
    for (int i = 2; i < 10; ++i) lba = (lba << 8) | writes[0].cdb[static_cast<std::size_t>(i)];
    EXPECT_EQ(area.start, lba);
    Bytes expected = Pattern(4000);
    expected.resize(k64K, 0);
    PutDiskSignature(expected.data(), area.geometry.firmwareLba);
    EXPECT_EQ(expected, bench.Disk(area.start, k64K));
}

TEST(DiskFirmwareUpdate, EraseZerosTheFirstBlockButKeepsTheSignature) {
    for (const char* description : {"bridge:kind=14", "bridge:kind=15,hddfw=1,flash=none"}) {
        SimBench bench(description);
        const Area area = AreaOf(bench);
        SCOPED_TRACE(description);
        const Bytes before = bench.Disk(area.start, k64K);
        ASSERT_EQ(0x55, before[150]) << "the fresh area carries its signature";
        const Bytes old = FillArea(bench, area, Pattern(2 * k64K, 3));

        bench.panel.rdVersion = true;
        bench.panel.eraseOnly = true;
        EXPECT_EQ(1, bench.Run(DiskFirmwareUpdate));
        Bytes expected(k64K, 0);
        std::copy(before.begin() + 150, before.begin() + 156, expected.begin() + 150);
        EXPECT_EQ(expected, bench.Disk(area.start, k64K));
        EXPECT_EQ(test::Slice(old, k64K, k64K), bench.Disk(area.start + 128, k64K)) << "one block only";
        EXPECT_EQ("Erase all data in HDD success!!", bench.panel.status);
        EXPECT_TRUE(bench.MessageShown(kPowerCycleText));
    }
}

TEST(DiskFirmwareUpdate, BackupWritesFirmwareSizeBytesOfTheArea) {
    SimBench bench("bridge:kind=14");
    const Area area = AreaOf(bench);
    const Bytes filled = FillArea(bench, area, Pattern(4 * k64K, 5));
    bench.panel.rdVersion = true;
    bench.panel.backupOnly = true;
    bench.panel.backupFile = bench.dir.File("area.bak");
    EXPECT_EQ(1, bench.Run(DiskFirmwareUpdate));
    EXPECT_EQ(test::Slice(filled, 0, k64K), test::ReadWholeFile(bench.panel.backupFile)) << "default size";
    EXPECT_EQ("Read flash and backup success!", bench.panel.status);
    EXPECT_TRUE(bench.panel.messages.empty());

    bench.state.flash.FirmwareSize = 262144;
    EXPECT_EQ(1, bench.Run(DiskFirmwareUpdate));
    EXPECT_EQ(filled, test::ReadWholeFile(bench.panel.backupFile));
    for (const auto& read : bench.Commands(0x28)) EXPECT_LE(read.length, k64K) << "64 KiB per command";
}

TEST(DiskFirmwareUpdate, BackupWithoutANameWritesTheDefaultFileInTheCurrentFolder) {
    SimBench bench("bridge:kind=14");
    {
        test::InDirectory inside(bench.dir.File(""));
        bench.panel.rdVersion = true;
        bench.panel.backupOnly = true;
        EXPECT_EQ(1, bench.Run(DiskFirmwareUpdate));
    }
    EXPECT_EQ(65536u, test::ReadWholeFile(bench.dir.File("oldFlash.bak")).size());
    ASSERT_EQ(1u, bench.panel.messages.size());
    EXPECT_EQ("Default backup firmware as OldFalsh.bak!", bench.panel.messages[0].text);
}

TEST(DiskFirmwareUpdate, AFileMustFitBetweenTheAreaStartAndTheFirmwareAddress) {
    // The fresh area holds 257 blocks of 512 bytes: two 64 KiB blocks fit, three do not.
    SimBench fits("bridge:kind=14");
    fits.UseFile(Pattern(2 * k64K));
    EXPECT_EQ(1, fits.Run(DiskFirmwareUpdate));

    SimBench tooLong("bridge:kind=14");
    const Area tooLongArea = AreaOf(tooLong);
    const Bytes before = tooLong.Disk(tooLongArea.start, 3 * k64K);
    tooLong.UseFile(Pattern(2 * k64K + 1));
    EXPECT_EQ(0, tooLong.Run(DiskFirmwareUpdate));
    EXPECT_EQ("Firmware file is bigger than HDD firmware area!!", tooLong.panel.status);
    EXPECT_FALSE(tooLong.DiskWritten());
    EXPECT_EQ(before, tooLong.Disk(tooLongArea.start, 3 * k64K));
}

struct FailureCase {
    const char* what;
    const char* description;
    sim::FaultRule fault;
    enum { Program, Erase, Backup } mode;
    const char* text;
    bool diskUntouched;
};

TEST(DiskFirmwareUpdate, EveryFailureEndsWithItsTextAndNoSuccess) {
    using sim::FaultKind;
    const FailureCase cases[] = {
        {"block write", "bridge:kind=14", {"", {0x2A}, 0, FaultKind::CheckCondition}, FailureCase::Program,
         "Write Data To HDD FAIL!!", true},
        {"block read-back", "bridge:kind=14", {"", {0x28}, 3, FaultKind::Transport}, FailureCase::Program,
         "Read Data From HDD FAIL!!", false},
        {"block differs", "bridge:kind=14", {"", {0x2A}, 0, FaultKind::ShortTransfer, 5, 0x20, 0, {}, 1000},
         FailureCase::Program, "Compare Data in HDD FAIL!!", false},
        {"16-byte write", "bridge:kind=14,disk=3T", {"", {0x8A}, 0, FaultKind::CheckCondition},
         FailureCase::Program, "Write Data SCSI16 To HDD FAIL!!", true},
        {"16-byte read-back", "bridge:kind=14,disk=3T", {"", {0x88}, 3, FaultKind::CheckCondition},
         FailureCase::Program, "Read Data SCSI16 From HDD FAIL!!", false},
        {"capacity unknown", "bridge:kind=14", {"", {0x25}, 0, FaultKind::CheckCondition}, FailureCase::Program,
         kAreaNotFoundText, true},
        {"capacity unknown, erase", "bridge:kind=14", {"", {0x25}, 0, FaultKind::Transport}, FailureCase::Erase,
         kAreaNotFoundText, true},
        {"erase write", "bridge:kind=14", {"", {0x2A}, 0, FaultKind::CheckCondition}, FailureCase::Erase,
         "Write Data To HDD FAIL!!", true},
        {"erase read-back", "bridge:kind=14", {"", {0x28}, 4, FaultKind::CheckCondition}, FailureCase::Erase,
         "Read Data From HDD FAIL!!", false},
        {"erase signature read", "bridge:kind=14", {"", {0x28}, 3, FaultKind::CheckCondition}, FailureCase::Erase,
         "Read Data From HDD FAIL!!", true},
        {"erase does not take", "bridge:kind=14", {"", {0x2A}, 0, FaultKind::ShortTransfer, 5, 0x20, 0, {}, 0},
         FailureCase::Erase, "Compare data in HDD fail!!", false},
        {"backup read", "bridge:kind=14", {"", {0x28}, 3, FaultKind::CheckCondition}, FailureCase::Backup,
         "Read Back to Backup Error!!", true},
    };
    // The area's geometry is asked twice (it must read the same both times),
    // so the block reads of the run itself start with the third READ.
    for (const FailureCase& c : cases) {
        SCOPED_TRACE(c.what);
        SimBench bench(c.description);
        const Area area = AreaOf(bench);
        FillArea(bench, area, Pattern(2 * k64K, 9));
        const Bytes before = bench.Disk(area.start, 2 * k64K);
        bench.UseFile(Pattern(100000));
        bench.panel.rdVersion = c.mode != FailureCase::Program;
        bench.panel.eraseOnly = c.mode == FailureCase::Erase;
        bench.panel.backupOnly = c.mode == FailureCase::Backup;
        bench.panel.backupFile = bench.dir.File("backup.bin");
        bench.host.AddFault(c.fault);
        EXPECT_EQ(0, bench.Run(DiskFirmwareUpdate));
        EXPECT_EQ(c.text, bench.panel.status);
        EXPECT_TRUE(bench.panel.messages.empty()) << "no power-cycle message after a failure";
        for (const char* success : {"Programming Success!!", "Erase all data in HDD success!!",
                                    "Read flash and backup success!"}) {
            EXPECT_FALSE(bench.Shown(success));
        }
        if (c.diskUntouched) {
            EXPECT_EQ(before, bench.Disk(area.start, 2 * k64K));
        }
        EXPECT_FALSE(std::filesystem::exists(bench.panel.backupFile)) << "no backup file from a failed run";
    }
}

TEST(DiskFirmwareUpdate, FileAndBackupFileFailures) {
    SimBench bench("bridge:kind=14");
    bench.panel.firmwareFile = bench.dir.File("missing.bin");
    EXPECT_EQ(0, bench.Run(DiskFirmwareUpdate));
    EXPECT_EQ("Open File Error!!", bench.panel.status);

    bench.panel.firmwareFile = bench.dir.Write("empty.bin", {});
    EXPECT_EQ(0, bench.Run(DiskFirmwareUpdate));
    EXPECT_EQ("Firmware file size error!!", bench.panel.status);
    EXPECT_FALSE(bench.DiskWritten());

    bench.panel.rdVersion = true;
    bench.panel.backupOnly = true;
    bench.panel.backupFile = bench.dir.File("no/such/folder/backup.bin");
    bench.panel.statusHistory.clear();
    EXPECT_EQ(0, bench.Run(DiskFirmwareUpdate));
    EXPECT_EQ((std::vector<std::string>{"Backup ...", "Open Backup File Error!!", "Read Back to Backup Error!!"}),
              bench.panel.statusHistory);
}

}  // namespace
}  // namespace v62x
