// The flash update procedures for bridges with a 4 KiB NVRAM block at flash
// address 0, run end to end against simulated bridges with real flash parts:
// what ends up in the flash byte for byte, the status texts and messages,
// and that no injected failure loses the kept NVRAM or ends as a success.
#include "Fwupdate/NvramFlashUpdate.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "IDEAccess/IdentifyChip.h"
#include "support/SimBench.h"

namespace v62x {
namespace {

namespace fs = std::filesystem;
using test::Addresses;
using test::Bytes;
using test::Lengths;
using test::Pattern;
using test::ReadWholeFile;
using test::SimBench;
using test::Slice;

constexpr std::size_t kNvram = 4096;
constexpr std::size_t kBlock = 16384;
constexpr std::size_t kUnit = 32768;

constexpr std::uint8_t kRead = 0x10;
constexpr std::uint8_t kWrite = 0x11;
constexpr std::uint8_t kSectorErase = 0x14;
constexpr std::uint8_t kSerial = 0x20;
constexpr std::uint8_t kSerialData = 0x22;
constexpr std::uint8_t kPrepare = 0x25;

const std::string kSuccess = "Programming Success!!";

void Put(Bytes& image, std::size_t at, const Bytes& bytes) { std::copy(bytes.begin(), bytes.end(), image.begin() + static_cast<long>(at)); }

// A firmware image of `length` bytes without a leading NVRAM block: the tag
// block at 0 (kind 10: its E9 AC 67 block at 0x80 without the NVRAM mark).
Bytes PlainImage(std::size_t length, int kind) {
    Bytes image = Pattern(length);
    if (kind == 10) {
        if (length >= 0x88) Put(image, 0x80, {0xE9, 0xAC, 0x67, 0x31, '6', '4', '6', '1'});
    } else if (length >= 8) {
        Put(image, 0, {0x55, 0xAA, 0xAA, 0x55, '6', '4', '1', '0'});
    }
    return image;
}

// A firmware image of `length` bytes that carries the 4 KiB NVRAM block:
// the tag block at 0x1000 (kind 10: the marked E9 AC 67 32 block at 0x80).
Bytes NvramImage(std::size_t length, int kind) {
    Bytes image = Pattern(length);
    if (kind == 10) {
        Put(image, 0x80, {0xE9, 0xAC, 0x67, 0x32, '6', '4', '6', '1'});
    } else {
        const char* code = kind == 11 ? "751" : "641";
        Put(image, 0x1000, {0x55, 0xAA, 0xAA, 0x55, static_cast<std::uint8_t>(code[0]),
                            static_cast<std::uint8_t>(code[1]), static_cast<std::uint8_t>(code[2]), '0'});
    }
    return image;
}

// The bridge's NVRAM before the run, and the flash block commands of `sub`.
Bytes Nvram(const SimBench& bench) { return Slice(bench.before, 0, kNvram); }
std::vector<std::uint32_t> AddressesOf(const SimBench& bench, std::uint8_t sub) { return Addresses(bench.Blocks(sub)); }
std::vector<std::uint32_t> LengthsOf(const SimBench& bench, std::uint8_t sub) { return Lengths(bench.Blocks(sub)); }

// A run that ended in success: the success text last, and the message.
void ExpectSuccess(SimBench& bench, int result) {
    EXPECT_EQ(1, result);
    EXPECT_EQ(kSuccess, bench.panel.status);
    bench.ExpectOnlyMessage(kPowerCycleText);
}

// A run that failed: its text last, no success text ever, no power-cycle message.
void ExpectFailure(SimBench& bench, int result, const std::string& status) {
    EXPECT_EQ(0, result);
    EXPECT_EQ(status, bench.panel.status);
    EXPECT_FALSE(bench.Shown(kSuccess));
    EXPECT_FALSE(bench.MessageShown(kPowerCycleText));
}

// The flash after a run that programmed `image` from address 0: `image`
// followed by zeros up to `written`, erased (0xFF) up to `erased`.
void ExpectFlash(SimBench& bench, const Bytes& image, std::size_t written, std::size_t erased) {
    ASSERT_LE(image.size(), written);
    EXPECT_EQ(image, bench.FlashRange(0, image.size()));
    EXPECT_EQ(Bytes(written - image.size(), 0x00), bench.FlashRange(image.size(), written - image.size()))
        << "zeros after the image up to the end of the last written block";
    EXPECT_EQ(Bytes(erased - written, 0xFF), bench.FlashRange(written, erased - written));
}

// ---------------------------------------------------------------------------
// NvramKeepingFlashUpdate: programming

TEST(NvramKeepingUpdate, KeepsTheBridgeNvramInFrontOfAFileWithoutOne) {
    // 20,000 bytes without NVRAM: T = 32,768, one erase unit; block 0 is the
    // bridge's NVRAM and file bytes 0..12,287, block 1 file bytes
    // 12,288..19,999 then zeros; nothing is carried behind them.
    SimBench bench(6, 1, "Pm25LV512");
    const Bytes file = PlainImage(20000, 6);
    bench.UseFile(file);
    ExpectSuccess(bench, bench.Run(NvramKeepingFlashUpdate));

    EXPECT_EQ(0, bench.state.id.NvramInImage);
    Bytes image = Nvram(bench);
    image.insert(image.end(), file.begin(), file.end());
    ExpectFlash(bench, image, 2 * kBlock, kUnit);
    EXPECT_EQ(Slice(bench.before, kUnit, kUnit), bench.FlashRange(kUnit, kUnit)) << "the second unit is not erased";

    EXPECT_EQ((std::vector<std::uint32_t>{0}), AddressesOf(bench, kSectorErase));
    EXPECT_EQ((std::vector<std::uint32_t>{0, 16384}), AddressesOf(bench, kWrite));
    EXPECT_EQ((std::vector<std::uint32_t>{16384, 16384}), LengthsOf(bench, kWrite));
    EXPECT_EQ((std::vector<std::string>{"Erasing", "Programming", kSuccess}), bench.panel.statusHistory);
    // The status field is redrawn; window events are not processed.
    EXPECT_GT(bench.panel.statusRepaints, 0);
    EXPECT_EQ(0, bench.panel.pendingEventCalls);
}

TEST(NvramKeepingUpdate, CarriesTheLastFourKilobytesBehindTheLastBlock) {
    // 30,000 bytes without NVRAM: T = 49,152, two erase units; two blocks,
    // then the carried 4,096 bytes (file bytes 28,672..29,999 and zeros) at 32,768.
    SimBench bench(6, 1, "Pm25LV010");
    const Bytes file = PlainImage(30000, 6);
    bench.UseFile(file);
    ExpectSuccess(bench, bench.Run(NvramKeepingFlashUpdate));

    Bytes image = Nvram(bench);
    image.insert(image.end(), file.begin(), file.end());
    ExpectFlash(bench, image, 2 * kBlock + kNvram, 2 * kUnit);
    Bytes carried = Slice(file, 28672, 30000 - 28672);
    carried.resize(kNvram, 0x00);
    EXPECT_EQ(carried, bench.FlashRange(32768, kNvram));
    EXPECT_EQ(Slice(bench.before, 2 * kUnit, 2 * kUnit), bench.FlashRange(2 * kUnit, 2 * kUnit));

    EXPECT_EQ((std::vector<std::uint32_t>{0, 32768}), AddressesOf(bench, kSectorErase));
    EXPECT_EQ((std::vector<std::uint32_t>{0, 16384, 32768}), AddressesOf(bench, kWrite));
    EXPECT_EQ((std::vector<std::uint32_t>{16384, 16384, 4096}), LengthsOf(bench, kWrite));
}

TEST(NvramKeepingUpdate, EveryFileLengthLandsWhole) {
    // Lengths round the block, carry and unit boundaries: every file byte
    // lands at its place behind the NVRAM block, zeros follow up to a 4 KiB
    // boundary, and the rest of the erased units stays 0xFF.
    struct Case {
        const char* what;
        bool nvramInFile;
        bool includeNvram;
    };
    const Case modes[] = {
        {"file without NVRAM, bridge NVRAM in front", false, false},
        {"file with NVRAM, bridge NVRAM in its place", true, false},
        {"file with NVRAM, written as it is", true, true},
    };
    const std::size_t lengths[] = {1,     4097,  12287, 12288, 12289, 16383, 16384, 16385, 20480, 28671,
                                   28672, 28673, 32767, 32768, 32769, 45056, 49151, 49152, 49153};
    for (const Case& mode : modes) {
        for (std::size_t length : lengths) {
            if (mode.nvramInFile && length < 0x1000 + 10) continue;  // too short to carry the block
            SCOPED_TRACE(std::string(mode.what) + ", " + std::to_string(length) + " bytes");
            SimBench bench(6, 1, "Pm25LV010");
            const Bytes file = mode.nvramInFile ? NvramImage(length, 6) : PlainImage(length, 6);
            bench.UseFile(file);
            bench.panel.includeNvram = mode.includeNvram;
            ExpectSuccess(bench, bench.Run(NvramKeepingFlashUpdate));

            Bytes image;
            if (mode.includeNvram) {
                image = file;
            } else {
                image = Nvram(bench);
                image.insert(image.end(), file.begin() + (mode.nvramInFile ? kNvram : 0), file.end());
            }
            const Bytes& flash = bench.Flash();
            ASSERT_EQ(image, Slice(flash, 0, image.size()));
            std::size_t end = image.size();
            while (end < flash.size() && flash[end] == 0x00) ++end;
            EXPECT_EQ(0u, end % kNvram) << "zeros end at " << end;
            EXPECT_LE(end - image.size(), kBlock);
            std::size_t erasedEnd = end;
            while (erasedEnd < flash.size() && flash[erasedEnd] == 0xFF) ++erasedEnd;
            EXPECT_EQ(0u, erasedEnd % kUnit) << "erased up to " << erasedEnd;
            EXPECT_LT(erasedEnd - end, kUnit);
            EXPECT_EQ(Slice(bench.before, erasedEnd, flash.size() - erasedEnd),
                      Slice(flash, erasedEnd, flash.size() - erasedEnd));
        }
    }
}

TEST(NvramKeepingUpdate, FileNvramWrittenAsItIsWhenIncluded) {
    // Kind 10 (a WINBOND flash, not SST): a file carrying NVRAM with
    // "Include 4K NVRAM" ticked is written exactly, zero-padded to 16 KiB
    // blocks; the bridge's NVRAM is not read.
    SimBench bench(10, 1, "W25X40");
    ASSERT_NE(2, bench.state.id.FlashTypeCode);
    const Bytes file = NvramImage(40000, 10);
    bench.UseFile(file);
    bench.panel.includeNvram = true;
    ExpectSuccess(bench, bench.Run(NvramKeepingFlashUpdate));

    EXPECT_EQ(1, bench.state.id.NvramInImage);
    ExpectFlash(bench, file, 3 * kBlock, 2 * kUnit);
    for (std::uint32_t n : LengthsOf(bench, kRead)) EXPECT_EQ(kBlock, n) << "no NVRAM read";
    EXPECT_EQ((std::vector<std::uint32_t>{0, 16384, 32768}), AddressesOf(bench, kWrite));
}

TEST(NvramKeepingUpdate, Kind10TakesTheSettingsAreaFromTheFile) {
    // The same file with "Include 4K NVRAM" unticked: the file's first 4 KiB
    // are skipped and the bridge's NVRAM takes their place, except bytes
    // 128..207, which come from the file.
    SimBench bench(10, 1, "W25X40");
    const Bytes file = NvramImage(40000, 10);
    bench.UseFile(file);
    bench.panel.includeNvram = false;
    ExpectSuccess(bench, bench.Run(NvramKeepingFlashUpdate));

    Bytes image = Nvram(bench);
    std::copy(file.begin() + 128, file.begin() + 208, image.begin() + 128);
    image.insert(image.end(), file.begin() + kNvram, file.end());
    // 4,096 + 35,904 bytes: three blocks; the carry is all zeros and T is
    // the file length rounded up, so nothing more is written.
    ExpectFlash(bench, image, 3 * kBlock, 2 * kUnit);
    EXPECT_EQ((std::vector<std::uint32_t>{0, 16384, 32768}), AddressesOf(bench, kWrite));
}

TEST(NvramKeepingUpdate, FileWithNvramAsLargeAsTheFlashFitsIt) {
    // 64 KiB carrying NVRAM on a 64 KiB flash: the bridge's NVRAM takes the
    // place of the file's, so the image is 64 KiB and nothing lies past the
    // end of the flash (two units erased, four blocks, no carried block).
    SimBench bench(6, 1, "Pm25LV512");
    const Bytes file = NvramImage(65536, 6);
    bench.UseFile(file);
    ExpectSuccess(bench, bench.Run(NvramKeepingFlashUpdate));
    EXPECT_EQ(1, bench.state.id.NvramInImage);
    Bytes image = Nvram(bench);
    image.insert(image.end(), file.begin() + kNvram, file.end());
    EXPECT_EQ(image, bench.Flash());
    EXPECT_EQ((std::vector<std::uint32_t>{0, 32768}), AddressesOf(bench, kSectorErase));
    EXPECT_EQ((std::vector<std::uint32_t>{0, 16384, 32768, 49152}), AddressesOf(bench, kWrite));
}

TEST(NvramKeepingUpdate, Kind10FileWithoutNvramKeepsTheWholeBridgeNvram) {
    SimBench bench(10, 1, "W25X40");
    const Bytes file = PlainImage(20000, 10);
    bench.UseFile(file);
    ExpectSuccess(bench, bench.Run(NvramKeepingFlashUpdate));
    EXPECT_EQ(0, bench.state.id.NvramInImage);
    Bytes image = Nvram(bench);
    image.insert(image.end(), file.begin(), file.end());
    ExpectFlash(bench, image, 2 * kBlock, kUnit);
}

TEST(NvramKeepingUpdate, Kind11AlwaysTakesTheFileAsCarryingNvram) {
    // Kind 11 below revision 5 and not in flash mode (what the dispatcher
    // sends here): the file counts as carrying NVRAM whatever it holds, and
    // the bridge gets PrepareFlashUpdate before the first erase.
    SimBench bench(11, 4, "W25X40");
    ASSERT_EQ(4, bench.state.id.ChipRevision);
    ASSERT_EQ(0, CheckFlashMode(bench.Path()));
    bench.host.ClearLog();
    const Bytes file = PlainImage(36000, 11);
    bench.UseFile(file);
    ExpectSuccess(bench, bench.Run(NvramKeepingFlashUpdate));

    EXPECT_EQ(1, bench.state.id.NvramInImage);
    // 4,096 + 31,904 bytes: two blocks, then the carried file bytes 32,768..35,999.
    Bytes image = Nvram(bench);
    image.insert(image.end(), file.begin() + kNvram, file.end());
    ExpectFlash(bench, image, 2 * kBlock + kNvram, kUnit * 2);
    const long prepare = bench.FirstIndex({0xFF, 0x04, kPrepare, 0x00});
    ASSERT_GE(prepare, 0);
    EXPECT_LT(prepare, bench.FirstIndex({0xFF, 0x04, kSectorErase}));
}

TEST(NvramKeepingUpdate, RdVersionUntickedIgnoresEraseOnlyAndBackupOnly) {
    for (bool eraseOnly : {true, false}) {
        SCOPED_TRACE(eraseOnly ? "erase only ticked" : "backup only ticked");
        SimBench bench(6, 1, "Pm25LV512");
        const Bytes file = PlainImage(20000, 6);
        bench.UseFile(file);
        bench.panel.rdVersion = false;
        bench.state.id.EraseOnlyFlag = eraseOnly ? 1 : 0;
        bench.panel.eraseOnly = eraseOnly;
        bench.panel.backupOnly = !eraseOnly;
        bench.panel.backupFile = bench.dir.File("backup.bin");
        ExpectSuccess(bench, bench.Run(NvramKeepingFlashUpdate));
        EXPECT_FALSE(fs::exists(bench.panel.backupFile));
        Bytes image = Nvram(bench);
        image.insert(image.end(), file.begin(), file.end());
        ExpectFlash(bench, image, 2 * kBlock, kUnit);
    }
}

TEST(NvramKeepingUpdate, UnprotectsStAndMxicFlashExceptOnKind10) {
    struct Case {
        int kind;
        const char* part;
        bool unprotect;
    };
    const Case cases[] = {{6, "MX25L8005", true}, {6, "Pm25LV512", false}, {10, "MX25L8005", false}};
    const Bytes clearStatus = {0xFF, 0x04, kSerial, 0x02, 0x00, 0x01};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("kind ") + std::to_string(c.kind) + " with " + c.part);
        SimBench bench(c.kind, 1, c.part);
        bench.UseFile(PlainImage(20000, c.kind));
        ExpectSuccess(bench, bench.Run(NvramKeepingFlashUpdate));
        const long cleared = bench.FirstIndex(clearStatus);
        EXPECT_EQ(c.unprotect, cleared >= 0);
        if (c.unprotect) {
            EXPECT_LT(cleared, bench.FirstIndex({0xFF, 0x04, kSectorErase}));
        }
    }
}

// ---------------------------------------------------------------------------
// NvramKeepingFlashUpdate: erase only and backup only

TEST(NvramKeepingUpdate, EraseOnlyWritesTheNvramBackUnlessIncluded) {
    for (bool include : {false, true}) {
        SCOPED_TRACE(include ? "Include 4K NVRAM ticked" : "Include 4K NVRAM unticked");
        SimBench bench(6, 1, "Pm25LV512");
        bench.panel.rdVersion = true;
        bench.panel.eraseOnly = true;
        bench.state.id.EraseOnlyFlag = 1;
        bench.panel.includeNvram = include;
        const int result = bench.Run(NvramKeepingFlashUpdate);
        EXPECT_EQ(1, result);
        EXPECT_EQ("Erase flash all success!", bench.panel.status);
        EXPECT_TRUE(bench.MessageShown(kPowerCycleText));
        const Bytes head = include ? Bytes(kNvram, 0xFF) : Nvram(bench);
        EXPECT_EQ(head, bench.FlashRange(0, kNvram));
        EXPECT_EQ(Bytes(65536 - kNvram, 0xFF), bench.FlashRange(kNvram, 65536 - kNvram));
    }
}

TEST(NvramKeepingUpdate, EraseOnlyOnKind11PreparesTheBridge) {
    SimBench bench(11, 4, "W25X40");
    bench.panel.rdVersion = true;
    bench.state.id.EraseOnlyFlag = 1;
    EXPECT_EQ(1, bench.Run(NvramKeepingFlashUpdate));
    const long prepare = bench.FirstIndex({0xFF, 0x04, kPrepare, 0x00});
    ASSERT_GE(prepare, 0);
    EXPECT_LT(prepare, bench.FirstIndex({0xFF, 0x04, kSectorErase}));
    EXPECT_EQ(Nvram(bench), bench.FlashRange(0, kNvram));
}

TEST(NvramKeepingUpdate, EraseOnlyNvramWriteBackFailures) {
    // A write-back the bridge refuses, and one it takes but that does not
    // arrive whole (read back and compared): neither may end in success.
    struct Case {
        const char* what;
        sim::FaultKind kind;
    };
    const Case cases[] = {{"write refused", sim::FaultKind::CheckCondition},
                          {"write arrives short", sim::FaultKind::ShortTransfer}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SimBench bench(6, 1, "Pm25LV512");
        bench.panel.rdVersion = true;
        bench.state.id.EraseOnlyFlag = 1;
        bench.Fail({0xFF, 0x04, kWrite}, 0, c.kind, 100);
        ExpectFailure(bench, bench.Run(NvramKeepingFlashUpdate), "Write NVRAM back command fail!");
    }
}

TEST(NvramKeepingUpdate, EraseOnlyThatFailsHalfWayStillPutsTheNvramBack) {
    // The first 8 KiB erase takes the part's whole 32 KiB unit, NVRAM and
    // all; the second is refused. The erase failure stays the status.
    SimBench bench(6, 1, "Pm25LV512");
    bench.panel.rdVersion = true;
    bench.state.id.EraseOnlyFlag = 1;
    bench.Fail({0xFF, 0x04, kSectorErase}, 2);
    ExpectFailure(bench, bench.Run(NvramKeepingFlashUpdate), "Erase command fail!!");
    EXPECT_EQ(Nvram(bench), bench.FlashRange(0, kNvram));
}

TEST(NvramKeepingUpdate, BackupOnlyLeavesOutTheNvramUnlessIncluded) {
    for (bool include : {false, true}) {
        SCOPED_TRACE(include ? "Include 4K NVRAM ticked" : "Include 4K NVRAM unticked");
        SimBench bench(6, 1, "Pm25LV512");
        bench.panel.rdVersion = true;
        bench.panel.backupOnly = true;
        bench.panel.includeNvram = include;
        bench.panel.backupFile = bench.dir.File("backup.bin");
        EXPECT_EQ(1, bench.Run(NvramKeepingFlashUpdate));
        const std::size_t skip = include ? 0 : kNvram;
        EXPECT_EQ(Slice(bench.before, skip, 65536 - skip), ReadWholeFile(bench.panel.backupFile));
        EXPECT_EQ(bench.before, bench.Flash());
        EXPECT_FALSE(bench.MessageShown(kPowerCycleText));
    }
}

// ---------------------------------------------------------------------------
// NvramKeepingFlashUpdate: failures

TEST(NvramKeepingUpdate, FailuresBeforeTheEraseLeaveTheFlashAlone) {
    struct Case {
        const char* what;
        std::function<void(SimBench&)> arrange;
        const char* status;
        int kind = 6;
        const char* part = "Pm25LV512";
    };
    const Case cases[] = {
        {"NVRAM read refused", [](SimBench& b) { b.Fail({0xFF, 0x04, kRead}, 1); }, "Backup NVRAM command fail!"},
        {"NVRAM read arrives short", [](SimBench& b) { b.Fail({0xFF, 0x04, kRead}, 1, sim::FaultKind::ShortTransfer, 1000); },
         "Backup NVRAM command fail!"},
        {"flash never ready", [](SimBench& b) { b.device->serialFlash()->SetNeverReady(true); },
         "Backup NVRAM command fail!"},
        {"no such file", [](SimBench& b) { b.panel.firmwareFile = b.dir.File("missing.bin"); }, "Open File Error!!"},
        {"a directory", [](SimBench& b) { b.panel.firmwareFile = b.dir.File(""); }, "Open File Error!!"},
        {"empty file", [](SimBench& b) { b.UseFile({}); }, "Open File Error!!"},
        // Past the 24-bit flash addresses: the file itself, or the bridge's
        // NVRAM in front of a file that fills them.
        {"file longer than the flash addresses",
         [](SimBench& b) { fs::resize_file(b.panel.firmwareFile, 0x1000001); }, "Open File Error!!"},
        {"file filling the flash addresses, NVRAM in front",
         [](SimBench& b) { fs::resize_file(b.panel.firmwareFile, 0x1000000); }, "Open File Error!!"},
        // Marked as carrying NVRAM but nothing behind the block: there is no
        // code to program, and the run must not erase the firmware for it.
        {"kind-10 file with nothing past its NVRAM block", [](SimBench& b) { b.UseFile(NvramImage(4096, 10)); },
         "Open File Error!!", 10, "W25X40"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SimBench bench(c.kind, 1, c.part);
        bench.UseFile(PlainImage(20000, c.kind));
        c.arrange(bench);
        ExpectFailure(bench, bench.Run(NvramKeepingFlashUpdate), c.status);
        EXPECT_EQ(bench.before, bench.Flash());
        EXPECT_TRUE(AddressesOf(bench, kSectorErase).empty());
    }
}

TEST(NvramKeepingUpdate, AtmelFlashNeedsItsWriteEnableLatch) {
    {
        SCOPED_TRACE("the latch sets");
        SimBench bench(6, 1, "AT25FS010");
        ASSERT_NE(-1, bench.state.id.AtmelProbe);
        const Bytes file = PlainImage(20000, 6);
        bench.UseFile(file);
        ExpectSuccess(bench, bench.Run(NvramKeepingFlashUpdate));
        const long enable = bench.FirstIndex({0xFF, 0x04, kSerial, 0x01, 0x00, 0x06});
        ASSERT_GE(enable, 0);
        EXPECT_LT(enable, bench.FirstIndex({0xFF, 0x04, kSectorErase}));
        Bytes image = Nvram(bench);
        image.insert(image.end(), file.begin(), file.end());
        ExpectFlash(bench, image, 2 * kBlock, kUnit);
    }
    {
        SCOPED_TRACE("the latch never sets");
        SimBench bench(6, 1, "AT25FS010");
        bench.UseFile(PlainImage(20000, 6));
        bench.device->serialFlash()->SetWriteEnableNeverSets(true);
        ExpectFailure(bench, bench.Run(NvramKeepingFlashUpdate), "Enable ATMEL flash write enable fail!!");
        EXPECT_EQ(bench.before, bench.Flash());
        EXPECT_TRUE(AddressesOf(bench, kSectorErase).empty());
    }
}

TEST(NvramKeepingUpdate, NoFailureAfterTheEraseLosesTheKeptNvram) {
    // A 30,000-byte file: two erase units, two blocks and the carried block.
    // Reads: 1 NVRAM, 4 blank checks, then a read-back per write.
    struct Case {
        const char* what;
        std::function<void(SimBench&)> arrange;
        const char* status;
        bool rewritten;  // the NVRAM at address 0 was gone when the run failed
    };
    const Case cases[] = {
        {"first erase refused", [](SimBench& b) { b.Fail({0xFF, 0x04, kSectorErase}, 1); }, "Erase command fail!!",
         false},
        {"second erase refused", [](SimBench& b) { b.Fail({0xFF, 0x04, kSectorErase}, 2); }, "Erase command fail!!",
         true},
        {"blank check read refused", [](SimBench& b) { b.Fail({0xFF, 0x04, kRead}, 3); },
         "Read back after erase fail!!", true},
        {"blank check read short", [](SimBench& b) { b.Fail({0xFF, 0x04, kRead}, 4, sim::FaultKind::ShortTransfer, 512); },
         "Read back after erase fail!!", true},
        {"a bit that stays 0", [](SimBench& b) { b.device->serialFlash()->AddStuckBit(20000, 3, false); },
         "Data not 0xff !!", true},
        {"block 0 write refused", [](SimBench& b) { b.Fail({0xFF, 0x04, kWrite}, 1); }, "Write command fail!", true},
        {"block 1 write refused", [](SimBench& b) { b.Fail({0xFF, 0x04, kWrite}, 2); }, "Write command fail!", false},
        {"carried block write refused", [](SimBench& b) { b.Fail({0xFF, 0x04, kWrite}, 3); }, "Write command fail!",
         false},
        {"block 0 read-back refused", [](SimBench& b) { b.Fail({0xFF, 0x04, kRead}, 6); }, "Write command fail!",
         false},
        {"carried block read-back refused", [](SimBench& b) { b.Fail({0xFF, 0x04, kRead}, 8); },
         "Write command fail!", false},
        {"block 0 arrives short", [](SimBench& b) { b.Fail({0xFF, 0x04, kWrite}, 1, sim::FaultKind::ShortTransfer, 100); },
         "Data compare fail !!", true},
        {"a bit in block 1 that stays 1",
         [](SimBench& b) {  // file byte 16,384 lands at 20,480
             b.device->serialFlash()->AddStuckBit(20480, test::ClearBit(Pattern(30000)[16384]), true);
         },
         "Data compare fail !!", false},
        {"carried block arrives short",
         [](SimBench& b) { b.Fail({0xFF, 0x04, kWrite}, 3, sim::FaultKind::ShortTransfer, 100); },
         "Data compare fail !!", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SimBench bench(6, 1, "Pm25LV010");
        bench.UseFile(PlainImage(30000, 6));
        c.arrange(bench);
        ExpectFailure(bench, bench.Run(NvramKeepingFlashUpdate), c.status);
        EXPECT_EQ(Nvram(bench), bench.FlashRange(0, kNvram)) << "the kept NVRAM is back at address 0";
        EXPECT_TRUE(bench.Traced(c.rewritten ? "Run failed; the kept NVRAM was written back at flash address 0\n"
                                          : "Run failed; the kept NVRAM is still in place at flash address 0\n"));
    }
}

TEST(NvramKeepingUpdate, KeptNvramIsWrittenBackEvenOverAWrittenFirstBlock) {
    // Kind 10 with a file carrying NVRAM: block 0 went out with the file's
    // settings area; a later failure restores the bridge's NVRAM as it was.
    SimBench bench(10, 1, "W25X40");
    bench.UseFile(NvramImage(40000, 10));
    bench.Fail({0xFF, 0x04, kWrite}, 3);
    ExpectFailure(bench, bench.Run(NvramKeepingFlashUpdate), "Write command fail!");
    EXPECT_EQ(Nvram(bench), bench.FlashRange(0, kNvram));
    EXPECT_TRUE(bench.Traced("Run failed; the kept NVRAM was written back at flash address 0\n"));
}

TEST(NvramKeepingUpdate, ABridgeThatLeavesMidRunIsReportedNotHidden) {
    // The device goes away after block 0: nothing can be written back; the
    // run fails with its own text and the developer trace says the NVRAM is lost.
    SimBench bench(6, 1, "Pm25LV512");
    bench.UseFile(PlainImage(30000, 6));
    bench.Fail({0xFF, 0x04, kWrite}, 1, sim::FaultKind::Disappear);
    ExpectFailure(bench, bench.Run(NvramKeepingFlashUpdate), "Write command fail!");
    EXPECT_TRUE(bench.Traced("Run failed; the kept NVRAM could NOT be put back and checked at flash address 0\n"));
}

TEST(NvramKeepingUpdate, ImageRunningPastTheEndOfTheFlashFails) {
    // 65,536 bytes without NVRAM on a 64 KiB flash: with the bridge's NVRAM
    // in front the image is 4 KiB too long, and its tail (zeros here) wraps
    // onto address 0, where it reads back as written. The run must not call
    // that a success, and the NVRAM must survive it.
    SimBench bench(6, 1, "Pm25LV512");
    Bytes file = PlainImage(65536, 6);
    std::fill(file.begin() + 61440, file.end(), 0x00);
    bench.UseFile(file);
    ExpectFailure(bench, bench.Run(NvramKeepingFlashUpdate), "Data compare fail !!");
    EXPECT_EQ(Nvram(bench), bench.FlashRange(0, kNvram));
}

// ---------------------------------------------------------------------------
// FullImageFlashUpdate

TEST(FullImageUpdate, ProgramsTheWholeFileThroughTheSerialWriter) {
    // Kind 10 with an SST flash (flash type 2), byte and word programming,
    // and a kind-15 bridge with the SST serial flag.
    struct Case {
        int kind;
        const char* part;
        int sstSerialFlag;
    };
    const Case cases[] = {{10, "SST25VF512A", 0}, {10, "SST25VF016B", 1}, {15, "SST25VF016B", 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("kind ") + std::to_string(c.kind) + " with " + c.part);
        SimBench bench(c.kind, 1, c.part);
        ASSERT_EQ(2, bench.state.id.FlashTypeCode);
        ASSERT_EQ(c.sstSerialFlag, bench.state.id.SstSerialFlag);
        const Bytes file = NvramImage(40000, c.kind);
        bench.UseFile(file);
        bench.panel.includeNvram = false;
        ExpectSuccess(bench, bench.Run(FullImageFlashUpdate));

        EXPECT_TRUE(bench.panel.includeNvram) << "Include 4K NVRAM is ticked by the run";
        ExpectFlash(bench, file, 3 * kBlock, 2 * kUnit);
        EXPECT_TRUE(AddressesOf(bench, kWrite).empty()) << "no block write command";
        EXPECT_EQ(3, bench.panel.pendingEventCalls) << "events after each block write";
        EXPECT_EQ((std::vector<std::string>{"Erasing", "Programming", kSuccess}), bench.panel.statusHistory);
        // Kind 10 erases the SST chip whole first.
        const long chipErase = bench.FirstIndex({0xFF, 0x04, kSerial, 0x01, 0x00, 0xC7});
        EXPECT_EQ(c.kind == 10, chipErase >= 0);
        if (chipErase >= 0) {
            EXPECT_LT(chipErase, bench.FirstIndex({0xFF, 0x04, kSectorErase}));
        }
    }
}

TEST(FullImageUpdate, FileOfTwoWholeBlocksGetsNoExtraBlock) {
    SimBench bench(15, 1, "SST25VF016B");
    const Bytes file = PlainImage(32768, 15);
    bench.UseFile(file);
    ExpectSuccess(bench, bench.Run(FullImageFlashUpdate));
    EXPECT_EQ(file, bench.FlashRange(0, file.size()));
    EXPECT_EQ(2, bench.panel.pendingEventCalls);
    // Word programming starts with an address once per 16 KiB block.
    std::vector<std::uint32_t> starts;
    for (const sim::LogEntry& e : bench.Blocks(kSerial)) {
        if (e.cdb[3] == 4 && e.cdb[5] == 0xAD) {
            starts.push_back((std::uint32_t{e.cdb[6]} << 16) | (std::uint32_t{e.cdb[7]} << 8) | e.cdb[8]);
        }
    }
    EXPECT_EQ((std::vector<std::uint32_t>{0, 16384}), starts);
}

TEST(FullImageUpdate, EraseOnlyAndBackupOnly) {
    {
        SCOPED_TRACE("erase only");
        SimBench bench(10, 1, "SST25VF016B");
        bench.panel.rdVersion = true;
        bench.state.id.EraseOnlyFlag = 1;
        EXPECT_EQ(1, bench.Run(FullImageFlashUpdate));
        EXPECT_EQ("Erase flash all success!", bench.panel.status);
        EXPECT_TRUE(bench.MessageShown(kPowerCycleText));
        EXPECT_EQ(Bytes(65536, 0xFF), bench.FlashRange(0, 65536)) << "NVRAM included";
        EXPECT_TRUE(AddressesOf(bench, kWrite).empty());
    }
    {
        SCOPED_TRACE("backup only");
        SimBench bench(15, 1, "SST25VF016B");
        bench.panel.rdVersion = true;
        bench.panel.backupOnly = true;
        bench.panel.backupFile = bench.dir.File("backup.bin");
        EXPECT_EQ(1, bench.Run(FullImageFlashUpdate));
        EXPECT_EQ(Slice(bench.before, 0, 65536), ReadWholeFile(bench.panel.backupFile));
        EXPECT_EQ(bench.before, bench.Flash());
    }
}

TEST(FullImageUpdate, Failures) {
    // A 40,000-byte file on kind 15: two erase units, three blocks.
    // Reads: 4 blank checks, then one read-back per block.
    struct Case {
        const char* what;
        std::function<void(SimBench&)> arrange;
        const char* status;
    };
    const Case cases[] = {
        {"no such file", [](SimBench& b) { b.panel.firmwareFile = b.dir.File("missing.bin"); }, "Open File Error!!"},
        {"empty file", [](SimBench& b) { b.UseFile({}); }, "Open File Error!!"},
        {"erase refused", [](SimBench& b) { b.Fail({0xFF, 0x04, kSectorErase}, 2); }, "Erase command fail!!"},
        {"blank check read refused", [](SimBench& b) { b.Fail({0xFF, 0x04, kRead}, 2); }, "Read back after erase fail!!"},
        {"a bit that stays 0", [](SimBench& b) { b.device->serialFlash()->AddStuckBit(40000, 0, false); },
         "Data not 0xff !!"},
        {"serial data phase refused", [](SimBench& b) { b.Fail({0xFF, 0x04, kSerialData}, 40); },
         "Write command fail!"},
        {"block read-back refused", [](SimBench& b) { b.Fail({0xFF, 0x04, kRead}, 6); }, "Write command fail!"},
        {"a bit in block 2 that stays 1",
         [](SimBench& b) { b.device->serialFlash()->AddStuckBit(33000, test::ClearBit(Pattern(40000)[33000]), true); },
         "Data compare fail !!"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SimBench bench(15, 1, "SST25VF016B");
        bench.UseFile(PlainImage(40000, 15));
        c.arrange(bench);
        ExpectFailure(bench, bench.Run(FullImageFlashUpdate), c.status);
    }
}

}  // namespace
}  // namespace v62x
