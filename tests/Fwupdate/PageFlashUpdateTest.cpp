// The 256-byte-page serial-flash update of the kind-7 bridge on IEEE 1394,
// end to end against the simulated bridge and its 64 KiB flash: the flash
// and the backup file byte for byte, the erase flag only at 0 and 0x8000,
// the 1 KiB NVRAM at 0x8000 kept, and failures that return 0, show no
// success text, still ask for the power cycle and keep the NVRAM.
#include "Fwupdate/PageFlashUpdate.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "Fwupdate/ChipCheck.h"
#include "Fwupdate/DeviceRefresh.h"
#include "support/Bytes.h"
#include "support/ScratchDir.h"
#include "support/SimBridges.h"

namespace v62x {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using test::ReadWholeFile;
using test::Slice;

constexpr std::size_t kFlash = 65536;
constexpr std::size_t kNvramAt = 0x8000;
constexpr std::size_t kNvram = 1024;

std::uint8_t FlashByte(std::size_t i) { return static_cast<std::uint8_t>((i * 7 + (i >> 8) * 13) % 253 + 1); }
std::uint8_t FileByte(std::size_t i) { return static_cast<std::uint8_t>((i * 11 + (i >> 9) * 5) % 251 + 3); }

Bytes FileImage(std::size_t length) {
    Bytes image(length);
    for (std::size_t i = 0; i < length; ++i) image[i] = FileByte(i);
    return image;
}

struct DirectWrite {
    std::uint32_t address;
    std::uint32_t length;
    bool erase;
};

struct Bench {
    FlashGeometry savedGeometry = Geometry();
    sim::SimulatedHost host;
    ScopedHost scoped{host};
    ToolState state;
    RecordingPanel panel;
    test::ScratchDir dir{"v62x-pageupdate"};
    sim::VirtualDevice* device = nullptr;
    Bytes before;

    Bench() {
        EXPECT_TRUE(dir.ok());
        Geometry() = FlashGeometry{};
        sim::DeviceConfig config = test::BridgeConfig(7, 1, Bus::Ieee1394);
        std::string why;
        EXPECT_TRUE(sim::SetFlashPart(config.flash, "Pm25LV512", why)) << why;
        device = &host.AddDevice(config);
        Bytes& flash = *device->FlashContents();
        EXPECT_EQ(kFlash, flash.size());
        for (std::size_t i = 0; i < flash.size(); ++i) flash[i] = FlashByte(i);
        before = flash;
        RefreshDevices(state.devices);
        ChipCheckRequest request;
        request.listEnabled = true;
        UpdateBtnCheck(state, request, panel);
        EXPECT_EQ(7, state.id.ChipKind);
        panel = RecordingPanel{};
        host.ClearLog();
        host.DrainDeviceEvents();
    }
    ~Bench() { Geometry() = savedGeometry; }
    Bench(const Bench&) = delete;
    Bench& operator=(const Bench&) = delete;

    std::string Path() const { return state.devices.records[0].InterfacePath; }
    int Run() {
        ProcedureContext ctx{state, panel, Path()};
        return PageFlashUpdate(ctx);
    }
    Bytes& Flash() { return *device->FlashContents(); }
    Bytes FlashRange(std::size_t from, std::size_t count) { return Slice(Flash(), from, count); }
    bool Shown(const std::string& text) const {
        return std::find(panel.statusHistory.begin(), panel.statusHistory.end(), text) != panel.statusHistory.end();
    }
    std::vector<DirectWrite> DirectWrites() const {
        std::vector<DirectWrite> writes;
        for (const sim::LogEntry& e : host.Log()) {
            if (e.cdb.size() > 11 && e.cdb[0] == 0xDF && e.cdb[11] == 0xFB) {
                writes.push_back({(std::uint32_t{e.cdb[8]} << 16) | (std::uint32_t{e.cdb[9]} << 8) | e.cdb[10],
                                  (std::uint32_t{e.cdb[3]} << 8) | e.cdb[4], e.cdb[1] == 1});
            }
        }
        return writes;
    }
    std::vector<std::uint32_t> ErasedAt() const {
        std::vector<std::uint32_t> at;
        for (const DirectWrite& w : DirectWrites()) {
            if (w.erase) at.push_back(w.address);
        }
        return at;
    }
    bool LongestCommandWithin256() const {
        for (const sim::LogEntry& e : host.Log()) {
            if (e.cdb.size() > 11 && e.cdb[0] == 0xDF && e.length > 256) return false;
        }
        return true;
    }
    void Fail(std::vector<std::uint8_t> prefix, int nth, sim::FaultKind kind, DataDirection phase) {
        sim::FaultRule rule;
        rule.prefix = std::move(prefix);
        rule.nth = nth;
        rule.kind = kind;
        rule.dataPhase = phase;
        host.AddFault(rule);
    }
};

void ExpectPowerCycleMessage(const Bench& bench) {
    ASSERT_EQ(1u, bench.panel.messages.size());
    EXPECT_EQ("Message", bench.panel.messages[0].title);
    EXPECT_EQ(kPowerCycleText, bench.panel.messages[0].text);
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
    Bench bench;
    const Bytes file = FileImage(c.fileSize);
    bench.panel.firmwareFile = bench.dir.Write("fw.bin", file);
    ASSERT_EQ(1, bench.Run());
    EXPECT_EQ("Programming Success!!", bench.panel.status);
    ExpectPowerCycleMessage(bench);
    EXPECT_EQ(256, Geometry().ProgramChunk);

    Bytes expected = file;
    expected.resize(c.imageSize, 0);  // zeros behind the file's end
    if (c.imageSize <= kNvramAt) {
        // The second half, the NVRAM with it, is never touched.
        expected.insert(expected.end(), bench.before.begin() + static_cast<long>(c.imageSize), bench.before.end());
    } else {
        expected.resize(kFlash, 0xFF);  // the rest of the erased second half
    }
    EXPECT_EQ(expected, bench.Flash());

    const std::vector<DirectWrite> writes = bench.DirectWrites();
    EXPECT_EQ(c.imageSize / 256, writes.size());
    EXPECT_TRUE(std::all_of(writes.begin(), writes.end(), [](const DirectWrite& w) { return w.length == 256; }));
    EXPECT_EQ(c.erasedAt, bench.ErasedAt());
    EXPECT_TRUE(bench.LongestCommandWithin256());
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, ProgramPage,
    ::testing::Values(ProgramCase{"ShortFileKeepsTheNvram", 20000, 0x8000, {0}},
                      ProgramCase{"ExactlyTheFirstHalf", 0x8000, 0x8000, {0}},
                      ProgramCase{"LongerFileReachesTheSecondHalf", 40000, 40192, {0, 0x8000}},
                      ProgramCase{"WholeFlash", kFlash, kFlash, {0, 0x8000}}),
    [](const ::testing::TestParamInfo<ProgramCase>& info) { return std::string(info.param.name); });

TEST(WritePage, DotsAfterThePiecesEndingAt256And2304) {
    Bench bench;
    Geometry().ProgramChunk = 256;
    const Bytes data = FileImage(4096);
    ProcedureContext ctx{bench.state, bench.panel, bench.Path()};
    bench.panel.status = "x";
    ASSERT_EQ(1, WritePageBlocks(ctx, 0, data.data(), static_cast<std::uint32_t>(data.size())));
    EXPECT_EQ("x..", bench.panel.status);
    EXPECT_EQ(data, bench.FlashRange(0, data.size()));
    EXPECT_EQ(0, WritePageBlocks(ctx, 0, data.data(), 0));
}

TEST(ErasePage, ErasesAllButTheNvramAndAsksForThePowerCycle) {
    Bench bench;
    bench.panel.rdVersion = true;
    bench.panel.eraseOnly = true;
    bench.panel.backupOnly = true;  // erase-only wins
    ASSERT_EQ(1, bench.Run());
    EXPECT_EQ("Erase flash all success!", bench.panel.status);
    ExpectPowerCycleMessage(bench);
    Bytes expected(kFlash, 0xFF);
    std::copy_n(bench.before.begin() + static_cast<long>(kNvramAt), kNvram, expected.begin() + static_cast<long>(kNvramAt));
    EXPECT_EQ(expected, bench.Flash());
    EXPECT_EQ((std::vector<std::uint32_t>{0, 0x8000, 0x8000}), bench.ErasedAt()) << "two erases, then the write-back";
    EXPECT_TRUE(bench.LongestCommandWithin256());
}

TEST(BackupPage, WritesTheWholeFlashWhateverTheNvramBoxShows) {
    for (const bool include : {false, true}) {
        Bench bench;
        bench.panel.rdVersion = true;
        bench.panel.backupOnly = true;
        bench.panel.includeNvram = include;
        bench.panel.backupFile = bench.dir.File("b.bin");
        ASSERT_EQ(1, bench.Run());
        EXPECT_EQ(bench.before, ReadWholeFile(bench.panel.backupFile));
        EXPECT_EQ(bench.before, bench.Flash());
        EXPECT_TRUE(bench.panel.messages.empty());
        EXPECT_TRUE(bench.LongestCommandWithin256());
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
    Bench bench;
    if (c.run == Run::Erase) {
        bench.panel.rdVersion = true;
        bench.panel.eraseOnly = true;
    } else {
        bench.panel.firmwareFile = bench.dir.Write("fw.bin", FileImage(c.fileSize));
    }
    bench.Fail(c.prefix, c.nth, c.kind, c.phase);
    EXPECT_EQ(0, bench.Run());
    EXPECT_EQ(c.status, bench.panel.status) << "the failing step's text stays";
    EXPECT_FALSE(bench.Shown("Programming Success!!"));
    // An erase run says its erase commands went through before it checks
    // the flash blank and writes the NVRAM back; the failing step's text
    // follows it.
    if (c.run != Run::Erase || std::string(c.status) == "Erase flash command fail!") {
        EXPECT_FALSE(bench.Shown("Erase flash all success!"));
    }
    ExpectPowerCycleMessage(bench);
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
    Bench bench;
    bench.panel.firmwareFile = bench.dir.File("missing.bin");
    EXPECT_EQ(0, bench.Run());
    EXPECT_EQ("Open File Error!!", bench.panel.status);
    EXPECT_TRUE(bench.panel.messages.empty());
    EXPECT_TRUE(bench.DirectWrites().empty());
    EXPECT_EQ(bench.before, bench.Flash());
}

}  // namespace
}  // namespace v62x
