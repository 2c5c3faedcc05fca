// The 256-byte-page serial-flash update of the kind-7 bridge on IEEE 1394,
// end to end against the simulated bridge and its 64 KiB flash: the flash
// and the backup file byte for byte, the erase flag only at 0 and 0x8000,
// the 1 KiB NVRAM at 0x8000 kept, and failures that return 0, show no
// success text, still ask for the power cycle and keep the NVRAM.
#include "Fwupdate/PageFlashUpdate.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/SimBench.h"

namespace v62x {
namespace {

using test::Bytes;
using test::Pattern;
using test::ReadWholeFile;
using test::SimBench;
using test::Slice;

constexpr std::size_t kFlash = 65536;
constexpr std::size_t kNvramAt = 0x8000;
constexpr std::size_t kNvram = 1024;

// Where the direct writes that erase first start.
std::vector<std::uint32_t> ErasedAt(const SimBench& bench) {
    std::vector<std::uint32_t> at;
    for (const sim::LogEntry& e : bench.Direct(0xFB)) {
        if (e.cdb[1] == 1) at.push_back(test::DirectAddress(e));
    }
    return at;
}
bool LongestCommandWithin256(const SimBench& bench) {
    const auto direct = bench.Commands(0xDF);
    return std::all_of(direct.begin(), direct.end(), [](const sim::LogEntry& e) { return e.length <= 256; });
}

// Programming, end to end.
struct ProgramCase {
    const char* name;
    std::size_t fileSize;
    std::size_t imageSize;
    std::vector<std::uint32_t> erasedAt;
};

class ProgramPage : public ::testing::TestWithParam<ProgramCase> {};

TEST_P(ProgramPage, FlashHoldsTheImageAndTheRestAsTheEraseLeftIt) {
    const ProgramCase& c = GetParam();
    SimBench bench(7, 1, "Pm25LV512", Bus::Ieee1394);  // 64 KiB flash
    const Bytes file = Pattern(c.fileSize);
    bench.UseFile(file);
    ASSERT_EQ(1, bench.Run(PageFlashUpdate));
    EXPECT_EQ("Programming Success!!", bench.panel.status);
    bench.ExpectOnlyMessage(kPowerCycleText);
    EXPECT_EQ(8192, bench.state.flash.ProgramChunk) << "the page size stays the run's own";

    Bytes expected = file;
    expected.resize(c.imageSize, 0);  // zeros behind the file's end
    if (c.imageSize <= kNvramAt) {
        // The second half, the NVRAM with it, is never touched.
        expected.insert(expected.end(), bench.before.begin() + static_cast<long>(c.imageSize), bench.before.end());
    } else {
        expected.resize(kFlash, 0xFF);  // the rest of the erased second half
    }
    EXPECT_EQ(expected, bench.Flash());

    const std::vector<sim::LogEntry> writes = bench.Direct(0xFB);
    EXPECT_EQ(c.imageSize / 256, writes.size());
    EXPECT_TRUE(std::all_of(writes.begin(), writes.end(), [](const sim::LogEntry& e) { return test::DirectLength(e) == 256; }));
    EXPECT_EQ(c.erasedAt, ErasedAt(bench));
    EXPECT_TRUE(LongestCommandWithin256(bench));
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, ProgramPage,
    ::testing::Values(ProgramCase{"ShortFileKeepsTheNvram", 20000, 0x8000, {0}},
                      ProgramCase{"ExactlyTheFirstHalf", 0x8000, 0x8000, {0}},
                      ProgramCase{"LongerFileReachesTheSecondHalf", 40000, 40192, {0, 0x8000}},
                      ProgramCase{"WholeFlash", kFlash, kFlash, {0, 0x8000}}),
    [](const ::testing::TestParamInfo<ProgramCase>& info) { return std::string(info.param.name); });

TEST(WritePage, DotsAfterThePiecesEndingAt256And2304) {
    SimBench bench(7, 1, "Pm25LV512", Bus::Ieee1394);  // 64 KiB flash
    bench.state.flash.ProgramChunk = 256;
    const Bytes data = Pattern(4096);
    ProcedureContext ctx = bench.Context();
    bench.panel.status = "x";
    ASSERT_EQ(1, WritePageBlocks(ctx, 0, data.data(), static_cast<std::uint32_t>(data.size())));
    EXPECT_EQ("x..", bench.panel.status);
    EXPECT_EQ(data, bench.FlashRange(0, data.size()));
    EXPECT_EQ(0, WritePageBlocks(ctx, 0, data.data(), 0));
}

TEST(ErasePage, ErasesAllButTheNvramAndAsksForThePowerCycle) {
    SimBench bench(7, 1, "Pm25LV512", Bus::Ieee1394);  // 64 KiB flash
    bench.panel.rdVersion = true;
    bench.panel.eraseOnly = true;
    bench.panel.backupOnly = true;  // erase-only wins
    ASSERT_EQ(1, bench.Run(PageFlashUpdate));
    EXPECT_EQ("Erase flash all success!", bench.panel.status);
    bench.ExpectOnlyMessage(kPowerCycleText);
    Bytes expected(kFlash, 0xFF);
    std::copy_n(bench.before.begin() + static_cast<long>(kNvramAt), kNvram, expected.begin() + static_cast<long>(kNvramAt));
    EXPECT_EQ(expected, bench.Flash());
    EXPECT_EQ((std::vector<std::uint32_t>{0, 0x8000, 0x8000}), ErasedAt(bench)) << "two erases, then the write-back";
    EXPECT_TRUE(LongestCommandWithin256(bench));
}

TEST(BackupPage, WritesTheWholeFlashWhateverTheNvramBoxShows) {
    for (const bool include : {false, true}) {
        SimBench bench(7, 1, "Pm25LV512", Bus::Ieee1394);  // 64 KiB flash
        bench.panel.rdVersion = true;
        bench.panel.backupOnly = true;
        bench.panel.includeNvram = include;
        bench.panel.backupFile = bench.dir.File("b.bin");
        ASSERT_EQ(1, bench.Run(PageFlashUpdate));
        EXPECT_EQ(bench.before, ReadWholeFile(bench.panel.backupFile));
        EXPECT_EQ(bench.before, bench.Flash());
        EXPECT_TRUE(bench.panel.messages.empty());
        EXPECT_TRUE(LongestCommandWithin256(bench));
    }
}

// Failures by fault injection.
enum class Run { Program, Erase };

struct FailureCase {
    const char* name;
    Run run;
    std::size_t fileSize;
    std::vector<std::uint8_t> prefix;
    int nth;
    sim::FaultKind kind;
    DataDirection phase;
    const char* status;
};

class PageFailure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(PageFailure, ReturnsZeroKeepsTheNvramAndAsksForThePowerCycle) {
    const FailureCase& c = GetParam();
    SimBench bench(7, 1, "Pm25LV512", Bus::Ieee1394);  // 64 KiB flash
    if (c.run == Run::Erase) {
        bench.panel.rdVersion = true;
        bench.panel.eraseOnly = true;
    } else {
        bench.UseFile(Pattern(c.fileSize));
    }
    bench.Fail(c.prefix, c.nth, c.kind, 0, c.phase);
    EXPECT_EQ(0, bench.Run(PageFlashUpdate));
    EXPECT_EQ(c.status, bench.panel.status) << "the failing step's text stays";
    EXPECT_FALSE(bench.Shown("Programming Success!!"));
    // An erase run says its erase commands went through before it checks
    // the flash blank and writes the NVRAM back; the failing step's text
    // follows it.
    if (c.run != Run::Erase || std::string(c.status) == "Erase flash command fail!") {
        EXPECT_FALSE(bench.Shown("Erase flash all success!"));
    }
    bench.ExpectOnlyMessage(kPowerCycleText);
    EXPECT_EQ(Slice(bench.before, kNvramAt, kNvram), bench.FlashRange(kNvramAt, kNvram)) << "the NVRAM is intact";
}

const std::vector<std::uint8_t> kDirect{0xDF};

INSTANTIATE_TEST_SUITE_P(
    Faults, PageFailure,
    ::testing::Values(
        FailureCase{"ProgramWriteFails", Run::Program, 20000, kDirect, 40, sim::FaultKind::CheckCondition,
                    DataDirection::Out, "Write Bin File fail!"},
        FailureCase{"ProgramVerifyFails", Run::Program, 20000, kDirect, 3, sim::FaultKind::ShortTransfer,
                    DataDirection::Out, "Data compare fail !!"},
        FailureCase{"ProgramReadBackFails", Run::Program, 20000, kDirect, 10, sim::FaultKind::CheckCondition,
                    DataDirection::In, "Read command fail!"},
        FailureCase{"ProgramNvramReadFails", Run::Program, 20000, kDirect, 1, sim::FaultKind::CheckCondition,
                    DataDirection::In, "Backup NVRAM command fail!"},
        FailureCase{"EraseSecondEraseFails", Run::Erase, 0, kDirect, 2, sim::FaultKind::CheckCondition,
                    DataDirection::Out, "Erase flash command fail!"},
        FailureCase{"EraseFirstEraseFailsSoTheFlashIsNotBlank", Run::Erase, 0, kDirect, 1,
                    sim::FaultKind::CheckCondition, DataDirection::Out, "Data not 0xff !!"},
        FailureCase{"EraseNvramWriteBackFails", Run::Erase, 0, kDirect, 3, sim::FaultKind::CheckCondition,
                    DataDirection::Out, "Write NVRAM back command fail!"},
        FailureCase{"EraseNvramWriteBackArrivesAsZeros", Run::Erase, 0, kDirect, 4, sim::FaultKind::ShortTransfer,
                    DataDirection::Out, "Write NVRAM back command fail!"}),
    [](const ::testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

TEST(PageFailure, AFileThatCannotBeOpenedTouchesNothingAndShowsNoMessage) {
    SimBench bench(7, 1, "Pm25LV512", Bus::Ieee1394);  // 64 KiB flash
    bench.panel.firmwareFile = bench.dir.File("missing.bin");
    EXPECT_EQ(0, bench.Run(PageFlashUpdate));
    EXPECT_EQ("Open File Error!!", bench.panel.status);
    EXPECT_TRUE(bench.panel.messages.empty());
    EXPECT_TRUE(bench.Direct(0xFB).empty());
    EXPECT_EQ(bench.before, bench.Flash());
}

}  // namespace
}  // namespace v62x
