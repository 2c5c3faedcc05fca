// The serial-flash update run end to end against simulated bridges with
// real flash parts: the flash and the backup file byte for byte, the kept
// NVRAM, the kind-12 checksum and second copy, retries, and that a failure
// never loses the NVRAM or ends with a success message.
#include "Fwupdate/SerialFlashUpdate.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Fwupdate/ImageChecks.h"
#include "support/SimBench.h"

namespace v62x {
namespace {

using test::Bytes;
using test::Pattern;
using test::ReadWholeFile;
using test::SimBench;
using test::Slice;

constexpr std::size_t kNvram = 4096;

// Programming, end to end.
struct ProgramCase {
    const char* name;
    int kind;
    int revision;
    const char* part;
    int flashKB;
    bool includeNvram;
    std::size_t fileSize;
};

class ProgramSerial : public ::testing::TestWithParam<ProgramCase> {};

TEST_P(ProgramSerial, FlashHoldsTheImageAndTheKeptNvram) {
    const ProgramCase& c = GetParam();
    SimBench bench(c.kind, c.revision, c.part);
    bench.state.id.FlashSizeKB = c.flashKB;
    const Bytes file = Pattern(c.fileSize);
    bench.UseFile(file);
    bench.panel.includeNvram = c.includeNvram;
    ASSERT_EQ(1, bench.Run(SerialFlashUpdate));
    EXPECT_EQ("Programming Success!!", bench.panel.status);

    Bytes expected = file;
    const bool bank = c.kind == 12;
    const std::size_t nvramAt = bank ? 0xC000 : 0;
    if (bank) expected.resize(0x10000, 0);
    if (!c.includeNvram) std::copy_n(bench.before.begin() + static_cast<long>(nvramAt), kNvram, expected.begin() + static_cast<long>(nvramAt));
    if (bank) {
        const std::uint16_t crc = ImageCrc16(expected.data(), 0xBFFC, 0);
        expected[0xBFFE] = static_cast<std::uint8_t>(crc >> 8);
        expected[0xBFFF] = static_cast<std::uint8_t>(crc & 0xFF);
    }
    EXPECT_EQ(expected, bench.FlashRange(0, expected.size()));
    if (bank && c.flashKB >= 128) {
        EXPECT_EQ(expected, bench.FlashRange(0x10000, expected.size())) << "the second copy at 0x10000";
    }
    if (bank) {
        bench.ExpectOnlyMessage(kAutoResetText);
        bool removed = false;
        bool arrived = false;
        for (const DeviceEvent& e : bench.host.DrainDeviceEvents()) {
            removed = removed || e.kind == DeviceEventKind::Removal;
            arrived = arrived || (removed && e.kind == DeviceEventKind::Arrival);
        }
        EXPECT_TRUE(removed && arrived) << "the bridge restarts: it leaves and comes back";
    } else {
        bench.ExpectOnlyMessage(kPowerCycleText);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, ProgramSerial,
    ::testing::Values(ProgramCase{"Kind8KeepsNvram", 8, 1, "MX25L8005", 1024, false, 40000},
                      ProgramCase{"Kind8IncludesNvram", 8, 1, "MX25L8005", 1024, true, 40000},
                      ProgramCase{"Kind11KeepsNvram", 11, 5, "W25X40", 512, false, 65536},
                      ProgramCase{"Kind12Flash64KeepsNvram", 12, 1, "Pm25LV512", 64, false, 65536},
                      ProgramCase{"Kind12Flash64IncludesNvram", 12, 1, "Pm25LV512", 64, true, 65536},
                      ProgramCase{"Kind12Flash128KeepsNvram", 12, 1, "W25X10", 128, false, 65536},
                      ProgramCase{"Kind12Flash128IncludesNvram", 12, 1, "W25X10", 128, true, 50000}),
    [](const ::testing::TestParamInfo<ProgramCase>& info) { return std::string(info.param.name); });

TEST(ProgramSerial, AFirstVerifyFailureIsMendedInMode1) {
    SimBench bench(11, 5, "W25X40");
    bench.state.id.FlashSizeKB = 512;
    const Bytes file = Pattern(65536);
    bench.UseFile(file);
    bench.panel.includeNvram = true;
    bench.Fail({0xDF}, 2, sim::FaultKind::ShortTransfer, 0, DataDirection::Out);  // the second piece arrives as zeros
    ASSERT_EQ(1, bench.Run(SerialFlashUpdate));
    EXPECT_TRUE(bench.Shown("Data compare fail !!"));
    EXPECT_EQ(file, bench.FlashRange(0, file.size()));
    bool smallUnitErase = false;
    for (const sim::LogEntry& e : bench.host.Log()) smallUnitErase = smallUnitErase || (e.cdb[0] == 0xDF && e.cdb[1] == 0x01);
    EXPECT_TRUE(smallUnitErase) << "the second attempt writes in mode 1";
}

TEST(ProgramSerial, ThreeFailedAttemptsFailAndKeepTheNvram) {
    SimBench bench(8, 1, "MX25L8005");
    bench.state.id.FlashSizeKB = 1024;
    bench.UseFile(Pattern(40000));
    // Every piece without the MXIC flag arrives as zeros: all three attempts
    // fail to verify; the flagged write at address 0 still works.
    for (std::uint8_t code = 0; code <= 3; ++code) bench.Fail({0xDF, code}, 0, sim::FaultKind::ShortTransfer, 0, DataDirection::Out);
    EXPECT_EQ(0, bench.Run(SerialFlashUpdate));
    EXPECT_EQ("Data compare fail !!", bench.panel.status);
    EXPECT_TRUE(bench.panel.messages.empty());
    EXPECT_FALSE(bench.Shown("Programming Success!!"));
    EXPECT_EQ(Slice(bench.before, 0, kNvram), bench.FlashRange(0, kNvram)) << "the kept NVRAM is back";
}

// Backup only leaves the kept NVRAM out unless it is included: kind 12's
// at 0xC000, kind 8's leading 4 KiB.
TEST(BackupSerial, LeavesTheNvramOutUnlessIncluded) {
    struct Case {
        const char* what;
        int kind;
        const char* part;
        int flashKB;
        bool include;
        std::size_t from, length;  // of the flash, in the backup file
    };
    const Case cases[] = {
        {"kind 12", 12, "W25X10", 128, false, 0, 0xC000},
        {"kind 12, NVRAM included", 12, "W25X10", 128, true, 0, 0x20000},
        {"kind 8", 8, "MX25L8005", 1024, false, kNvram, 65536 - kNvram},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SimBench bench(c.kind, 1, c.part);
        bench.state.id.FlashSizeKB = c.flashKB;
        bench.panel.rdVersion = true;
        bench.panel.backupOnly = true;
        bench.panel.includeNvram = c.include;
        bench.panel.backupFile = bench.dir.File("b.bin");
        ASSERT_EQ(1, bench.Run(SerialFlashUpdate));
        EXPECT_EQ(Slice(bench.before, c.from, c.length), ReadWholeFile(bench.panel.backupFile));
    }
}

TEST(EraseSerial, ABlankFirstReadBackNeedsNoSecondEraseAndKeepsTheNvram) {
    SimBench bench(11, 5, "W25X40");
    bench.state.id.FlashSizeKB = 512;
    bench.panel.rdVersion = true;
    bench.panel.eraseOnly = true;
    bench.panel.backupOnly = true;  // erase-only wins
    ASSERT_EQ(1, bench.Run(SerialFlashUpdate));
    EXPECT_EQ("Erase flash all success!", bench.panel.status);
    EXPECT_EQ(2u, bench.Direct(0xFB).size()) << "one erase, one NVRAM write-back";
    EXPECT_EQ(Slice(bench.before, 0, kNvram), bench.FlashRange(0, kNvram));
    EXPECT_EQ(Bytes(65536 - kNvram, 0xFF), bench.FlashRange(kNvram, 65536 - kNvram));
    bench.ExpectOnlyMessage(kPowerCycleText);
}

TEST(EraseSerial, AFailedWriteBackFailsAndTheNvramIsPutBack) {
    SimBench bench(12, 1, "W25X10");
    bench.state.id.FlashSizeKB = 128;
    bench.panel.rdVersion = true;
    bench.panel.eraseOnly = true;
    bench.Fail({0xDF}, 2, sim::FaultKind::CheckCondition, 0, DataDirection::Out);  // the write-back
    EXPECT_EQ(0, bench.Run(SerialFlashUpdate));
    EXPECT_EQ("Write NVRAM back command fail!", bench.panel.status);
    EXPECT_TRUE(bench.panel.messages.empty());
    EXPECT_EQ(Slice(bench.before, 0xC000, kNvram), bench.FlashRange(0xC000, kNvram));
}

}  // namespace
}  // namespace v62x
