// The parallel flash parts behind the internal-ROM loader, bus cycle by bus
// cycle: command cycles at the part's own decoded address lines, byte
// program, chip erase, busy times and status polling.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "VirtualBridge/ParallelFlash.h"

namespace v62x::sim {
namespace {

struct Part {
    VirtualClock clock;
    ParallelFlash flash;
    explicit Part(const std::string& name, std::uint8_t fill = 0xFF)
        : flash(*FindParallelFlashPart(name), clock, fill) {}
    void Unlock(std::uint16_t first, std::uint16_t second, std::uint8_t command) {
        flash.Write(first, 0xAA);
        flash.Write(second, 0x55);
        flash.Write(first, command);
    }
};

TEST(SimParallelFlash, CommandCyclesAreDecodedAtThePartsOwnAddressLines) {
    struct Case {
        const char* part;
        std::uint16_t first;
        std::uint16_t second;
        bool programs;
    };
    const Case cases[] = {
        {"AT49BV512", 0x5555, 0x2AAA, true},
        {"AT49BV512", 0x0555, 0x02AA, false},
        {"Pm39LV512", 0x0555, 0x02AA, true},
        {"Pm39LV512", 0x5555, 0x2AAA, true},  // A15..A11 are not decoded: the same cycles
        {"SST39LF512", 0x5555, 0x2AAA, true},
        {"SST39LF512", 0x0555, 0x02AA, false},
        {"SST39LF512", 0x0000, 0x0000, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.part) + " at " + std::to_string(c.first));
        Part part(c.part);
        part.Unlock(c.first, c.second, 0xA0);
        part.flash.Write(0x1234, 0x5A);
        part.clock.Advance(1000);
        EXPECT_EQ(c.programs ? 0x5A : 0xFF, part.flash.Read(0x1234));

        Part erased(c.part, 0x00);
        erased.Unlock(c.first, c.second, 0x80);
        erased.Unlock(c.first, c.second, 0x10);
        erased.clock.Advance(20'000'000);
        EXPECT_EQ(c.programs ? 0xFF : 0x00, erased.flash.Read(0x8000));
    }
}

TEST(SimParallelFlash, BusyForTheDatasheetTimeWithStatusPolling) {
    Part part("AT49BV512", 0x00);
    part.Unlock(0x5555, 0x2AAA, 0x80);
    part.Unlock(0x5555, 0x2AAA, 0x10);
    EXPECT_TRUE(part.flash.Busy());
    // While erasing, DQ7 reads 0 and DQ6 toggles on every read.
    const std::uint8_t a = part.flash.Read(0);
    const std::uint8_t b = part.flash.Read(0);
    EXPECT_EQ(0x00, a & 0x80);
    EXPECT_NE(a & 0x40, b & 0x40);
    part.Unlock(0x5555, 0x2AAA, 0xA0);  // ignored while busy
    part.clock.Advance(10'000'000 - 1);
    EXPECT_TRUE(part.flash.Busy());
    part.clock.Advance(1);
    EXPECT_FALSE(part.flash.Busy());
    EXPECT_TRUE(std::all_of(part.flash.contents().begin(), part.flash.contents().end(),
                            [](auto v) { return v == 0xFF; }));

    part.Unlock(0x5555, 0x2AAA, 0xA0);
    part.flash.Write(0x10, 0x0F);
    EXPECT_EQ(0x80, part.flash.Read(0x10) & 0x80) << "DQ7: complement of the data's bit 7";
    part.clock.Advance(30);
    EXPECT_EQ(0x0F, part.flash.Read(0x10));
    part.Unlock(0x5555, 0x2AAA, 0xA0);
    part.flash.Write(0x10, 0xF0);
    part.clock.Advance(30);
    EXPECT_EQ(0x00, part.flash.Read(0x10)) << "programming only clears bits";
}

TEST(SimParallelFlash, AStrayWriteEndsTheSequence) {
    Part part("SST39LF512");
    part.flash.Write(0x5555, 0xAA);
    part.flash.Write(0x1000, 0x00);
    part.flash.Write(0x2AAA, 0x55);
    part.flash.Write(0x5555, 0xA0);
    part.flash.Write(0x0100, 0x00);
    part.clock.Advance(100);
    EXPECT_EQ(0xFF, part.flash.Read(0x0100));

    // Software identification, then reset.
    part.Unlock(0x5555, 0x2AAA, 0x90);
    EXPECT_EQ(0xBF, part.flash.Read(0));
    EXPECT_EQ(0xD4, part.flash.Read(1));
    part.flash.Write(0, 0xF0);
    EXPECT_EQ(0xFF, part.flash.Read(0));

    // Sector erase (0x30 at the sector address) on the parts that have it.
    Part sectors("SST39LF512", 0x00);
    sectors.Unlock(0x5555, 0x2AAA, 0x80);
    sectors.flash.Write(0x5555, 0xAA);
    sectors.flash.Write(0x2AAA, 0x55);
    sectors.flash.Write(0x3456, 0x30);
    sectors.clock.Advance(18'000);
    EXPECT_EQ(0x00, sectors.flash.Read(0x2FFF));
    EXPECT_EQ(0xFF, sectors.flash.Read(0x3000));
    EXPECT_EQ(0xFF, sectors.flash.Read(0x3FFF));
    EXPECT_EQ(0x00, sectors.flash.Read(0x4000));
}

TEST(SimParallelFlash, Faults) {
    Part part("Pm39LV512");
    part.flash.AddStuckBit(0x20, 3, false);
    part.Unlock(0x555, 0x2AA, 0x80);
    part.Unlock(0x555, 0x2AA, 0x10);
    part.clock.Advance(1'000'000);
    EXPECT_EQ(0xF7, part.flash.Read(0x20));
    part.flash.SetNeverReady(true);
    part.clock.Advance(1'000'000'000);
    EXPECT_TRUE(part.flash.Busy());
}

}  // namespace
}  // namespace v62x::sim
