#include "Fwupdate/ProcedureHelpers.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/SimBench.h"

namespace v62x {
namespace {

namespace fs = std::filesystem;
using test::Bytes;
using test::ReadWholeFile;
using test::SimBench;

std::vector<std::uint32_t> Addresses(const SimBench& bench, std::uint8_t sub) { return test::Addresses(bench.Blocks(sub)); }

constexpr std::uint8_t kRead = 0x10;
constexpr std::uint8_t kChipErase = 0x13;
constexpr std::uint8_t kSectorErase = 0x14;

// ---- FirmwareCrc32

TEST(FirmwareCrc32, KnownValues) {
    struct Row {
        const char* data;
        bool bigEndian;
        std::uint32_t crc;
    };
    const Row rows[] = {
        {"", true, 0x52325032},         {"", false, 0x52325032},
        {"abc", true, 0x52325032},      {"abc", false, 0x52325032},
        {"1234", true, 0x52052CC1},     {"1234", false, 0x3699FC43},
        {"12345", true, 0x52052CC1},    {"12345", false, 0x3699FC43},
        {"1234567", true, 0x52052CC1},  {"1234567", false, 0x3699FC43},
    };
    for (const Row& r : rows) {
        std::uint32_t crc = 0;
        EXPECT_EQ(1, FirmwareCrc32(reinterpret_cast<const std::uint8_t*>(r.data), std::strlen(r.data),
                                   r.bigEndian, crc));
        EXPECT_EQ(r.crc, crc) << '"' << r.data << "\" big-endian " << r.bigEndian;
    }
}

TEST(FirmwareCrc32, EachWordFeedsTheNext) {
    // Two words: the second starts from the first one's state, and the byte
    // order of each word matters.
    const std::uint8_t data[8] = {'1', '2', '3', '4', '1', '2', '3', '4'};
    std::uint32_t one = 0, two = 0, swapped = 0;
    FirmwareCrc32(data, 4, true, one);
    FirmwareCrc32(data, 8, true, two);
    FirmwareCrc32(data, 8, false, swapped);
    EXPECT_NE(one, two);
    EXPECT_NE(two, swapped);
    EXPECT_NE(0x52325032u, two);
}

// ---- ReadFlashRange

TEST(ReadFlashRange, LengthOffTheBlockGrainReadsWholeBlocksAndFillsOnlyTheBuffer) {
    SimBench bench(1, 1, "Pm25LV512");
    ProcedureContext ctx = bench.Context();
    // 20 KiB asked for, followed by guard bytes: three whole 8 KiB blocks
    // read straight into the buffer would run 4 KiB into them.
    constexpr std::size_t kAsked = 20 * 1024;
    Bytes buffer(kAsked + 8192, 0xEE);
    ASSERT_EQ(1, ReadFlashRange(ctx, 0x2000, buffer.data(), kAsked));
    EXPECT_EQ(bench.FlashRange(0x2000, kAsked), Bytes(buffer.begin(), buffer.begin() + kAsked));
    EXPECT_EQ(Bytes(8192, 0xEE), Bytes(buffer.begin() + kAsked, buffer.end())) << "nothing past the length";
    EXPECT_EQ(std::string("ReadFlash...") + "...", bench.panel.status) << "a dot per block";
    EXPECT_EQ((std::vector<std::uint32_t>{0x2000, 0x4000, 0x6000}), Addresses(bench, kRead));
    EXPECT_EQ((std::vector<std::uint32_t>{8192, 8192, 8192}), test::Lengths(bench.Blocks(kRead)));
}

TEST(ReadFlashRange, BlockSizeFollowsTheSetting) {
    SimBench bench(1, 1, "Pm25LV512");
    bench.state.flash.ProgramChunk = 2048;
    ProcedureContext ctx = bench.Context();
    Bytes buffer(8192);
    ASSERT_EQ(1, ReadFlashRange(ctx, 0, buffer.data(), 8192));
    EXPECT_EQ(bench.FlashRange(0, 8192), buffer);
    EXPECT_EQ(std::string("ReadFlash...") + "....", bench.panel.status);
    EXPECT_EQ(4u, Addresses(bench, kRead).size());
}

TEST(ReadFlashRange, Failures) {
    struct Case {
        const char* what;
        std::uint32_t length;
        std::vector<std::uint8_t> failing;  // CDB prefix that fails
        int nth;
        sim::FaultKind kind;
        bool neverReady;
        std::size_t reads;  // read commands sent
        const char* status;
    };
    const Case cases[] = {
        {"nothing to read", 0, {}, 0, sim::FaultKind::Transport, false, 0, "ReadFlash..."},
        {"the second block fails", 24576, {0xFF, 0x04, kRead}, 2, sim::FaultKind::CheckCondition, false, 2,
         "ReadFlash...."},
        {"the second block arrives short", 24576, {0xFF, 0x04, kRead}, 2, sim::FaultKind::ShortTransfer,
         false, 2, "ReadFlash...."},
        {"the flash never gets ready", 8192, {}, 0, sim::FaultKind::Transport, true, 0, "ReadFlash..."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SimBench bench(1, 1, "Pm25LV512");
        if (!c.failing.empty()) bench.Fail(c.failing, c.nth, c.kind);
        if (c.neverReady) bench.device->serialFlash()->SetNeverReady(true);
        ProcedureContext ctx = bench.Context();
        Bytes buffer(std::max<std::uint32_t>(c.length, 1));
        EXPECT_EQ(0, ReadFlashRange(ctx, 0, buffer.data(), c.length));
        EXPECT_EQ(c.reads, Addresses(bench, kRead).size());
        EXPECT_EQ(c.status, bench.panel.status);
        if (c.neverReady) {
            EXPECT_TRUE(bench.Traced("0.1 Device initial not ready!!"));
        }
    }
}

// ---- EraseFlashRange

TEST(EraseFlashRange, ErasesBlockByBlockFromAddressZero) {
    SimBench bench(1, 1, "Pm25LV010");
    ProcedureContext ctx = bench.Context();
    ASSERT_EQ(1, EraseFlashRange(ctx, 40000));
    EXPECT_EQ((std::vector<std::uint32_t>{0x0000, 0x2000, 0x4000, 0x6000, 0x8000}),
              Addresses(bench, kSectorErase));
    EXPECT_EQ(std::string("Erase...") + ".....", bench.panel.status);
    // The part erases 32 KiB per block command: two blocks cover the range.
    EXPECT_EQ(Bytes(0x10000, 0xFF), bench.FlashRange(0, 0x10000));
    EXPECT_EQ(bench.before[0x10000], bench.Flash()[0x10000]);
}

TEST(EraseFlashRange, Failures) {
    struct Case {
        const char* what;
        std::uint32_t length;
        int failing;         // the erase refused; 0: none
        std::size_t erases;  // erase commands sent
        const char* status;  // null: not checked
    };
    const Case cases[] = {
        {"stops at the first failed erase", 32768, 2, 2, "Erase...."},
        {"nothing to erase", 0, 0, 0, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SimBench bench(1, 1, "Pm25LV010");
        if (c.failing != 0) bench.Fail({0xFF, 0x04, kSectorErase}, c.failing);
        ProcedureContext ctx = bench.Context();
        EXPECT_EQ(0, EraseFlashRange(ctx, c.length));
        EXPECT_EQ(c.erases, Addresses(bench, kSectorErase).size());
        if (c.status != nullptr) {
            EXPECT_EQ(c.status, bench.panel.status);
        }
    }
}

// ---- EraseAllFlash

TEST(EraseAllFlash, ErasesTheSelectedSizeTheWayTheFlashNeeds) {
    struct Case {
        int kind;
        int revision;
        const char* part;
        bool chipErase;  // ATMEL flash or the VRB646 series
    };
    const Case cases[] = {
        {1, 1, "Pm25LV512", false}, {3, 1, "M25P10A", false}, {4, 1, "AT25FS010", true},
        {7, 1, "Pm25LV010", false}, {13, 2, "Pm25LV010", false}, {15, 1, "W25X40", false},
        {10, 1, "W25X40", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("kind ") + std::to_string(c.kind) + " " + c.part);
        SimBench bench(c.kind, c.revision, c.part);
        ProcedureContext ctx = bench.Context();
        ASSERT_EQ(1, EraseAllFlash(ctx));
        EXPECT_EQ(Bytes(65536, 0xFF), bench.FlashRange(0, 65536));
        EXPECT_EQ("Start Erase only!", bench.panel.statusHistory.front());
        EXPECT_EQ("Erase flash all success!", bench.panel.status);
        EXPECT_EQ(c.chipErase, !Addresses(bench, kChipErase).empty());
        EXPECT_EQ(c.chipErase, Addresses(bench, kSectorErase).empty());
        EXPECT_TRUE(bench.panel.messages.empty()) << "the caller shows the closing message";
    }
}

TEST(EraseAllFlash, Failures) {
    struct Case {
        const char* what;
        const char* part;
        std::vector<std::uint8_t> failing;
        int nth;
        sim::FaultKind kind;
        bool stuck7F;
        bool neverReady;
        const char* status;
    };
    const Case cases[] = {
        {"one byte stays 0x7F", "Pm25LV512", {}, 0, sim::FaultKind::Transport, true, false, "Data not 0xff !!"},
        {"a block erase fails", "Pm25LV512", {0xFF, 0x04, kSectorErase}, 3, sim::FaultKind::CheckCondition, false, false, "Erase command fail!!"},
        {"the blank check read fails", "Pm25LV512", {0xFF, 0x04, kRead}, 1, sim::FaultKind::CheckCondition, false, false,
         "Read Back Erased Flash Error!!"},
        {"the blank check read arrives short", "Pm25LV512", {0xFF, 0x04, kRead}, 1, sim::FaultKind::ShortTransfer, false, false,
         "Read Back Erased Flash Error!!"},
        {"the flash never gets ready", "Pm25LV512", {}, 0, sim::FaultKind::Transport, false, true, "Erase command fail!!"},
        {"ATMEL: chip erase fails, then a block erase", "AT25FS010", {0xFF, 0x04, kSectorErase}, 1,
         sim::FaultKind::CheckCondition, false,
         false, "Erase command fail!!"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SimBench bench(1, 1, c.part);
        if (std::string(c.part) == "AT25FS010") bench.Fail({0xFF, 0x04, kChipErase}, 0);
        if (!c.failing.empty()) bench.Fail(c.failing, c.nth, c.kind);
        if (c.stuck7F) bench.device->serialFlash()->AddStuckBit(0x1234, 7, false);
        if (c.neverReady) bench.device->serialFlash()->SetNeverReady(true);
        ProcedureContext ctx = bench.Context();
        EXPECT_EQ(0, EraseAllFlash(ctx));
        EXPECT_EQ(c.status, bench.panel.status);
        for (const std::string& s : bench.panel.statusHistory) EXPECT_NE("Erase flash all success!", s);
    }
}

// ---- BackupFlashImage

TEST(BackupFlashImage, DefaultNameWithItsMessageAndTheNvramBlockLeftOut) {
    test::ScratchDir dir{"v62x-helpers"};
    EXPECT_TRUE(dir.ok());
    test::InDirectory inside(dir.File(""));
    SimBench bench(1, 1, "Pm25LV512");
    ProcedureContext ctx = bench.Context();
    ASSERT_EQ(1, BackupFlashImage(ctx, 4096));
    ASSERT_EQ(1u, bench.panel.messages.size());
    EXPECT_EQ("Message", bench.panel.messages[0].title);
    EXPECT_EQ("Default backup firmware as OldFalsh.bak!", bench.panel.messages[0].text);
    const Bytes file = ReadWholeFile(dir.File("oldflash.bak"));
    EXPECT_EQ(61440u, file.size());
    EXPECT_EQ(bench.FlashRange(4096, 61440), file);
    EXPECT_EQ("Backup ...", bench.panel.statusHistory.front());
    EXPECT_EQ("Read flash and backup success!", bench.panel.status);
    EXPECT_EQ((std::vector<std::uint32_t>{0}), Addresses(bench, kRead)) << "one read of the whole size";
}

TEST(BackupFlashImage, NamedFileIsOverwrittenWithTheWholeFlash) {
    test::ScratchDir dir{"v62x-helpers"};
    EXPECT_TRUE(dir.ok());
    const fs::path name = dir.File("saved.bin");
    { std::ofstream(name, std::ios::binary) << std::string(100000, 'x'); }
    SimBench bench(3, 1, "M25P10A");
    bench.panel.backupFile = name.string();
    ProcedureContext ctx = bench.Context();
    ASSERT_EQ(1, BackupFlashImage(ctx, 0));
    EXPECT_TRUE(bench.panel.messages.empty());
    EXPECT_EQ(bench.FlashRange(0, 65536), ReadWholeFile(name)) << "FirmwareSize bytes from address 0";
    EXPECT_EQ("Read flash and backup success!", bench.panel.status);
}

TEST(BackupFlashImage, VrbSeriesReadsTheReportedFlashSizeBlockByBlock) {
    test::ScratchDir dir{"v62x-helpers"};
    EXPECT_TRUE(dir.ok());
    SimBench bench(10, 1, "W25X40");
    ASSERT_EQ(512, bench.state.id.FlashSizeKB);
    bench.panel.backupFile = dir.File("vrb.bak");
    ProcedureContext ctx = bench.Context();
    ASSERT_EQ(1, BackupFlashImage(ctx, 4096));
    EXPECT_EQ(bench.FlashRange(4096, 512 * 1024 - 4096), ReadWholeFile(bench.panel.backupFile));
    EXPECT_EQ(64u, Addresses(bench, kRead).size());
    EXPECT_NE(bench.panel.statusHistory.end(),
              std::find(bench.panel.statusHistory.begin(), bench.panel.statusHistory.end(), "ReadFlash..."));
}

TEST(BackupFlashImage, Failures) {
    struct Case {
        const char* what;
        const char* file;  // under the temporary directory; null: the system's full device
        sim::FaultKind kind;
        bool failRead;
        bool neverReady;
        std::int32_t firmwareSize;
        const char* status;
    };
    const Case cases[] = {
        {"the read fails", "a.bak", sim::FaultKind::CheckCondition, true, false, 65536,
         "Read Back to Backup Error!!"},
        {"the read arrives short", "a.bak", sim::FaultKind::ShortTransfer, true, false, 65536,
         "Read Back to Backup Error!!"},
        {"the flash never gets ready", "a.bak", sim::FaultKind::Transport, false, true, 65536,
         "Read Back to Backup Error!!"},
        {"the file cannot be created", "missing/a.bak", sim::FaultKind::Transport, false, false, 65536,
         "Open Backup File Error!!"},
        // A device node given as backup file is refused and left alone.
        {"the name is a device", nullptr, sim::FaultKind::Transport, false, false, 65536,
         "Open Backup File Error!!"},
        {"nothing left after the skip", "a.bak", sim::FaultKind::Transport, false, false, 4096,
         "Read Back to Backup Error!!"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        test::ScratchDir dir{"v62x-helpers"};
        EXPECT_TRUE(dir.ok());
        SimBench bench(1, 1, "Pm25LV512");
        if (c.file == nullptr && !fs::exists("/dev/full")) continue;
        bench.panel.backupFile = c.file != nullptr ? dir.File(c.file) : "/dev/full";
        bench.state.flash.FirmwareSize = c.firmwareSize;
        if (c.failRead) bench.Fail({0xFF, 0x04, kRead}, 0, c.kind);
        if (c.neverReady) bench.device->serialFlash()->SetNeverReady(true);
        ProcedureContext ctx = bench.Context();
        EXPECT_EQ(0, BackupFlashImage(ctx, 4096));
        EXPECT_EQ(c.status, bench.panel.status);
        for (const std::string& s : bench.panel.statusHistory) EXPECT_NE("Read flash and backup success!", s);
        if (c.file != nullptr) {
            EXPECT_FALSE(fs::exists(bench.panel.backupFile)) << "no backup file is created";
        } else {
            EXPECT_TRUE(fs::is_character_file("/dev/full")) << "the device stays";
        }
    }
}

}  // namespace
}  // namespace v62x
