// The serial-flash routines against simulated chips: what ends up in the
// flash is checked byte by byte.
#include <gtest/gtest.h>

#include <vector>

#include "IDEAccess/FlashCommands.h"
#include "IDEAccess/SerialProgramming.h"
#include "support/SimBench.h"

namespace v62x {
namespace {

using test::Bytes;
using test::Pattern;
using test::SimBench;

// A kind-12 bridge with the flash part `part`, all its bytes `fill`.
std::vector<sim::DeviceConfig> Chip(const std::string& part, std::uint8_t fill = 0xFF) {
    sim::DeviceConfig config = test::FlashBridge(12, 1, part);
    config.flash.fill = fill;
    return {config};
}

TEST(SerialProgrammingOnChips, PageProgramsLandWhereTheyShould) {
    struct Case {
        const char* part;
        int type;
        std::uint32_t address;
        std::uint32_t length;
    };
    const Case cases[] = {
        {"MX25L8005", 5, 0x000000, 20480},  // 32-byte pages, three pieces
        {"W25X40", 6, 0x010000, 8192},
        {"EN25F80", 8, 0x0FE000, 8192},     // the last 8 KiB of the chip
        {"Pm25LV010", 1, 0x001000, 16384},
    };
    for (const Case& c : cases) {
        SimBench chip(Chip(c.part));
        const Bytes data = Pattern(c.length, 0x31);
        EXPECT_EQ(1, SpiProgramRange(chip.Path(), c.address, data.data(), c.length, c.type, false)) << c.part;
        EXPECT_EQ(1, WaitFlashReady(chip.Path())) << c.part;
        EXPECT_EQ(data, chip.FlashRange(c.address, c.length)) << c.part;
        if (c.address > 0) {
            EXPECT_EQ(Bytes(16, 0xFF), chip.FlashRange(c.address - 16, 16)) << c.part << ": nothing before";
        }
    }
}

TEST(SerialProgrammingOnChips, TotalBelowTheChunkWritesNothingAndRemaindersAreDropped) {
    SimBench chip(Chip("W25X40"));
    const Bytes data = Pattern(300, 0x10);
    EXPECT_EQ(0, SpiPageProgram(chip.Path(), 0, data.data(), 100, 256));
    EXPECT_EQ(Bytes(256, 0xFF), chip.FlashRange(0, 256));
    EXPECT_EQ(1, SpiPageProgram(chip.Path(), 0, data.data(), 300, 256));
    WaitFlashReady(chip.Path());
    EXPECT_EQ(Bytes(data.begin(), data.begin() + 256), chip.FlashRange(0, 256));
    EXPECT_EQ(Bytes(44, 0xFF), chip.FlashRange(256, 44)) << "the remainder is not written";
}

TEST(SerialProgrammingOnChips, ProgrammingCanOnlyClearBits) {
    SimBench chip(Chip("MX25L8005", 0xF0));
    const Bytes data(256, 0x0F);
    EXPECT_EQ(1, SpiPageProgram(chip.Path(), 0, data.data(), 256, 32));
    WaitFlashReady(chip.Path());
    EXPECT_EQ(Bytes(256, 0x00), chip.FlashRange(0, 256));
}

TEST(SerialProgrammingOnChips, PageProgramWithoutWriteEnableChangesNothing) {
    SimBench chip(Chip("W25X40"));
    const Bytes data = Pattern(256, 0x00);
    ASSERT_EQ(1, SpiCommand(chip.Path(), SpiWithAddress(1, 0x02, 0x000100)));
    ASSERT_EQ(1, SpiWriteData(chip.Path(), data.data(), 256));
    WaitFlashReady(chip.Path());
    EXPECT_EQ(Bytes(256, 0xFF), chip.FlashRange(0x100, 256));
}

TEST(SerialProgrammingOnChips, ChipEraseThroughTheSerialPath) {
    SimBench chip(Chip("W25X10", 0x00));
    EXPECT_EQ(1, SpiChipErase(chip.Path()));
    // A chip erase outlasts one ready wait on some parts: wait as a procedure would.
    int ready = 0;
    for (int i = 0; i < 4 && ready == 0; ++i) ready = WaitFlashReady(chip.Path());
    EXPECT_EQ(1, ready);
    EXPECT_EQ(Bytes(128 * 1024, 0xFF), chip.FlashRange(0, 128 * 1024));
}

TEST(SerialProgrammingOnChips, SstWordProgrammingOverSeveralPieces) {
    SimBench chip(Chip("SST25VF016B"));
    ASSERT_EQ(1, UnprotectFlash(chip.Path())) << "SST parts power up protected";
    const Bytes data = Pattern(20480, 0x5C);
    EXPECT_EQ(1, SpiProgramRange(chip.Path(), 0, data.data(), 20480, 2, true));
    EXPECT_EQ(1, WaitFlashReady(chip.Path()));
    EXPECT_EQ(data, chip.FlashRange(0, 20480));
    EXPECT_EQ(0, chip.device->serialFlash()->Status() & 0x40) << "word mode ended";
}

TEST(SerialProgrammingOnChips, SstByteProgrammingOverSeveralChunks) {
    SimBench chip(Chip("SST25VF010A"));
    const Bytes data = Pattern(2048, 0x77);
    EXPECT_EQ(1, SpiProgramRange(chip.Path(), 0x2000, data.data(), 2048, 2, false));
    EXPECT_EQ(1, WaitFlashReady(chip.Path()));
    EXPECT_EQ(data, chip.FlashRange(0x2000, 2048));
}

TEST(SerialProgrammingOnChips, WaitsRunOnTheVirtualClock) {
    SimBench chip(Chip("W25X40"));
    chip.device->serialFlash()->SetNeverReady(true);
    const std::uint64_t start = chip.host.NowMs();
    EXPECT_EQ(0, WaitFlashReady(chip.Path()));
    const std::uint64_t waited = chip.host.NowMs() - start;
    EXPECT_GE(waited, 5020u);
    EXPECT_LT(waited, 5400u) << "502 polls of 10 ms and the commands' own time";

    SimBench latch(Chip("W25X40"));
    latch.device->serialFlash()->SetWriteEnableNeverSets(true);
    const std::uint64_t before = latch.host.NowMs();
    EXPECT_EQ(0, UnprotectFlash(latch.Path()));
    EXPECT_GE(latch.host.NowMs() - before, 3010u) << "the latch wait gives up after 300 polls";
}

}  // namespace
}  // namespace v62x
