#include "Fwupdate/ChipCheck.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "IDEAccess/Notifier.h"
#include "VirtualBridge/DiskFirmwareArea.h"
#include "support/SimBench.h"

namespace v62x {
namespace {

using test::SimBench;

// A bench whose devices the test adds.
const std::vector<sim::DeviceConfig> kNoDevice;

TEST(ChipClasses, EveryKindHasItsClass) {
    struct Row {
        std::uint8_t kind;
        std::uint8_t revision;
        bool on1394;
        ChipClass cls;
    };
    const Row rows[] = {
        {0, 0, false, ChipClass::Unsupported},       {1, 1, false, ChipClass::BridgeFlash},
        {2, 1, false, ChipClass::ManualFlashChoice}, {3, 1, false, ChipClass::BridgeFlash},
        {4, 1, false, ChipClass::BridgeFlash},       {5, 1, false, ChipClass::DiskFirmware},
        {6, 1, false, ChipClass::BridgeFlash},       {7, 1, false, ChipClass::BridgeFlash},
        {7, 1, true, ChipClass::Serial},             {8, 1, false, ChipClass::Serial},
        {9, 1, false, ChipClass::Serial},            {10, 1, false, ChipClass::SerialGeneration1},
        {11, 1, false, ChipClass::Serial},           {12, 1, false, ChipClass::Serial},
        {13, 2, false, ChipClass::BridgeFlash},      {13, 3, false, ChipClass::SerialGeneration1},
        {14, 1, false, ChipClass::DiskFirmware},     {15, 1, false, ChipClass::SerialGeneration1},
        {16, 0, false, ChipClass::Unsupported},      {19, 0, true, ChipClass::Unsupported},
        {20, 0, false, ChipClass::ManualFlashChoice}, {21, 0, false, ChipClass::Unsupported},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(r.cls, ClassOfKind(r.kind, r.revision, r.on1394)) << int{r.kind} << "/" << int{r.revision};
    }
}

TEST(FlashTypes, NamesAndEraseSizes) {
    struct Row {
        std::int32_t code;
        const char* name;
        std::int32_t block;
        std::int32_t sector;
    };
    const Row rows[] = {{0, "Unknown", 32768, 4096},      {1, "PMC", 32768, 4096},
                        {2, "SST", 32768, 4096},          {3, "ST/EON/MXIC", 65536, 32768},
                        {4, "ATMEL", 65536, 32768},       {5, "MXIC", 65536, 4096},
                        {6, "WINBOND", 65536, 4096},      {7, "AMIC", 65536, 4096},
                        {8, "EON", 65536, 32768},         {9, "ESMT", 65536, 4096},
                        {10, "SANYO", 65536, 4096},       {11, "Unknown", 32768, 4096},
                        {255, "Unknown", 32768, 4096},    {-1, "Unknown", 32768, 4096}};
    for (const Row& r : rows) {
        EXPECT_EQ(r.name, FlashTypeName(r.code)) << r.code;
        EXPECT_EQ(r.block, FlashBlockEraseSize(r.code)) << r.code;
        EXPECT_EQ(r.sector, FlashSectorEraseSize(r.code)) << r.code;
    }
}

TEST(FirmwareVersionText, EveryFormat) {
    struct Row {
        const char* what;
        std::uint8_t kind;
        std::uint32_t arrived;
        bool invert;
        const char* text;
    };
    const std::uint8_t record[16] = {0xF4, 0xE7, 0x56, 0x52, 0x06, 0x45, 7, 5,
                                     '6',  '4',  '5',  '2',  3,    9,    0xFF, 42};
    const Row rows[] = {
        {"12 bytes: two numbers from bytes 6, 7", 4, 12, false, "7.05"},
        {"13 bytes: three numbers from bytes 12..14", 4, 13, false, "3.09.255"},
        {"16 bytes, kind 1", 1, 16, false, "3.09.255"},
        {"kinds 8 and 9: five numbers", 8, 16, false, "7.05.03.09.255"},
        {"kind 9 even with 12 bytes", 9, 12, false, "7.05.03.09.255"},
        {"kind 11: last number signed", 11, 16, false, "7.05.03.09.-01"},
        {"kind 11 with the inverted bit", 11, 16, true, "7.05.03.09.-02"},
        {"kind 10: bytes 10..14 two digits each", 10, 16, false, "53.50.03.09.255"},
        {"kind 12: bytes 12..15", 12, 16, false, "03.09.255.42"},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(r.text, FormatFirmwareVersion(record, r.arrived, r.kind, r.invert)) << r.what;
    }
    EXPECT_EQ("00.00", FallbackFirmwareVersion(0));
    for (std::uint8_t kind : {1, 2, 4}) EXPECT_EQ("02.00", FallbackFirmwareVersion(kind));
    for (std::uint8_t kind : {3, 5, 8, 12, 16, 20}) EXPECT_EQ("01.00", FallbackFirmwareVersion(kind));
}

TEST(ChipCheck, NoCandidateChangesNothingButTheNvramBox) {
    SimBench bench(kNoDevice);
    const ChipView view = bench.Check();
    EXPECT_FALSE(view.checked);
    EXPECT_EQ(std::optional<bool>(false), view.nvram.visible);
    EXPECT_FALSE(view.runEnabled.has_value());
    EXPECT_TRUE(bench.host.Log().empty());
}

TEST(ChipCheck, CandidatesButNothingListedIdentifiesNothing) {
    SimBench bench(kNoDevice);
    bench.host.AddDevice(test::StickConfig());
    const ChipView view = bench.Check();
    EXPECT_FALSE(view.checked);
}

TEST(ChipCheck, SerialBridgeShowsItsFlashAndVersion) {
    SimBench bench(kNoDevice);
    auto config = test::FlashBridge(8, 2, "MX25L8005");
    config.mountPoints = {"/media/a"};
    bench.host.AddDevice(config);
    const ChipView view = bench.Check();
    ASSERT_TRUE(view.checked);
    EXPECT_EQ("VRB644/645 Series", view.chipLabel);
    EXPECT_EQ("MXIC", view.flashType);
    EXPECT_EQ(5, bench.state.id.FlashTypeCode);
    EXPECT_EQ(65536, bench.state.flash.BlockEraseSize);
    EXPECT_EQ(4096, bench.state.flash.SectorEraseSize);
    EXPECT_EQ(std::optional<bool>(true), view.sflashType.visible);
    EXPECT_EQ(std::optional<bool>(true), view.vrs735.visible) << "serial kinds show the disk-firmware box";
    EXPECT_EQ(std::optional<bool>(true), view.nvram.visible);
    EXPECT_EQ(std::optional<bool>(true), view.nvramChecked);
    EXPECT_EQ(std::optional<bool>(false), view.flashTypeList.visible);
    EXPECT_EQ("/media/a", view.drives);
    EXPECT_FALSE(view.version.empty());
    EXPECT_FALSE(view.runEnabled.has_value()) << "no file, no option: Run stays as it is";
}

TEST(ChipCheck, GenerationOneHandsTheOpcodesToTheBridge) {
    SimBench bench(kNoDevice);
    bench.host.AddDevice(test::FlashBridge(10, 1, "W25X40"));
    const ChipView view = bench.Check();
    EXPECT_EQ("WINBOND", view.flashType);
    EXPECT_EQ(512, bench.state.id.FlashSizeKB);
    std::size_t opcodes = 0;
    for (const auto& e : bench.host.Log()) {
        if (e.cdb[0] == 0xFF && e.cdb[2] == 0x24) {
            ++opcodes;
            EXPECT_EQ(0u, e.length) << "kind 10 sends the opcodes without a data phase";
        }
    }
    EXPECT_EQ(1u, opcodes);
}

TEST(ChipCheck, BridgeFlashProbesAtmelFirst) {
    SimBench bench(kNoDevice);
    bench.host.AddDevice(test::FlashBridge(4, 1, "AT25FS010"));
    const ChipView view = bench.Check();
    EXPECT_EQ("ATMEL", view.flashType);
    EXPECT_EQ(2, bench.state.id.AtmelProbe);
    EXPECT_EQ(-1, bench.state.id.AmicProbe);
}

TEST(ChipCheck, ManualFlashChoiceReadsNoFlash) {
    SimBench bench(kNoDevice);
    bench.host.AddDevice(test::FlashBridge(2, 1));
    const ChipView view = bench.Check();
    EXPECT_EQ(std::optional<bool>(true), view.flashTypeList.visible);
    EXPECT_EQ(std::optional<bool>(true), view.flashTypeList.enabled);
    EXPECT_EQ(std::optional<bool>(true), view.a1Chip.enabled);
    EXPECT_EQ(std::optional<bool>(true), view.flashTypeLabel.visible);
    EXPECT_EQ(std::optional<bool>(false), view.sflashType.visible);
    for (const auto& e : bench.host.Log()) {
        EXPECT_FALSE(e.cdb[0] == 0xFF && (e.cdb[2] == 0x20 || e.cdb[2] == 0x23)) << "no flash query";
    }
}

TEST(ChipCheck, UnsupportedAndDiskFirmwareKinds) {
    struct Case {
        const char* what;
        sim::DeviceConfig config;
        std::uint8_t indicator;  // status byte 8, 0: as the chip has it
        bool versionShown;
        const char* status;
    };
    auto kind17 = [] {
        sim::DeviceConfig c;
        sim::BridgeVariant v;
        v.chipText623 = true;
        std::string why;
        EXPECT_TRUE(sim::MakeBridgeConfig(17, 3, v, c, why)) << why;
        return c;
    }();
    const std::vector<Case> cases = {
        {"kind 17 with a chip record", kind17, 0, false, "The chip not support Firmware Update!"},
        {"kind 16 without the record marker", test::FlashBridge(16, 0), 0, false, "Not Velmora Chip!!"},
        {"kind 5 below 0xD0 is unsupported", test::FlashBridge(5, 1), 0xCF, false, "The chip not support Firmware Update!"},
        {"kind 14 at 0xD0 shows its version", test::FlashBridge(14, 1), 0xD0, true, ""},
    };
    for (const Case& c : cases) {
        SimBench bench(kNoDevice);
        sim::DeviceConfig config = c.config;
        if (c.indicator != 0) sim::SetStatusByte(config.answers, 8, c.indicator);
        bench.host.AddDevice(config);
        const ChipView view = bench.Check();
        EXPECT_EQ(c.status, view.status) << c.what;
        EXPECT_EQ(std::optional<bool>(c.versionShown), view.fwVersion.visible) << c.what;
        EXPECT_EQ(std::optional<bool>(false), view.sflashType.visible) << c.what;
    }
}

TEST(ChipCheck, VersionFallbacksWhenTheRecordCannotBeRead) {
    struct Case {
        int kind;
        const char* version;
    };
    for (const Case& c : {Case{1, "02.00"}, Case{4, "02.00"}, Case{3, "01.00"}, Case{12, "01.00"}}) {
        SimBench bench(kNoDevice);
        const std::string path = bench.host.AddDevice(test::FlashBridge(c.kind, 1)).path();
        RefreshDevices(bench.state.devices);
        // The check identifies the chip first (one record read); the second read fails.
        bench.host.AddFault({path, {0xE0, 0xF4, 0xE7}, 2, sim::FaultKind::CheckCondition});
        const ChipView view = UpdateBtnCheck(bench.state, SimBench::Listed(), bench.panel);
        EXPECT_EQ(c.version, view.version) << c.kind;
    }
}

TEST(ChipCheck, RunButtonRule) {
    const auto dir = std::filesystem::temp_directory_path() / "v62x_chipcheck";
    std::filesystem::create_directories(dir);
    const std::string matching = (dir / "k3.bin").string();  // kind 3 accepts every image
    std::ofstream(matching, std::ios::binary) << std::string(32768, '\xFF');
    const std::string missing = (dir / "missing.bin").string();

    struct Case {
        const char* what;
        int kind;
        std::string file;
        bool listEnabled;
        bool eraseOnly;
        std::optional<bool> run;
        std::size_t messages;
    };
    const std::vector<Case> cases = {
        {"matching file enables Run", 3, matching, true, false, true, 0},
        {"mismatching file: message and Run off", 14, matching, true, false, false, 1},
        {"missing file: its own error, no mismatch message", 3, missing, true, false, false, 0},
        {"erase only without a file enables Run", 14, "", true, true, true, 0},
        {"disabled list leaves Run", 3, matching, false, false, std::nullopt, 0},
        {"nothing chosen leaves Run", 3, "", true, false, std::nullopt, 0},
    };
    for (const Case& c : cases) {
        SimBench bench(kNoDevice);
        std::vector<OperatorMessage> notes;
        SetMessageNotifier([&notes](const OperatorMessage& m) { notes.push_back(m); });
        bench.host.AddDevice(test::FlashBridge(c.kind, 1));
        auto request = SimBench::Listed(c.file);
        request.listEnabled = c.listEnabled;
        request.eraseOnly = c.eraseOnly;
        const ChipView view = bench.Check(request);
        SetMessageNotifier({});
        EXPECT_EQ(c.run, view.runEnabled) << c.what;
        ASSERT_EQ(c.messages, bench.panel.messages.size()) << c.what;
        if (c.messages > 0) {
            EXPECT_EQ("The firmware file seems not match this chip!", bench.panel.messages[0].text) << c.what;
            EXPECT_EQ("Message", bench.panel.messages[0].title) << c.what;
        }
        // A second check shows the message again.
        if (c.messages > 0) {
            UpdateBtnCheck(bench.state, request, bench.panel);
            EXPECT_EQ(2u, bench.panel.messages.size()) << c.what;
        }
    }
    std::filesystem::remove_all(dir);
}

TEST(ProbeInvertedBit, StuckScratchBitIsReportedAndTheByteRestored) {
    struct Case {
        bool stuck;
        int result;
    };
    for (const Case& c : {Case{false, 0}, Case{true, 1}}) {
        SimBench bench(kNoDevice);
        auto config = test::FlashBridge(11, 2);
        config.stuck506A = c.stuck;
        auto& device = bench.host.AddDevice(config);
        device.memory()[0x506A] = 0x40;
        EXPECT_EQ(c.result, ProbeInvertedBit(device.path())) << c.stuck;
        // The first value read (0x40, or 0x41 through the stuck bit) goes
        // back, with bit 0 flipped when the bit proved stuck: 0x40 either way.
        EXPECT_EQ(c.stuck ? 0x41 : 0x40, device.memory()[0x506A]) << c.stuck;
    }
}

}  // namespace
}  // namespace v62x
