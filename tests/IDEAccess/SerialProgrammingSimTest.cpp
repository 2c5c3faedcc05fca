// The serial-flash routines against simulated chips: what ends up in the
// flash is checked byte by byte.
#include <gtest/gtest.h>

#include <vector>

#include "IDEAccess/FlashCommands.h"
#include "IDEAccess/SerialProgramming.h"
#include "VirtualBridge/SimulatedHost.h"

namespace v62x {
namespace {

using Bytes = std::vector<std::uint8_t>;

struct Chip {
    sim::SimulatedHost host;
    ScopedHost scoped{host};
    sim::VirtualDevice* device = nullptr;
    std::string path;

    explicit Chip(const std::string& part, std::uint8_t fill = 0xFF) {
        sim::DeviceConfig config;
        std::string why;
        EXPECT_TRUE(sim::MakeBridgeConfig(12, 1, {}, config, why)) << why;
        EXPECT_TRUE(sim::SetFlashPart(config.flash, part, why)) << why;
        config.flash.fill = fill;
        device = &host.AddDevice(config);
        path = device->path();
    }
    Bytes Flash(std::size_t from, std::size_t n) {
        const Bytes& all = *device->FlashContents();
        return Bytes(all.begin() + static_cast<long>(from), all.begin() + static_cast<long>(from + n));
    }
};

Bytes Pattern(std::size_t n, std::uint8_t seed) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(seed + i * 7 + (i >> 8));
    return b;
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
        Chip chip(c.part);
        const Bytes data = Pattern(c.length, 0x31);
        EXPECT_EQ(1, SpiProgramRange(chip.path, c.address, data.data(), c.length, c.type, false)) << c.part;
        EXPECT_EQ(1, WaitFlashReady(chip.path)) << c.part;
        EXPECT_EQ(data, chip.Flash(c.address, c.length)) << c.part;
        if (c.address > 0) {
            EXPECT_EQ(Bytes(16, 0xFF), chip.Flash(c.address - 16, 16)) << c.part << ": nothing before";
        }
    }
}

TEST(SerialProgrammingOnChips, TotalBelowTheChunkWritesNothingAndRemaindersAreDropped) {
    Chip chip("W25X40");
    const Bytes data = Pattern(300, 0x10);
    EXPECT_EQ(0, SpiPageProgram(chip.path, 0, data.data(), 100, 256));
    EXPECT_EQ(Bytes(256, 0xFF), chip.Flash(0, 256));
    EXPECT_EQ(1, SpiPageProgram(chip.path, 0, data.data(), 300, 256));
    WaitFlashReady(chip.path);
    EXPECT_EQ(Bytes(data.begin(), data.begin() + 256), chip.Flash(0, 256));
    EXPECT_EQ(Bytes(44, 0xFF), chip.Flash(256, 44)) << "the remainder is not written";
}

TEST(SerialProgrammingOnChips, ProgrammingCanOnlyClearBits) {
    Chip chip("MX25L8005", 0xF0);
    const Bytes data(256, 0x0F);
    EXPECT_EQ(1, SpiPageProgram(chip.path, 0, data.data(), 256, 32));
    WaitFlashReady(chip.path);
    EXPECT_EQ(Bytes(256, 0x00), chip.Flash(0, 256));
}

TEST(SerialProgrammingOnChips, PageProgramWithoutWriteEnableChangesNothing) {
    Chip chip("W25X40");
    const Bytes data = Pattern(256, 0x00);
    ASSERT_EQ(1, SpiCommand(chip.path, SpiWithAddress(1, 0x02, 0x000100)));
    ASSERT_EQ(1, SpiWriteData(chip.path, data.data(), 256));
    WaitFlashReady(chip.path);
    EXPECT_EQ(Bytes(256, 0xFF), chip.Flash(0x100, 256));
}

TEST(SerialProgrammingOnChips, ChipEraseThroughTheSerialPath) {
    Chip chip("W25X10", 0x00);
    EXPECT_EQ(1, SpiChipErase(chip.path));
    // A chip erase outlasts one ready wait on some parts: wait as a procedure would.
    int ready = 0;
    for (int i = 0; i < 4 && ready == 0; ++i) ready = WaitFlashReady(chip.path);
    EXPECT_EQ(1, ready);
    EXPECT_EQ(Bytes(128 * 1024, 0xFF), chip.Flash(0, 128 * 1024));
}

TEST(SerialProgrammingOnChips, SstWordProgrammingOverSeveralPieces) {
    Chip chip("SST25VF016B");
    ASSERT_EQ(1, UnprotectFlash(chip.path)) << "SST parts power up protected";
    const Bytes data = Pattern(20480, 0x5C);
    EXPECT_EQ(1, SpiProgramRange(chip.path, 0, data.data(), 20480, 2, true));
    EXPECT_EQ(1, WaitFlashReady(chip.path));
    EXPECT_EQ(data, chip.Flash(0, 20480));
    EXPECT_EQ(0, chip.device->serialFlash()->Status() & 0x40) << "word mode ended";
}

TEST(SerialProgrammingOnChips, SstByteProgrammingOverSeveralChunks) {
    Chip chip("SST25VF010A");
    const Bytes data = Pattern(2048, 0x77);
    EXPECT_EQ(1, SpiProgramRange(chip.path, 0x2000, data.data(), 2048, 2, false));
    EXPECT_EQ(1, WaitFlashReady(chip.path));
    EXPECT_EQ(data, chip.Flash(0x2000, 2048));
}

TEST(SerialProgrammingOnChips, WaitsRunOnTheVirtualClock) {
    Chip chip("W25X40");
    chip.device->serialFlash()->SetNeverReady(true);
    const std::uint64_t start = chip.host.NowMs();
    EXPECT_EQ(0, WaitFlashReady(chip.path));
    const std::uint64_t waited = chip.host.NowMs() - start;
    EXPECT_GE(waited, 5020u);
    EXPECT_LT(waited, 5400u) << "502 polls of 10 ms and the commands' own time";

    Chip latch("W25X40");
    latch.device->serialFlash()->SetWriteEnableNeverSets(true);
    const std::uint64_t before = latch.host.NowMs();
    EXPECT_EQ(0, UnprotectFlash(latch.path));
    EXPECT_GE(latch.host.NowMs() - before, 3010u) << "the latch wait gives up after 300 polls";
}

}  // namespace
}  // namespace v62x
