#include "Fwupdate/StandardFlashUpdate.h"

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

constexpr const char* kSuccessText = "Programming Success!!";
constexpr const char* kClosingText = "Please Turn-Off the Power and Turn-On Again !";

// Old flash contents: never 0xFF, never equal to the new image.
std::uint8_t OldByte(std::size_t i) { return static_cast<std::uint8_t>((i * 7 + (i >> 8) * 13) % 255); }

// A firmware image: no 0x00 or 0xFF bytes, so the zero padding shows.
Bytes Image(std::size_t length) {
    Bytes image(length);
    for (std::size_t i = 0; i < length; ++i) image[i] = static_cast<std::uint8_t>(1 + (i * 31 + (i >> 9)) % 253);
    return image;
}

// A bridge of the kind the dispatcher hands to StandardFlashUpdate, with a
// real flash part, identified as the chip check does it.
struct Bench {
    FlashGeometry savedGeometry = Geometry();
    test::ScratchDir dir{"v62x-standard"};
    sim::SimulatedHost host;
    ScopedHost scoped{host};
    ToolState state;
    RecordingPanel panel;
    sim::VirtualDevice* device = nullptr;

    Bench(int kind, int revision, const std::string& part) {
        EXPECT_TRUE(dir.ok());
        Geometry() = FlashGeometry{};
        sim::DeviceConfig config = test::BridgeConfig(kind, revision);
        std::string why;
        EXPECT_TRUE(sim::SetFlashPart(config.flash, part, why)) << why;
        device = &host.AddDevice(config);
        Bytes& flash = *device->FlashContents();
        for (std::size_t i = 0; i < flash.size(); ++i) flash[i] = OldByte(i);

        RefreshDevices(state.devices);
        ChipCheckRequest request;
        request.listEnabled = true;
        UpdateBtnCheck(state, request, panel);
        EXPECT_EQ(kind, state.id.ChipKind);
        EXPECT_EQ(0, state.id.SstSerialFlag) << "the dispatcher would not come here";
        panel = RecordingPanel{};  // the dispatcher clears the status field
        host.ClearLog();
    }
    ~Bench() { Geometry() = savedGeometry; }
    Bench(const Bench&) = delete;
    Bench& operator=(const Bench&) = delete;

    // Writes the firmware file and names it in the panel.
    Bytes File(std::size_t length) {
        const Bytes image = Image(length);
        panel.firmwareFile = dir.Write("firmware.bin", image);
        return image;
    }
    int Run() {
        ProcedureContext ctx{state, panel, state.devices.records[0].InterfacePath};
        return StandardFlashUpdate(ctx);
    }

    Bytes& Flash() { return *device->FlashContents(); }
    Bytes FlashRange(std::size_t from, std::size_t count) {
        return Bytes(Flash().begin() + static_cast<long>(from), Flash().begin() + static_cast<long>(from + count));
    }
    Bytes OldRange(std::size_t from, std::size_t count) const {
        Bytes old(count);
        for (std::size_t i = 0; i < count; ++i) old[i] = OldByte(from + i);
        return old;
    }
    // Address and length of each flash block command with sub-command `sub`.
    std::vector<std::pair<std::uint32_t, std::uint32_t>> Commands(std::uint8_t sub) const {
        std::vector<std::pair<std::uint32_t, std::uint32_t>> out;
        for (const sim::LogEntry& e : host.Log()) {
            if (e.cdb.size() >= 6 && e.cdb[0] == 0xFF && e.cdb[1] == 0x04 && e.cdb[2] == sub) {
                out.emplace_back((std::uint32_t{e.cdb[3]} << 16) | (std::uint32_t{e.cdb[4]} << 8) | e.cdb[5],
                                 e.length);
            }
        }
        return out;
    }
    std::vector<std::uint32_t> Addresses(std::uint8_t sub) const {
        std::vector<std::uint32_t> out;
        for (const auto& [address, length] : Commands(sub)) out.push_back(address);
        return out;
    }
    bool Traced(const std::string& text) const {
        const auto& traces = host.Traces();
        return std::find(traces.begin(), traces.end(), text) != traces.end();
    }
    bool Showed(const std::string& text) const {
        return std::find(panel.statusHistory.begin(), panel.statusHistory.end(), text) !=
               panel.statusHistory.end();
    }
    void Fail(std::vector<std::uint8_t> prefix, int nth, sim::FaultKind kind = sim::FaultKind::CheckCondition) {
        sim::FaultRule rule;
        rule.prefix = std::move(prefix);
        rule.nth = nth;
        rule.kind = kind;
        host.AddFault(rule);
    }
    // A failed run: no success text, no closing message of any kind.
    void ExpectNoSuccess() const {
        EXPECT_FALSE(Showed(kSuccessText));
        EXPECT_FALSE(Showed("Erase flash all success!"));
        EXPECT_FALSE(Showed("Read flash and backup success!"));
        EXPECT_TRUE(panel.messages.empty());
    }
};

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

void ExpectSuccess(const Bench& bench) {
    EXPECT_EQ(kSuccessText, bench.panel.status);
    ASSERT_EQ(1u, bench.panel.messages.size());
    EXPECT_EQ("Message", bench.panel.messages[0].title);
    EXPECT_EQ(kClosingText, bench.panel.messages[0].text);
}

TEST(StandardFlashUpdate, SmallImageKeepsTheNvramBlock) {
    for (const Bridge& b : kBridges) {
        SCOPED_TRACE(Name(b));
        Bench bench(b.kind, b.revision, b.part);
        const Bytes image = bench.File(20000);
        ASSERT_EQ(1, bench.Run());
        ExpectSuccess(bench);
        EXPECT_EQ(image, bench.FlashRange(0, 20000));
        EXPECT_EQ(Bytes(12768, 0x00), bench.FlashRange(20000, 12768)) << "the padding is written";
        EXPECT_EQ(bench.OldRange(0x8000, 512), bench.FlashRange(0x8000, 512)) << "NVRAM kept";
        using Command = std::pair<std::uint32_t, std::uint32_t>;
        EXPECT_EQ((std::vector<Command>{{0x0000, 8192}, {0x2000, 8192}, {0x4000, 8192}, {0x6000, 8192},
                                        {0x8000, 512}}),
                  bench.Commands(kWrite));
        EXPECT_EQ((std::vector<std::uint32_t>{0x0000}), bench.Addresses(kSectorErase));
        EXPECT_TRUE(bench.Addresses(kChipErase).empty());
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
        Bench bench(b.kind, b.revision, b.part);
        const Bytes image = bench.File(40000);
        ASSERT_EQ(1, bench.Run());
        ExpectSuccess(bench);
        EXPECT_EQ(image, bench.FlashRange(0, 40000));
        EXPECT_EQ(Bytes(960, 0x00), bench.FlashRange(40000, 960));
        EXPECT_EQ((std::vector<std::uint32_t>{0x0000, 0x8000}), bench.Addresses(kSectorErase));
        EXPECT_EQ((std::vector<std::uint32_t>{0x0000, 0x2000, 0x4000, 0x6000, 0x8000}), bench.Addresses(kWrite));
        EXPECT_FALSE(bench.Traced("write NVRAM O.K.\n"));
    }
}

TEST(StandardFlashUpdate, LargeImageIsChipErased) {
    for (const Bridge& b : kBridges) {
        SCOPED_TRACE(Name(b));
        Bench bench(b.kind, b.revision, b.part);
        const Bytes image = bench.File(100000);
        ASSERT_EQ(1, bench.Run());
        ExpectSuccess(bench);
        EXPECT_EQ(image, bench.FlashRange(0, 100000));
        EXPECT_EQ(Bytes(6496, 0x00), bench.FlashRange(100000, 6496)) << "padded to 106,496 bytes";
        EXPECT_EQ(13u, bench.Addresses(kWrite).size());
        EXPECT_EQ(1u, bench.Addresses(kChipErase).size());
        EXPECT_TRUE(bench.Addresses(kSectorErase).empty());
        EXPECT_FALSE(bench.Traced("NVRAM O.K.\n"));
        EXPECT_FALSE(bench.Traced("NVRAM fail\n"));
        // The padded size read twice (blank check, compare), each time in
        // pieces that the USB storage driver passes.
        const std::vector<std::pair<std::uint32_t, std::uint32_t>> pieces = {
            {0u, 65536u}, {65536u, 40960u}, {0u, 65536u}, {65536u, 40960u}};
        EXPECT_EQ(pieces, bench.Commands(kRead));
    }
}

TEST(StandardFlashUpdate, ImagesOfMoreThan255BlocksAreWrittenWhole) {
    // 2 KiB blocks: 600,000 bytes are 293 blocks, past an 8-bit count.
    Bench bench(15, 1, "MX25L8005");
    Geometry().ProgramChunk = 2048;
    const Bytes image = bench.File(600000);
    ASSERT_EQ(1, bench.Run());
    ExpectSuccess(bench);
    EXPECT_EQ(293u, bench.Addresses(kWrite).size());
    EXPECT_EQ(image, bench.FlashRange(0, 600000));
    EXPECT_EQ(Bytes(64, 0x00), bench.FlashRange(600000, 64));
}

TEST(StandardFlashUpdate, SlowChipEraseWarnsAndGoesOn) {
    // The M25P80 erases the chip in 8 s, longer than the ready wait after it.
    Bench bench(3, 1, "M25P80");
    const Bytes image = bench.File(100000);
    ASSERT_EQ(1, bench.Run());
    ExpectSuccess(bench);
    EXPECT_EQ("Not ready after Erase flash success", bench.panel.statusHistory.front());
    EXPECT_TRUE(bench.Showed("Not ready after Erase flash success."))
        << "the dots follow what the status shows";
    EXPECT_EQ(image, bench.FlashRange(0, 100000));
}

TEST(StandardFlashUpdate, EraseOnly) {
    for (const Bridge& b : kBridges) {
        SCOPED_TRACE(Name(b));
        Bench bench(b.kind, b.revision, b.part);
        bench.panel.rdVersion = true;
        bench.panel.eraseOnly = true;
        bench.state.id.EraseOnlyFlag = 1;
        bench.File(20000);
        ASSERT_EQ(1, bench.Run());
        EXPECT_EQ(Bytes(65536, 0xFF), bench.FlashRange(0, 65536));
        EXPECT_EQ("Erase flash all success!", bench.panel.status);
        ASSERT_EQ(1u, bench.panel.messages.size());
        EXPECT_EQ("Message", bench.panel.messages[0].title);
        EXPECT_EQ(kPowerCycleText, bench.panel.messages[0].text);
        EXPECT_EQ("Please Turn-Off the Power and Turn-On Again!", bench.panel.messages[0].text);
        EXPECT_TRUE(bench.Addresses(kWrite).empty());
    }
}

TEST(StandardFlashUpdate, BackupOnly) {
    for (const Bridge& b : kBridges) {
        SCOPED_TRACE(Name(b));
        Bench bench(b.kind, b.revision, b.part);
        bench.panel.rdVersion = true;
        bench.panel.backupOnly = true;
        bench.panel.backupFile = bench.dir.File("old.bin");
        bench.File(20000);
        ASSERT_EQ(1, bench.Run());
        EXPECT_EQ(bench.OldRange(0, 65536), ReadWholeFile(bench.panel.backupFile));
        EXPECT_EQ(bench.OldRange(0, bench.Flash().size()), bench.Flash()) << "the flash is untouched";
        EXPECT_EQ("Read flash and backup success!", bench.panel.status);
        EXPECT_TRUE(bench.panel.messages.empty());
    }
}

TEST(StandardFlashUpdate, OptionsCountOnlyInTheRdVersion) {
    Bench bench(1, 1, "Pm25LV010");
    bench.panel.eraseOnly = true;
    bench.panel.backupOnly = true;
    bench.state.id.EraseOnlyFlag = 1;
    bench.panel.backupFile = bench.dir.File("old.bin");
    const Bytes image = bench.File(20000);
    ASSERT_EQ(1, bench.Run());
    ExpectSuccess(bench);
    EXPECT_EQ(image, bench.FlashRange(0, 20000));
    EXPECT_FALSE(fs::exists(bench.panel.backupFile));
}

TEST(StandardFlashUpdate, EraseOnlyWinsOverBackupOnly) {
    Bench bench(1, 1, "Pm25LV010");
    bench.panel.rdVersion = true;
    bench.panel.backupOnly = true;
    bench.state.id.EraseOnlyFlag = 1;
    bench.panel.backupFile = bench.dir.File("old.bin");
    ASSERT_EQ(1, bench.Run());
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
        Bench bench(1, 1, "Pm25LV010");
        // No AMIC part of the simulator answers these probes; the layout is
        // what the procedure decides from the probe alone.
        bench.state.id.AmicProbe = c.probe;
        const Bytes image = bench.File(c.length);
        ASSERT_EQ(1, bench.Run());
        ExpectSuccess(bench);
        EXPECT_EQ(c.erased, bench.Addresses(kSectorErase));
        EXPECT_EQ(image, bench.FlashRange(0, c.length));
    }
}

TEST(StandardFlashUpdate, UnsupportedAmicFlashStopsBeforeAnyErase) {
    Bench bench(1, 1, "Pm25LV010");
    bench.state.id.AmicProbe = 2;
    bench.File(20000);
    EXPECT_EQ(0, bench.Run());
    EXPECT_EQ("Not Support this AMIC Flash Type!!", bench.panel.status);
    using Command = std::pair<std::uint32_t, std::uint32_t>;
    EXPECT_EQ((std::vector<Command>{{0x8000, 512}}), bench.Commands(kRead)) << "the NVRAM block was read";
    EXPECT_TRUE(bench.Addresses(kSectorErase).empty());
    EXPECT_TRUE(bench.Addresses(kChipErase).empty());
    EXPECT_EQ(bench.OldRange(0, bench.Flash().size()), bench.Flash());
    bench.ExpectNoSuccess();
}

TEST(StandardFlashUpdate, AtmelLatchThatNeverSetsStopsBeforeAnything) {
    Bench bench(4, 1, "AT25FS010");
    ASSERT_NE(-1, bench.state.id.AtmelProbe);
    bench.device->serialFlash()->SetWriteEnableNeverSets(true);
    bench.File(20000);
    EXPECT_EQ(0, bench.Run());
    EXPECT_EQ("Enable ATMEL flash write enable fail!!", bench.panel.status);
    EXPECT_TRUE(bench.Addresses(kSectorErase).empty());
    EXPECT_TRUE(bench.Addresses(kChipErase).empty());
    EXPECT_EQ(bench.OldRange(0, bench.Flash().size()), bench.Flash());
    bench.ExpectNoSuccess();
}

TEST(StandardFlashUpdate, NvramSaveThatFailsIsOnlyTraced) {
    Bench bench(15, 1, "W25X40");  // its 64 KiB erase takes the NVRAM block with it
    bench.Fail(At(kRead, 0x8000), 1);
    const Bytes image = bench.File(20000);
    ASSERT_EQ(1, bench.Run());
    ExpectSuccess(bench);
    EXPECT_TRUE(bench.Traced("NVRAM fail\n"));
    EXPECT_FALSE(bench.Traced("write NVRAM O.K.\n"));
    EXPECT_EQ(4u, bench.Addresses(kWrite).size());
    EXPECT_EQ(image, bench.FlashRange(0, 20000));
}

TEST(StandardFlashUpdate, NvramWrittenBackAfterAFailedBlockWrite) {
    Bench bench(15, 1, "W25X40");
    bench.Fail({0xFF, 0x04, kWrite}, 2);
    bench.File(20000);
    EXPECT_EQ(0, bench.Run());
    EXPECT_EQ("Programming Fail!!", bench.panel.status);
    EXPECT_TRUE(bench.Showed("."));
    EXPECT_FALSE(bench.Showed(".."));
    EXPECT_EQ(bench.OldRange(0x8000, 512), bench.FlashRange(0x8000, 512));
    bench.ExpectNoSuccess();
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
        Bench bench(15, 1, "W25X40");
        if (c.length > 0) {
            bench.File(c.length);
        } else {
            bench.panel.firmwareFile = bench.dir.File("absent.bin");
        }
        if (!c.failing.empty()) {
            sim::FaultRule rule;
            rule.prefix = c.failing;
            rule.nth = c.nth;
            rule.kind = c.kind;
            rule.transferLimit = 16;
            bench.host.AddFault(rule);
        }
        if (c.stuckAddress >= 0) {
            bench.device->serialFlash()->AddStuckBit(static_cast<std::uint32_t>(c.stuckAddress), 7, c.stuckValue);
        }
        EXPECT_EQ(0, bench.Run());
        EXPECT_EQ(c.status, bench.panel.status);
        bench.ExpectNoSuccess();
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
        Bench bench(1, 1, "Pm25LV010");
        bench.device->serialFlash()->SetNeverReady(true);
        bench.panel.rdVersion = c.rd;
        bench.state.id.EraseOnlyFlag = c.eraseOnly ? 1 : 0;
        bench.panel.backupOnly = c.backupOnly;
        bench.panel.backupFile = bench.dir.File("old.bin");
        bench.File(20000);
        EXPECT_EQ(0, bench.Run());
        EXPECT_EQ(c.status, bench.panel.status);
        bench.ExpectNoSuccess();
        EXPECT_FALSE(fs::exists(bench.panel.backupFile));
    }
}

TEST(StandardFlashUpdate, OptionRunsThatFailEndWithoutTheClosingMessage) {
    {
        SCOPED_TRACE("erase only, one byte stays 0x7F");
        Bench bench(7, 1, "Pm25LV010");
        bench.device->serialFlash()->AddStuckBit(0x100, 7, false);
        bench.panel.rdVersion = true;
        bench.state.id.EraseOnlyFlag = 1;
        EXPECT_EQ(0, bench.Run());
        EXPECT_EQ("Data not 0xff !!", bench.panel.status);
        bench.ExpectNoSuccess();
    }
    {
        SCOPED_TRACE("backup only, the read fails");
        Bench bench(13, 2, "Pm25LV010");
        bench.Fail({0xFF, 0x04, kRead}, 0);
        bench.panel.rdVersion = true;
        bench.panel.backupOnly = true;
        bench.panel.backupFile = bench.dir.File("old.bin");
        EXPECT_EQ(0, bench.Run());
        EXPECT_EQ("Read Back to Backup Error!!", bench.panel.status);
        bench.ExpectNoSuccess();
    }
}

TEST(StandardFlashUpdate, FilesTheProcedureDoesNotTake) {
    struct Case {
        const char* what;
        bool directory;
        const char* status;
    };
    for (const Case& c : {Case{"an empty file", false, "Firmware file size error!!"},
                          Case{"a directory", true, "Open File Error!!"}}) {
        SCOPED_TRACE(c.what);
        Bench bench(1, 1, "Pm25LV010");
        if (c.directory) {
            bench.panel.firmwareFile = bench.dir.File("");
        } else {
            bench.File(0);
        }
        EXPECT_EQ(0, bench.Run());
        EXPECT_EQ(c.status, bench.panel.status);
        EXPECT_EQ(bench.OldRange(0, bench.Flash().size()), bench.Flash());
        bench.ExpectNoSuccess();
    }
}

}  // namespace
}  // namespace v62x
