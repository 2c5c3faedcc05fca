// The serial-flash update run end to end against simulated bridges with
// real flash parts: the flash and the backup file byte for byte, the kept
// NVRAM, the kind-12 checksum and second copy, retries, and that a failure
// never loses the NVRAM or ends with a success message.
#include "Fwupdate/SerialFlashUpdate.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "Fwupdate/ChipCheck.h"
#include "Fwupdate/DeviceRefresh.h"
#include "Fwupdate/ImageChecks.h"
#include "support/Bytes.h"
#include "support/ScratchDir.h"
#include "support/SimBridges.h"

namespace v62x {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using test::ReadWholeFile;
using test::Slice;

constexpr std::size_t kNvram = 4096;

std::uint8_t FlashByte(std::size_t i) { return static_cast<std::uint8_t>((i * 7 + (i >> 8) * 13) % 253 + 1); }
std::uint8_t FileByte(std::size_t i) { return static_cast<std::uint8_t>((i * 11 + (i >> 9) * 5) % 251 + 3); }

Bytes FileImage(std::size_t length) {
    Bytes image(length);
    for (std::size_t i = 0; i < length; ++i) image[i] = FileByte(i);
    return image;
}

struct Bench {
    FlashGeometry savedGeometry = Geometry();
    sim::SimulatedHost host;
    ScopedHost scoped{host};
    ToolState state;
    RecordingPanel panel;
    test::ScratchDir dir{"v62x-serialupdate"};
    sim::VirtualDevice* device = nullptr;
    Bytes before;

    Bench(int kind, int revision, const std::string& part, int flashKB) {
        EXPECT_TRUE(dir.ok());
        Geometry() = FlashGeometry{};
        sim::DeviceConfig config = test::BridgeConfig(kind, revision);
        std::string why;
        EXPECT_TRUE(sim::SetFlashPart(config.flash, part, why)) << why;
        device = &host.AddDevice(config);
        Bytes& flash = *device->FlashContents();
        for (std::size_t i = 0; i < flash.size(); ++i) flash[i] = FlashByte(i);
        before = flash;
        RefreshDevices(state.devices);
        ChipCheckRequest request;
        request.listEnabled = true;
        UpdateBtnCheck(state, request, panel);
        EXPECT_EQ(kind, state.id.ChipKind);
        state.id.FlashSizeKB = flashKB;
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
        return SerialFlashUpdate(ctx);
    }
    Bytes& Flash() { return *device->FlashContents(); }
    Bytes FlashRange(std::size_t from, std::size_t count) { return Slice(Flash(), from, count); }
    bool Shown(const std::string& text) const {
        return std::find(panel.statusHistory.begin(), panel.statusHistory.end(), text) != panel.statusHistory.end();
    }
    std::size_t DirectWrites() const {
        std::size_t n = 0;
        for (const sim::LogEntry& e : host.Log()) n += e.cdb.size() > 11 && e.cdb[0] == 0xDF && e.cdb[11] == 0xFB;
        return n;
    }
    void FailWrites(int nth, sim::FaultKind kind) {
        sim::FaultRule rule;
        rule.prefix = {0xDF};
        rule.nth = nth;
        rule.kind = kind;
        rule.dataPhase = DataDirection::Out;
        host.AddFault(rule);
    }
};

void ExpectOnlyMessage(const Bench& bench, const std::string& text) {
    ASSERT_EQ(1u, bench.panel.messages.size());
    EXPECT_EQ("Message", bench.panel.messages[0].title);
    EXPECT_EQ(text, bench.panel.messages[0].text);
}

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
    Bench bench(c.kind, c.revision, c.part, c.flashKB);
    const Bytes file = FileImage(c.fileSize);
    bench.panel.firmwareFile = bench.dir.Write("fw.bin", file);
    bench.panel.includeNvram = c.includeNvram;
    ASSERT_EQ(1, bench.Run());
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
        ExpectOnlyMessage(bench, kAutoResetText);
        bool removed = false;
        bool arrived = false;
        for (const DeviceEvent& e : bench.host.DrainDeviceEvents()) {
            removed = removed || e.kind == DeviceEventKind::Removal;
            arrived = arrived || (removed && e.kind == DeviceEventKind::Arrival);
        }
        EXPECT_TRUE(removed && arrived) << "the bridge restarts: it leaves and comes back";
    } else {
        ExpectOnlyMessage(bench, kPowerCycleText);
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
    Bench bench(11, 5, "W25X40", 512);
    const Bytes file = FileImage(65536);
    bench.panel.firmwareFile = bench.dir.Write("fw.bin", file);
    bench.panel.includeNvram = true;
    bench.FailWrites(2, sim::FaultKind::ShortTransfer);  // the second piece arrives as zeros
    ASSERT_EQ(1, bench.Run());
    EXPECT_TRUE(bench.Shown("Data compare fail !!"));
    EXPECT_EQ(file, bench.FlashRange(0, file.size()));
    bool smallUnitErase = false;
    for (const sim::LogEntry& e : bench.host.Log()) smallUnitErase = smallUnitErase || (e.cdb[0] == 0xDF && e.cdb[1] == 0x01);
    EXPECT_TRUE(smallUnitErase) << "the second attempt writes in mode 1";
}

TEST(ProgramSerial, ThreeFailedAttemptsFailAndKeepTheNvram) {
    Bench bench(8, 1, "MX25L8005", 1024);
    bench.panel.firmwareFile = bench.dir.Write("fw.bin", FileImage(40000));
    // Every piece without the MXIC flag arrives as zeros: all three attempts
    // fail to verify; the flagged write at address 0 still works.
    for (std::uint8_t code = 0; code <= 3; ++code) {
        sim::FaultRule rule;
        rule.prefix = {0xDF, code};
        rule.kind = sim::FaultKind::ShortTransfer;
        rule.dataPhase = DataDirection::Out;
        bench.host.AddFault(rule);
    }
    EXPECT_EQ(0, bench.Run());
    EXPECT_EQ("Data compare fail !!", bench.panel.status);
    EXPECT_TRUE(bench.panel.messages.empty());
    EXPECT_FALSE(bench.Shown("Programming Success!!"));
    EXPECT_EQ(Slice(bench.before, 0, kNvram), bench.FlashRange(0, kNvram)) << "the kept NVRAM is back";
}

TEST(BackupSerial, Kind12LeavesTheNvramOutUnlessIncluded) {
    for (const bool include : {false, true}) {
        Bench bench(12, 1, "W25X10", 128);
        bench.panel.rdVersion = true;
        bench.panel.backupOnly = true;
        bench.panel.includeNvram = include;
        bench.panel.backupFile = bench.dir.File("b.bin");
        ASSERT_EQ(1, bench.Run());
        EXPECT_EQ(include ? bench.before : Slice(bench.before, 0, 0xC000), ReadWholeFile(bench.panel.backupFile));
    }
}

TEST(BackupSerial, Kind8LeavesTheLeadingNvramOut) {
    Bench bench(8, 1, "MX25L8005", 1024);
    bench.panel.rdVersion = true;
    bench.panel.backupOnly = true;
    bench.panel.eraseOnly = false;
    bench.panel.backupFile = bench.dir.File("b.bin");
    ASSERT_EQ(1, bench.Run());
    EXPECT_EQ(Slice(bench.before, kNvram, 65536 - kNvram), ReadWholeFile(bench.panel.backupFile));
}

TEST(EraseSerial, ABlankFirstReadBackNeedsNoSecondEraseAndKeepsTheNvram) {
    Bench bench(11, 5, "W25X40", 512);
    bench.panel.rdVersion = true;
    bench.panel.eraseOnly = true;
    bench.panel.backupOnly = true;  // erase-only wins
    ASSERT_EQ(1, bench.Run());
    EXPECT_EQ("Erase flash all success!", bench.panel.status);
    EXPECT_EQ(2u, bench.DirectWrites()) << "one erase, one NVRAM write-back";
    EXPECT_EQ(Slice(bench.before, 0, kNvram), bench.FlashRange(0, kNvram));
    EXPECT_EQ(Bytes(65536 - kNvram, 0xFF), bench.FlashRange(kNvram, 65536 - kNvram));
    ExpectOnlyMessage(bench, kPowerCycleText);
}

TEST(EraseSerial, AFailedWriteBackFailsAndTheNvramIsPutBack) {
    Bench bench(12, 1, "W25X10", 128);
    bench.panel.rdVersion = true;
    bench.panel.eraseOnly = true;
    bench.FailWrites(2, sim::FaultKind::CheckCondition);  // the write-back
    EXPECT_EQ(0, bench.Run());
    EXPECT_EQ("Write NVRAM back command fail!", bench.panel.status);
    EXPECT_TRUE(bench.panel.messages.empty());
    EXPECT_EQ(Slice(bench.before, 0xC000, kNvram), bench.FlashRange(0xC000, kNvram));
}

}  // namespace
}  // namespace v62x
