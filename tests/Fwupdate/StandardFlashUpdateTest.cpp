#include "Fwupdate/StandardFlashUpdate.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "support/SimBench.h"

namespace v62x {
namespace {

namespace fs = std::filesystem;
using test::Bytes;
using test::Pattern;
using test::ReadWholeFile;
using test::SimBench;
using test::Slice;

constexpr const char* kSuccessText = "Programming Success!!";
constexpr const char* kClosingText = "Please Turn-Off the Power and Turn-On Again !";

// Address and length of each flash block command with sub-command `sub`.
std::vector<std::pair<std::uint32_t, std::uint32_t>> Commands(const SimBench& bench, std::uint8_t sub) {
    std::vector<std::pair<std::uint32_t, std::uint32_t>> out;
    for (const sim::LogEntry& e : bench.Blocks(sub)) out.emplace_back(test::BlockAddress(e), e.length);
    return out;
}
std::vector<std::uint32_t> Addresses(const SimBench& bench, std::uint8_t sub) { return test::Addresses(bench.Blocks(sub)); }

// A failed run: no success text, no closing message of any kind.
void ExpectNoSuccess(const SimBench& bench) {
    EXPECT_FALSE(bench.Shown(kSuccessText));
    EXPECT_FALSE(bench.Shown("Erase flash all success!"));
    EXPECT_FALSE(bench.Shown("Read flash and backup success!"));
    EXPECT_TRUE(bench.panel.messages.empty());
}

constexpr std::uint8_t kRead = 0x10;
constexpr std::uint8_t kWrite = 0x11;
constexpr std::uint8_t kChipErase = 0x13;
constexpr std::uint8_t kSectorErase = 0x14;

std::vector<std::uint8_t> At(std::uint8_t sub, std::uint32_t address) {
    return {0xFF, 0x04, sub, static_cast<std::uint8_t>(address >> 16), static_cast<std::uint8_t>(address >> 8),
            static_cast<std::uint8_t>(address)};
}

// The bridges the dispatcher sends here, each with a real flash part of at
// least 128 KiB.
struct Bridge {
    int kind;
    int revision;
    const char* part;
};
const Bridge kBridges[] = {
    {1, 1, "Pm25LV010"},  {3, 1, "M25P10A"},  {4, 1, "AT25FS010"}, {7, 1, "Pm25LV010"},
    {13, 2, "Pm25LV010"}, {15, 1, "W25X40"}, {15, 1, "MX25L1021E"},
};

std::string Name(const Bridge& b) { return "kind " + std::to_string(b.kind) + " with " + b.part; }

void ExpectSuccess(const SimBench& bench) {
    EXPECT_EQ(kSuccessText, bench.panel.status);
    bench.ExpectOnlyMessage(kClosingText);
}

TEST(StandardFlashUpdate, SmallImageKeepsTheNvramBlock) {
    for (const Bridge& b : kBridges) {
        SCOPED_TRACE(Name(b));
        SimBench bench(b.kind, b.revision, b.part);
        EXPECT_EQ(0, bench.state.id.SstSerialFlag) << "the dispatcher would not come here";
        const Bytes image = bench.UseFile(Pattern(20000));
        ASSERT_EQ(1, bench.Run(StandardFlashUpdate));
        ExpectSuccess(bench);
        EXPECT_EQ(image, bench.FlashRange(0, 20000));
        EXPECT_EQ(Bytes(12768, 0x00), bench.FlashRange(20000, 12768)) << "the padding is written";
        EXPECT_EQ(Slice(bench.before, 0x8000, 512), bench.FlashRange(0x8000, 512)) << "NVRAM kept";
        using Command = std::pair<std::uint32_t, std::uint32_t>;
        EXPECT_EQ((std::vector<Command>{{0x0000, 8192}, {0x2000, 8192}, {0x4000, 8192}, {0x6000, 8192},
                                        {0x8000, 512}}),
                  Commands(bench, kWrite));
        EXPECT_EQ((std::vector<std::uint32_t>{0x0000}), Addresses(bench, kSectorErase));
        EXPECT_TRUE(Addresses(bench, kChipErase).empty());
        EXPECT_TRUE(bench.Traced("NVRAM O.K.\n"));
        EXPECT_TRUE(bench.Traced("write NVRAM O.K.\n"));
        const std::vector<std::string> dots = {".", "..", "...", "...."};
        EXPECT_TRUE(std::search(bench.panel.statusHistory.begin(), bench.panel.statusHistory.end(), dots.begin(),
                                dots.end()) != bench.panel.statusHistory.end());
    }
}

TEST(StandardFlashUpdate, ImageAbove32KiBErasesBothHalvesAndSkipsTheNvram) {
    for (const Bridge& b : kBridges) {
        SCOPED_TRACE(Name(b));
        SimBench bench(b.kind, b.revision, b.part);
        const Bytes image = bench.UseFile(Pattern(40000));
        ASSERT_EQ(1, bench.Run(StandardFlashUpdate));
        ExpectSuccess(bench);
        EXPECT_EQ(image, bench.FlashRange(0, 40000));
        EXPECT_EQ(Bytes(960, 0x00), bench.FlashRange(40000, 960));
        EXPECT_EQ((std::vector<std::uint32_t>{0x0000, 0x8000}), Addresses(bench, kSectorErase));
        EXPECT_EQ((std::vector<std::uint32_t>{0x0000, 0x2000, 0x4000, 0x6000, 0x8000}), Addresses(bench, kWrite));
        EXPECT_FALSE(bench.Traced("write NVRAM O.K.\n"));
    }
}

TEST(StandardFlashUpdate, LargeImageIsChipErased) {
    for (const Bridge& b : kBridges) {
        SCOPED_TRACE(Name(b));
        SimBench bench(b.kind, b.revision, b.part);
        const Bytes image = bench.UseFile(Pattern(100000));
        ASSERT_EQ(1, bench.Run(StandardFlashUpdate));
        ExpectSuccess(bench);
        EXPECT_EQ(image, bench.FlashRange(0, 100000));
        EXPECT_EQ(Bytes(6496, 0x00), bench.FlashRange(100000, 6496)) << "padded to 106,496 bytes";
        EXPECT_EQ(13u, Addresses(bench, kWrite).size());
        EXPECT_EQ(1u, Addresses(bench, kChipErase).size());
        EXPECT_TRUE(Addresses(bench, kSectorErase).empty());
        EXPECT_FALSE(bench.Traced("NVRAM O.K.\n"));
        EXPECT_FALSE(bench.Traced("NVRAM fail\n"));
        // The padded size read twice (blank check, compare), each time in
        // pieces that the USB storage driver passes.
        const std::vector<std::pair<std::uint32_t, std::uint32_t>> pieces = {
            {0u, 65536u}, {65536u, 40960u}, {0u, 65536u}, {65536u, 40960u}};
        EXPECT_EQ(pieces, Commands(bench, kRead));
    }
}

TEST(StandardFlashUpdate, ImagesOfMoreThan255BlocksAreWrittenWhole) {
    // 2 KiB blocks: 600,000 bytes are 293 blocks, past an 8-bit count.
    SimBench bench(15, 1, "MX25L8005");
    bench.state.flash.ProgramChunk = 2048;
    const Bytes image = bench.UseFile(Pattern(600000));
    ASSERT_EQ(1, bench.Run(StandardFlashUpdate));
    ExpectSuccess(bench);
    EXPECT_EQ(293u, Addresses(bench, kWrite).size());
    EXPECT_EQ(image, bench.FlashRange(0, 600000));
    EXPECT_EQ(Bytes(64, 0x00), bench.FlashRange(600000, 64));
}

TEST(StandardFlashUpdate, SlowChipEraseWarnsAndGoesOn) {
    // The M25P80 erases the chip in 8 s, longer than the ready wait after it.
    SimBench bench(3, 1, "M25P80");
    const Bytes image = bench.UseFile(Pattern(100000));
    ASSERT_EQ(1, bench.Run(StandardFlashUpdate));
    ExpectSuccess(bench);
    EXPECT_EQ("Not ready after Erase flash success", bench.panel.statusHistory.front());
    EXPECT_TRUE(bench.Shown("Not ready after Erase flash success."))
        << "the dots follow what the status shows";
    EXPECT_EQ(image, bench.FlashRange(0, 100000));
}

TEST(StandardFlashUpdate, EraseOnly) {
    for (const Bridge& b : kBridges) {
        SCOPED_TRACE(Name(b));
        SimBench bench(b.kind, b.revision, b.part);
        bench.panel.rdVersion = true;
        bench.panel.eraseOnly = true;
        bench.state.id.EraseOnlyFlag = 1;
        bench.UseFile(Pattern(20000));
        ASSERT_EQ(1, bench.Run(StandardFlashUpdate));
        EXPECT_EQ(Bytes(65536, 0xFF), bench.FlashRange(0, 65536));
        EXPECT_EQ("Erase flash all success!", bench.panel.status);
        bench.ExpectOnlyMessage(kPowerCycleText);
        EXPECT_EQ("Please Turn-Off the Power and Turn-On Again!", std::string(kPowerCycleText));
        EXPECT_TRUE(Addresses(bench, kWrite).empty());
    }
}

TEST(StandardFlashUpdate, BackupOnly) {
    for (const Bridge& b : kBridges) {
        SCOPED_TRACE(Name(b));
        SimBench bench(b.kind, b.revision, b.part);
        bench.panel.rdVersion = true;
        bench.panel.backupOnly = true;
        bench.panel.backupFile = bench.dir.File("old.bin");
        bench.UseFile(Pattern(20000));
        ASSERT_EQ(1, bench.Run(StandardFlashUpdate));
        EXPECT_EQ(Slice(bench.before, 0, 65536), ReadWholeFile(bench.panel.backupFile));
        EXPECT_EQ(bench.before, bench.Flash()) << "the flash is untouched";
        EXPECT_EQ("Read flash and backup success!", bench.panel.status);
        EXPECT_TRUE(bench.panel.messages.empty());
    }
}

TEST(StandardFlashUpdate, OptionsCountOnlyInTheRdVersion) {
    SimBench bench(1, 1, "Pm25LV010");
    bench.panel.eraseOnly = true;
    bench.panel.backupOnly = true;
    bench.state.id.EraseOnlyFlag = 1;
    bench.panel.backupFile = bench.dir.File("old.bin");
    const Bytes image = bench.UseFile(Pattern(20000));
    ASSERT_EQ(1, bench.Run(StandardFlashUpdate));
    ExpectSuccess(bench);
    EXPECT_EQ(image, bench.FlashRange(0, 20000));
    EXPECT_FALSE(fs::exists(bench.panel.backupFile));
}

TEST(StandardFlashUpdate, EraseOnlyWinsOverBackupOnly) {
    SimBench bench(1, 1, "Pm25LV010");
    bench.panel.rdVersion = true;
    bench.panel.backupOnly = true;
    bench.state.id.EraseOnlyFlag = 1;
    bench.panel.backupFile = bench.dir.File("old.bin");
    ASSERT_EQ(1, bench.Run(StandardFlashUpdate));
    EXPECT_EQ("Erase flash all success!", bench.panel.status);
    EXPECT_FALSE(fs::exists(bench.panel.backupFile));
}

TEST(StandardFlashUpdate, AmicSectorLayout) {
    struct Case {
        int probe;
        std::size_t length;
        std::vector<std::uint32_t> erased;
    };
    const Case cases[] = {
        {1, 20000, {0x0000, 0x1000, 0x3000, 0x7000}},
        {3, 40000, {0x0000, 0x1000, 0x3000, 0x7000, 0xF000}},
        {5, 32768, {0x0000, 0x1000, 0x3000, 0x7000}},
        {4, 40000, {0x0000, 0x8000}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("AMIC probe " + std::to_string(c.probe) + ", " + std::to_string(c.length) + " bytes");
        SimBench bench(1, 1, "Pm25LV010");
        // No AMIC part of the simulator answers these probes; the layout is
        // what the procedure decides from the probe alone.
        bench.state.id.AmicProbe = c.probe;
        const Bytes image = bench.UseFile(Pattern(c.length));
        ASSERT_EQ(1, bench.Run(StandardFlashUpdate));
        ExpectSuccess(bench);
        EXPECT_EQ(c.erased, Addresses(bench, kSectorErase));
        EXPECT_EQ(image, bench.FlashRange(0, c.length));
    }
}

// What stops a run before anything is erased: it fails with its own text
// and leaves the flash as it was.
TEST(StandardFlashUpdate, StopsBeforeAnyErase) {
    struct Case {
        const char* what;
        int kind;
        const char* part;
        std::function<void(SimBench&)> arrange;
        const char* status;
        bool nvramRead;  // the NVRAM block was read first
    };
    const Case cases[] = {
        {"unsupported AMIC flash", 1, "Pm25LV010", [](SimBench& b) { b.state.id.AmicProbe = 2; },
         "Not Support this AMIC Flash Type!!", true},
        {"ATMEL latch that never sets", 4, "AT25FS010",
         [](SimBench& b) {
             EXPECT_NE(-1, b.state.id.AtmelProbe);
             b.device->serialFlash()->SetWriteEnableNeverSets(true);
         },
         "Enable ATMEL flash write enable fail!!", false},
        {"an empty file", 1, "Pm25LV010", [](SimBench& b) { b.UseFile({}); }, "Firmware file size error!!", false},
        {"a directory", 1, "Pm25LV010", [](SimBench& b) { b.panel.firmwareFile = b.dir.File(""); },
         "Open File Error!!", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SimBench bench(c.kind, 1, c.part);
        bench.UseFile(Pattern(20000));
        c.arrange(bench);
        EXPECT_EQ(0, bench.Run(StandardFlashUpdate));
        EXPECT_EQ(c.status, bench.panel.status);
        if (c.nvramRead) {
            using Command = std::pair<std::uint32_t, std::uint32_t>;
            EXPECT_EQ((std::vector<Command>{{0x8000, 512}}), Commands(bench, kRead)) << "the NVRAM block was read";
        }
        EXPECT_TRUE(Addresses(bench, kSectorErase).empty());
        EXPECT_TRUE(Addresses(bench, kChipErase).empty());
        EXPECT_EQ(bench.before, bench.Flash());
        ExpectNoSuccess(bench);
    }
}

TEST(StandardFlashUpdate, NvramSaveThatFailsIsOnlyTraced) {
    SimBench bench(15, 1, "W25X40");  // its 64 KiB erase takes the NVRAM block with it
    bench.Fail(At(kRead, 0x8000), 1);
    const Bytes image = bench.UseFile(Pattern(20000));
    ASSERT_EQ(1, bench.Run(StandardFlashUpdate));
    ExpectSuccess(bench);
    EXPECT_TRUE(bench.Traced("NVRAM fail\n"));
    EXPECT_FALSE(bench.Traced("write NVRAM O.K.\n"));
    EXPECT_EQ(4u, Addresses(bench, kWrite).size());
    EXPECT_EQ(image, bench.FlashRange(0, 20000));
}

TEST(StandardFlashUpdate, NvramWrittenBackAfterAFailedBlockWrite) {
    SimBench bench(15, 1, "W25X40");
    bench.Fail({0xFF, 0x04, kWrite}, 2);
    bench.UseFile(Pattern(20000));
    EXPECT_EQ(0, bench.Run(StandardFlashUpdate));
    EXPECT_EQ("Programming Fail!!", bench.panel.status);
    EXPECT_TRUE(bench.Shown("."));
    EXPECT_FALSE(bench.Shown(".."));
    EXPECT_EQ(Slice(bench.before, 0x8000, 512), bench.FlashRange(0x8000, 512));
    ExpectNoSuccess(bench);
}

// Every failure ends with its own text, returns failure and shows neither a
// success text nor the closing message.
TEST(StandardFlashUpdate, Failures) {
    struct Case {
        const char* what;
        std::size_t length;        // 0: no file at all
        std::vector<std::uint8_t> failing;
        int nth;
        sim::FaultKind kind;
        int stuckAddress;          // -1: none
        bool stuckValue;
        const char* status;
    };
    using K = sim::FaultKind;
    const Case cases[] = {
        {"no firmware file", 0, {}, 0, K::Transport, -1, false, "Open File Error!!"},
        {"chip erase fails", 100000, {0xFF, 0x04, kChipErase}, 0, K::CheckCondition, -1, false,
         "Erase command fail!!"},
        {"erase at 0 fails", 20000, At(kSectorErase, 0), 0, K::CheckCondition, -1, false, "Erase command fail!!"},
        {"erase at 0x8000 fails", 40000, At(kSectorErase, 0x8000), 0, K::CheckCondition, -1, false,
         "Erase command fail!!"},
        {"blank check read fails", 20000, At(kRead, 0), 1, K::CheckCondition, -1, false,
         "Read Back Erased Flash Error!!"},
        {"blank check read arrives short", 40000, At(kRead, 0), 1, K::ShortTransfer, -1, false,
         "Read Back Erased Flash Error!!"},
        {"a byte stays programmed", 20000, {}, 0, K::Transport, 0x4321, false, "Data not 0xff !!"},
        {"a block write fails", 100000, {0xFF, 0x04, kWrite}, 7, K::CheckCondition, -1, false,
         "Programming Fail!!"},
        {"the NVRAM write-back fails", 20000, At(kWrite, 0x8000), 0, K::CheckCondition, -1, false,
         "Programming Fail!!"},
        {"the final read fails", 40000, At(kRead, 0), 2, K::CheckCondition, -1, false, "Read Fail!!\r\n"},
        {"the final read arrives short", 100000, At(kRead, 0), 2, K::ShortTransfer, -1, false,
         "Read Fail!!\r\n"},
        {"a bit will not program", 20000, {}, 0, K::Transport, 0x1234, true, "Compare Fail!!\r\n\r\n"},
        {"a block write arrives short", 40000, At(kWrite, 0x2000), 0, K::ShortTransfer, -1, false,
         "Compare Fail!!\r\n\r\n"},
        {"the NVRAM write-back arrives short", 20000, At(kWrite, 0x8000), 0, K::ShortTransfer, -1, false,
         "Compare Fail!!\r\n\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SimBench bench(15, 1, "W25X40");
        if (c.length > 0) {
            bench.UseFile(Pattern(c.length));
        } else {
            bench.panel.firmwareFile = bench.dir.File("absent.bin");
        }
        if (!c.failing.empty()) {
            bench.Fail(c.failing, c.nth, c.kind, 16);
        }
        if (c.stuckAddress >= 0) {
            // Stuck at 1: a bit the image has clear.
            const int bit = c.stuckValue ? test::ClearBit(Pattern(c.length)[static_cast<std::size_t>(c.stuckAddress)]) : 7;
            bench.device->serialFlash()->AddStuckBit(static_cast<std::uint32_t>(c.stuckAddress), bit, c.stuckValue);
        }
        EXPECT_EQ(0, bench.Run(StandardFlashUpdate));
        EXPECT_EQ(c.status, bench.panel.status);
        ExpectNoSuccess(bench);
    }
}

TEST(StandardFlashUpdate, NeverReadyFlashFails) {
    struct Case {
        const char* what;
        bool rd, eraseOnly, backupOnly;
        const char* status;
    };
    const Case cases[] = {
        {"program", false, false, false, "Erase command fail!!"},
        {"erase only", true, true, false, "Erase command fail!!"},
        {"backup only", true, false, true, "Read Back to Backup Error!!"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SimBench bench(1, 1, "Pm25LV010");
        bench.device->serialFlash()->SetNeverReady(true);
        bench.panel.rdVersion = c.rd;
        bench.state.id.EraseOnlyFlag = c.eraseOnly ? 1 : 0;
        bench.panel.backupOnly = c.backupOnly;
        bench.panel.backupFile = bench.dir.File("old.bin");
        bench.UseFile(Pattern(20000));
        EXPECT_EQ(0, bench.Run(StandardFlashUpdate));
        EXPECT_EQ(c.status, bench.panel.status);
        ExpectNoSuccess(bench);
        EXPECT_FALSE(fs::exists(bench.panel.backupFile));
    }
}

TEST(StandardFlashUpdate, OptionRunsThatFailEndWithoutTheClosingMessage) {
    {
        SCOPED_TRACE("erase only, one byte stays 0x7F");
        SimBench bench(7, 1, "Pm25LV010");
        bench.device->serialFlash()->AddStuckBit(0x100, 7, false);
        bench.panel.rdVersion = true;
        bench.state.id.EraseOnlyFlag = 1;
        EXPECT_EQ(0, bench.Run(StandardFlashUpdate));
        EXPECT_EQ("Data not 0xff !!", bench.panel.status);
        ExpectNoSuccess(bench);
    }
    {
        SCOPED_TRACE("backup only, the read fails");
        SimBench bench(13, 2, "Pm25LV010");
        bench.Fail({0xFF, 0x04, kRead}, 0);
        bench.panel.rdVersion = true;
        bench.panel.backupOnly = true;
        bench.panel.backupFile = bench.dir.File("old.bin");
        EXPECT_EQ(0, bench.Run(StandardFlashUpdate));
        EXPECT_EQ("Read Back to Backup Error!!", bench.panel.status);
        ExpectNoSuccess(bench);
    }
}

}  // namespace
}  // namespace v62x
