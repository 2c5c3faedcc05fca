// The serial flash catalogue and the chip model, one chip-select cycle at a
// time: what real parts do with programs, erases, the write-enable latch,
// busy times, page wrap, SST auto-address-increment and block protection.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <set>
#include <string>
#include <vector>

#include "VirtualBridge/SerialFlash.h"

namespace v62x::sim {
namespace {

using Bytes = std::vector<std::uint8_t>;

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// A chip of a catalogue part with a clock of its own.
struct Chip {
    VirtualClock clock;
    SerialFlash flash;

    explicit Chip(const std::string& name, std::uint8_t fill = 0xFF)
        : flash(*FindSerialFlashPart(name), clock, fill) {}

    Bytes Cycle(const Bytes& out, std::size_t read = 0) { return flash.Transact(out, read); }
    void WriteEnable() { Cycle({0x06}); }
    std::uint8_t Status() { return Cycle({0x05}, 1)[0]; }
    void Program(std::uint32_t address, const Bytes& data) {
        Bytes out = {0x02, static_cast<std::uint8_t>(address >> 16),
                     static_cast<std::uint8_t>(address >> 8), static_cast<std::uint8_t>(address)};
        out.insert(out.end(), data.begin(), data.end());
        Cycle(out);
    }
    void Op(std::uint8_t op, std::uint32_t address) {
        Cycle({op, static_cast<std::uint8_t>(address >> 16), static_cast<std::uint8_t>(address >> 8),
               static_cast<std::uint8_t>(address)});
    }
    Bytes Read(std::uint32_t address, std::size_t n) {
        return Cycle({0x03, static_cast<std::uint8_t>(address >> 16),
                      static_cast<std::uint8_t>(address >> 8), static_cast<std::uint8_t>(address)},
                     n);
    }
    // Lets the running operation finish.
    void Settle() { clock.Advance(60'000'000); }
};

TEST(SimSerialFlash, CatalogueIsConsistent) {
    const auto& parts = SerialFlashCatalogue();
    std::set<std::string> names;
    std::set<Bytes> jedec;
    std::set<int> types;
    std::uint32_t smallest = ~0U;
    std::uint32_t largest = 0;
    bool sstWithoutJedec = false;
    bool atmelOnly15 = false;
    for (const SerialFlashPart& p : parts) {
        SCOPED_TRACE(p.name);
        EXPECT_TRUE(names.insert(Lower(p.name)).second) << "name given twice";
        if (!p.jedecId.empty()) {
            EXPECT_TRUE(jedec.insert(p.jedecId).second) << "JEDEC answer given twice";
        }
        types.insert(p.typeCode);
        EXPECT_EQ(0u, p.size & (p.size - 1)) << "size is a power of two";
        smallest = std::min(smallest, p.size);
        largest = std::max(largest, p.size);
        ASSERT_FALSE(p.eraseUnits.empty());
        for (std::size_t i = 0; i < p.eraseUnits.size(); ++i) {
            EXPECT_EQ(0u, p.size % p.eraseUnits[i].size) << "size a multiple of every erase unit";
            if (i > 0) {
                EXPECT_GT(p.eraseUnits[i].size, p.eraseUnits[i - 1].size);
                EXPECT_EQ(0u, p.eraseUnits[i].size % p.eraseUnits[i - 1].size) << "units nested";
            }
            EXPECT_GT(p.eraseUnits[i].busyUs, 0u);
        }
        EXPECT_EQ(0u, p.eraseUnits.front().size % p.pageSize) << "page divides the smallest unit";
        EXPECT_FALSE(p.chipEraseOps.empty());
        EXPECT_GT(p.protectBase, 0u);
        EXPECT_EQ(&p, FindSerialFlashPart(Lower(p.name))) << "found case-insensitively";
        if (p.typeCode == 2 && p.jedecId.empty() && !p.id90.empty()) sstWithoutJedec = true;
        if (p.typeCode == 4 && p.jedecId.empty() && p.id90.empty() && p.idAB.empty() && !p.id15.empty()) {
            atmelOnly15 = true;
        }
    }
    EXPECT_EQ((std::set<int>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}), types);
    EXPECT_TRUE(sstWithoutJedec);
    EXPECT_TRUE(atmelOnly15);
    EXPECT_EQ(64u * 1024, smallest);
    EXPECT_EQ(4u * 1024 * 1024, largest);
    EXPECT_EQ(nullptr, FindSerialFlashPart("W25Q999"));
}

// Identification answers as the chip drives them, with the bytes clocked
// during the address or dummy phase floating at 0xFF.
TEST(SimSerialFlash, IdentificationAnswers) {
    struct Case {
        const char* part;
        Bytes out;
        std::size_t read;
        Bytes expected;
    };
    const Case cases[] = {
        {"MX25L8005", {0x9F}, 4, {0xC2, 0x20, 0x14, 0xC2}},
        {"MX25L8005", {0x90}, 6, {0xFF, 0xFF, 0xFF, 0xC2, 0x13, 0xC2}},
        {"MX25L8005", {0x90, 0x00, 0x00, 0x01}, 2, {0x13, 0xC2}},  // address bit 0: device first
        {"MX25L8005", {0xAB}, 5, {0xFF, 0xFF, 0xFF, 0x13, 0x13}},
        {"SST25VF010A", {0x9F}, 4, {0xFF, 0xFF, 0xFF, 0xFF}},
        {"SST25VF010A", {0x90}, 6, {0xFF, 0xFF, 0xFF, 0xBF, 0x49, 0xBF}},
        {"SST25VF512A", {0xAB}, 6, {0xFF, 0xFF, 0xFF, 0xBF, 0x48, 0xBF}},
        {"AT25F512", {0x15}, 4, {0x1F, 0x65, 0x1F, 0x65}},
        {"AT25F512", {0x9F}, 3, {0xFF, 0xFF, 0xFF}},
        {"AT25F1024", {0xAB, 0, 0, 0}, 3, {0xFF, 0xFF, 0xFF}},
        {"M25P05", {0xAB, 0, 0, 0}, 3, {0x05, 0x05, 0x05}},
        {"M25P05", {0x9F}, 3, {0xFF, 0xFF, 0xFF}},
        {"A25L10P", {0x9F}, 4, {0x7F, 0x37, 0x20, 0x21}},
        {"LE25FW203A", {0xAB}, 4, {0xFF, 0xFF, 0xFF, 0x44}},
        {"Pm25LV512", {0xAB}, 6, {0xFF, 0xFF, 0xFF, 0x9D, 0x7B, 0x9D}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.part);
        Chip chip(c.part);
        EXPECT_EQ(c.expected, chip.Cycle(c.out, c.read));
    }
}

TEST(SimSerialFlash, ProgrammingOnlyClearsBitsAndEraseSetsTheWholeUnit) {
    Chip chip("W25X40", 0x00);
    chip.WriteEnable();
    chip.Op(0x20, 0x12345);  // 4 KiB sector 0x12000..0x12FFF
    EXPECT_TRUE(chip.flash.Busy());
    chip.Settle();
    const auto& c = chip.flash.contents();
    EXPECT_EQ(0x00, c[0x11FFF]);
    EXPECT_TRUE(std::all_of(c.begin() + 0x12000, c.begin() + 0x13000, [](auto b) { return b == 0xFF; }));
    EXPECT_EQ(0x00, c[0x13000]);

    chip.WriteEnable();
    chip.Program(0x12000, {0xF0});
    chip.Settle();
    chip.WriteEnable();
    chip.Program(0x12000, {0x0F});
    chip.Settle();
    EXPECT_EQ(Bytes{0x00}, chip.Read(0x12000, 1));

    chip.WriteEnable();
    chip.Op(0xD8, 0x10000);  // 64 KiB block 0x10000..0x1FFFF
    chip.Settle();
    EXPECT_TRUE(std::all_of(c.begin() + 0x10000, c.begin() + 0x20000, [](auto b) { return b == 0xFF; }));
    EXPECT_EQ(0x00, c[0xFFFF]);
    EXPECT_EQ(0x00, c[0x20000]);

    chip.WriteEnable();
    chip.Cycle({0xC7});
    chip.Settle();
    EXPECT_TRUE(std::all_of(c.begin(), c.end(), [](auto b) { return b == 0xFF; }));
}

TEST(SimSerialFlash, NothingChangesWithoutTheWriteEnableLatch) {
    struct Case {
        const char* name;
        Bytes cycle;
    };
    const Case cases[] = {
        {"page program", {0x02, 0x00, 0x10, 0x00, 0x12, 0x34}},
        {"sector erase", {0x20, 0x00, 0x10, 0x00}},
        {"block erase", {0xD8, 0x00, 0x00, 0x00}},
        {"chip erase", {0xC7}},
        {"write status", {0x01, 0x1C}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Chip chip("MX25L8005", 0x5A);
        chip.WriteEnable();
        chip.Cycle({0x04});  // write-disable clears the latch again
        chip.Cycle(c.cycle);
        EXPECT_EQ(0x00, chip.Status());
        EXPECT_TRUE(std::all_of(chip.flash.contents().begin(), chip.flash.contents().end(),
                                [](auto b) { return b == 0x5A; }));
    }
}

TEST(SimSerialFlash, BusyChipHearsOnlyReadStatusForTheDatasheetTime) {
    Chip chip("MX25L8005", 0x00);
    chip.WriteEnable();
    chip.Cycle({0xC7});
    EXPECT_EQ(0x03, chip.Status());  // busy, latch still shown set while erasing
    EXPECT_EQ(Bytes(4, 0xFF), chip.Read(0, 4)) << "a read is not heard";
    EXPECT_EQ(Bytes(3, 0xFF), chip.Cycle({0x9F}, 3));
    chip.Cycle({0x06});
    chip.clock.Advance(8'000'000 - 1);  // the datasheet's 8 s chip erase
    EXPECT_EQ(0x01, chip.Status() & 0x01);
    chip.clock.Advance(1);
    EXPECT_EQ(0x00, chip.Status()) << "ready, and the write-enable sent while busy was ignored";
    EXPECT_EQ(Bytes(4, 0xFF), chip.Read(0, 4));

    chip.WriteEnable();
    chip.Program(0, {0x00});
    chip.clock.Advance(1399);
    EXPECT_EQ(0x01, chip.Status() & 0x01);
    chip.clock.Advance(1);
    EXPECT_EQ(0x00, chip.Status());
}

TEST(SimSerialFlash, PageProgramWrapsInsideItsPage) {
    Chip chip("W25X40");
    Bytes ten(10);
    for (std::size_t i = 0; i < ten.size(); ++i) ten[i] = static_cast<std::uint8_t>(i);
    chip.WriteEnable();
    chip.Program(0x1000 + 250, ten);
    chip.Settle();
    EXPECT_EQ((Bytes{0, 1, 2, 3, 4, 5}), chip.Read(0x1000 + 250, 6));
    EXPECT_EQ((Bytes{6, 7, 8, 9, 0xFF}), chip.Read(0x1000, 5));
    EXPECT_EQ(Bytes{0xFF}, chip.Read(0x1100, 1)) << "the next page is untouched";

    // More than a page: only the last 256 bytes stay, each at its wrapped column.
    Bytes many(300);
    for (std::size_t i = 0; i < many.size(); ++i) many[i] = static_cast<std::uint8_t>(i * 7);
    chip.WriteEnable();
    chip.Program(0x2000, many);
    chip.Settle();
    const Bytes page = chip.Read(0x2000, 256);
    for (std::size_t i = 44; i < 300; ++i) EXPECT_EQ(many[i], page[i % 256]) << i;

    // The 32-byte pages of the MX25L1021E.
    Chip small("MX25L1021E");
    Bytes forty(40, 0x00);
    forty[0] = 0x11;
    forty[39] = 0x22;
    small.WriteEnable();
    small.Program(0x40, forty);
    small.Settle();
    EXPECT_EQ(Bytes{0xFF}, small.Read(0x60, 1));
    EXPECT_EQ(0x22, small.Read(0x40 + 7, 1)[0]) << "byte 39 wrapped to column 7";
    EXPECT_EQ(0x00, small.Read(0x40, 1)[0]) << "byte 0 was overwritten by byte 32";
}

TEST(SimSerialFlash, SstPartsPowerUpProtected) {
    Chip chip("SST25VF010A");
    EXPECT_EQ(0x0C, chip.Status());
    chip.WriteEnable();
    chip.Program(0x100, {0x00});
    chip.Settle();
    EXPECT_EQ(Bytes{0xFF}, chip.Read(0x100, 1)) << "protected";

    chip.WriteEnable();
    chip.Cycle({0x01, 0x00});  // this part needs 0x50 right before a status write
    EXPECT_EQ(0x0C, chip.Status() & 0x0C);
    chip.Cycle({0x50});
    chip.Cycle({0x05}, 1);  // anything in between ends it
    chip.Cycle({0x01, 0x00});
    EXPECT_EQ(0x0C, chip.Status() & 0x0C);
    chip.Cycle({0x50});
    chip.Cycle({0x01, 0x00, 0x00});
    EXPECT_EQ(0x00, chip.Status() & 0x0C);

    chip.WriteEnable();
    chip.Program(0x100, {0x12, 0x34});  // a single byte: the second is ignored
    chip.Settle();
    EXPECT_EQ((Bytes{0x12, 0xFF}), chip.Read(0x100, 2));

    chip.flash.PowerUp();
    EXPECT_EQ(0x0C, chip.Status()) << "protected again after power-up";

    Chip newer("SST25VF016B");
    EXPECT_EQ(0x1C, newer.Status());
    newer.WriteEnable();
    newer.Cycle({0x01, 0x00});  // the latch also enables a status write on this part
    EXPECT_EQ(0x00, newer.Status());
}

TEST(SimSerialFlash, SstByteAutoAddressIncrement) {
    Chip chip("SST25VF010A");
    chip.Cycle({0x50});
    chip.Cycle({0x01, 0x00});
    chip.WriteEnable();
    chip.Cycle({0xAF, 0x00, 0x02, 0x00, 0x11, 0x00});  // first: address and one byte; extra ignored
    EXPECT_EQ(0x03, chip.Status());                   // busy after each byte
    chip.clock.Advance(14);
    EXPECT_EQ(0x02, chip.Status());
    chip.Cycle({0x03, 0, 0, 0}, 1);  // a read in the middle is not heard
    chip.Cycle({0xAF, 0x22});
    chip.clock.Advance(14);
    chip.Cycle({0xAF, 0x33, 0x44});
    chip.clock.Advance(14);
    // Restarting with an address while the sequence runs: the first address
    // byte is taken as the next data byte.
    chip.Cycle({0xAF, 0x00, 0x02, 0x10, 0x55});
    chip.clock.Advance(14);
    chip.Cycle({0x04});
    EXPECT_EQ(0x00, chip.Status());
    EXPECT_EQ((Bytes{0x11, 0x22, 0x33, 0x00, 0xFF}), chip.Read(0x200, 5));

    chip.Cycle({0xAF, 0x44});  // no sequence and no latch: nothing
    EXPECT_EQ(Bytes{0xFF}, chip.Read(0x204, 1));
}

TEST(SimSerialFlash, SstWordAutoAddressIncrement) {
    Chip chip("SST25VF016B");
    chip.WriteEnable();
    chip.Cycle({0x01, 0x00});
    chip.WriteEnable();
    chip.Cycle({0xAD, 0x00, 0x40, 0x01, 0xA1, 0xA2});  // odd address: the word starts at 0x4000
    EXPECT_EQ(0x43, chip.Status());                   // busy, latch, AAI
    chip.clock.Advance(7);
    chip.Cycle({0xAD, 0xB1, 0xB2, 0xB3});             // third data byte ignored
    chip.clock.Advance(7);
    chip.Cycle({0xAD, 0xC1});                         // half a word: ignored
    EXPECT_EQ(0x42, chip.Status());
    chip.Cycle({0x04});
    EXPECT_EQ(0x00, chip.Status());
    EXPECT_EQ((Bytes{0xA1, 0xA2, 0xB1, 0xB2, 0xFF}), chip.Read(0x4000, 5));
}

TEST(SimSerialFlash, StStyleCommandsNeedChipSelectRightAfterTheirLastByte) {
    Chip chip("M25P80", 0x00);
    chip.WriteEnable();
    chip.Cycle({0xD8, 0x00, 0x00, 0x00, 0x00});  // one byte too many: not executed
    EXPECT_EQ(0x02, chip.Status());
    chip.Cycle({0xD8, 0x00, 0x00, 0x00});
    EXPECT_EQ(0x03, chip.Status());
    chip.clock.Advance(600'000);
    EXPECT_EQ(0xFF, chip.Read(0xFFFF, 1)[0]);
    EXPECT_EQ(0x00, chip.Read(0x10000, 1)[0]);
    chip.WriteEnable();
    chip.Cycle({0x20, 0x01, 0x00, 0x00});  // no 4 KiB erase on this part
    EXPECT_EQ(0x02, chip.Status());
    EXPECT_EQ(0x00, chip.Read(0x10000, 1)[0]);
}

TEST(SimSerialFlash, BlockProtectionKeepsTheTopOfTheArray) {
    Chip chip("W25X40", 0x00);
    chip.WriteEnable();
    chip.Cycle({0x01, 0x04});  // BP = 1: the top 64 KiB
    chip.Settle();
    chip.WriteEnable();
    chip.Op(0xD8, 0x70000);
    EXPECT_EQ(0x06, chip.Status()) << "refused, latch kept";
    chip.Op(0xD8, 0x60000);
    chip.Settle();
    EXPECT_EQ(0xFF, chip.Read(0x60000, 1)[0]);
    EXPECT_EQ(0x00, chip.Read(0x70000, 1)[0]);
    chip.WriteEnable();
    chip.Cycle({0xC7});
    EXPECT_EQ(0x06, chip.Status()) << "no chip erase while any block is protected";
}

TEST(SimSerialFlash, Faults) {
    {
        Chip chip("W25X10", 0x00);
        chip.flash.AddStuckBit(0x100, 7, false);
        chip.flash.AddStuckBit(0x101, 0, true);
        EXPECT_EQ((Bytes{0x00, 0x01}), chip.Read(0x100, 2));
        chip.WriteEnable();
        chip.Op(0x20, 0x0000);
        chip.Settle();
        EXPECT_EQ((Bytes{0x7F, 0xFF}), chip.Read(0x100, 2));
        chip.WriteEnable();
        chip.Program(0x100, {0x00, 0x00});
        chip.Settle();
        EXPECT_EQ((Bytes{0x00, 0x01}), chip.Read(0x100, 2));
    }
    {
        Chip chip("W25X10");
        chip.flash.SetNeverReady(true);
        chip.clock.Advance(3'600'000'000ULL);
        EXPECT_EQ(0x01, chip.Status());
        chip.WriteEnable();
        EXPECT_EQ(0x01, chip.Status());
        EXPECT_EQ(Bytes(2, 0xFF), chip.Cycle({0x9F}, 2));
    }
    {
        Chip chip("W25X10");
        chip.flash.SetWriteEnableNeverSets(true);
        chip.WriteEnable();
        EXPECT_EQ(0x00, chip.Status());
        chip.Program(0, {0x00});
        EXPECT_EQ(Bytes{0xFF}, chip.Read(0, 1));
    }
}

TEST(SimSerialFlash, ReadsWrapAtTheEndOfTheArray) {
    Chip chip("AT25F512");
    chip.flash.contents().front() = 0x01;
    chip.flash.contents().back() = 0x02;
    EXPECT_EQ((Bytes{0x02, 0x01}), chip.Read(0xFFFF, 2));
    EXPECT_EQ((Bytes{0x02, 0x01}), chip.Read(0x1FFFF, 2)) << "address bits above the array are not decoded";
}

}  // namespace
}  // namespace v62x::sim
