// The window's image checks: CRC-16 of the bank check, the end marker walk,
// the leading NVRAM block, the 8-bit checksum and the kind-12 bank check.
#include "Fwupdate/ImageChecks.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "IDEAccess/Notifier.h"
#include "support/ScratchDir.h"

namespace v62x {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

// Scratch directories of these tests carry their own prefix.
struct ScratchDir : test::ScratchDir {
    ScratchDir() : test::ScratchDir("v62x-imagecheck") {}
};

Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

void Put(Bytes& image, std::size_t at, const Bytes& bytes) { std::memcpy(&image.at(at), bytes.data(), bytes.size()); }

void PutTag(Bytes& image, std::size_t at, const char* tag) {
    Put(image, at, {0x55, 0xAA, 0xAA, 0x55});
    Put(image, at + 4, Text(tag));
}

std::uint8_t Sum(const Bytes& image, std::size_t from, std::size_t to) {
    std::uint8_t sum = 0;
    for (std::size_t i = from; i < to; ++i) sum = static_cast<std::uint8_t>(sum + image[i]);
    return sum;
}

// Sets the byte at `at` so that all bytes of the image sum to zero.
void Balance(Bytes& image, std::size_t at) {
    image.at(at) = 0;
    image[at] = static_cast<std::uint8_t>(-Sum(image, 0, image.size()));
}

std::uint16_t Chip(std::uint8_t kind, std::uint8_t revision) {
    return static_cast<std::uint16_t>(revision << 8 | kind);
}

TEST(ImageCrc16, KnownValues) {
    struct CrcCase {
        const char* what;
        std::string bytes;
        std::uint16_t start;
        std::uint16_t expected;
    };
    // Every group of four is fed back to front, so "43218765" runs the
    // plain CRC over "12345678".
    const std::vector<CrcCase> cases = {
        {"abcd", "abcd", 0, 0x40D7},
        {"a trailing single byte is ignored", "abcde", 0, 0x40D7},
        {"a trailing three bytes are ignored", "abcdxyz", 0, 0x40D7},
        {"reversed groups, start 0", "43218765", 0, 0x9015},
        {"reversed groups, start FFFF", "43218765", 0xFFFF, 0xA12B},
        {"nothing but a partial group keeps the start", "abc", 0x1234, 0x1234},
        {"no bytes keep the start", "", 0xBEEF, 0xBEEF},
    };
    for (const CrcCase& c : cases) {
        const Bytes bytes = Text(c.bytes);
        EXPECT_EQ(c.expected, ImageCrc16(bytes.data(), bytes.size(), c.start)) << c.what;
    }
}

TEST(EndMarker, CandidateWalk) {
    struct MarkerCase {
        const char* what;
        std::string bytes;
        std::size_t expected;
        std::size_t n = 0;  // 0: all of bytes
    };
    const std::string marker("ENDSTR\x55\xAA", 8);
    const std::string fakeMarker("ENDSTR\x55\xAB", 8);
    const std::string zero(1, '\0');
    const std::vector<MarkerCase> cases = {
        {"marker first: its 8 bytes", marker + "tail", 8},
        {"after other bytes, the marker counted", "xyz" + marker + "tail", 11},
        {"ENDSTR with other bytes is ignored, the scan goes on", "ab" + fakeMarker + "cd" + marker, 20},
        {"ENDSTR with other bytes only: none", fakeMarker + "................", 24},
        {"an E inside a candidate starts it again", "EEENDSTR" + marker.substr(6), 10},
        {"a later E inside a candidate starts it again", "EXYZEN" + marker + "..", 14},
        {"an E after a zero byte still starts it again", "E" + zero + marker, 10},
        {"a zero byte ends the restarted candidate", "EXE" + zero + marker + "......", 18},
        {"no E inside a candidate: dropped", "EXXXXXXX" + marker, 16},
        {"no marker: the whole length", "just some bytes, E and ENDSTR", 29},
        {"marker cut off by n", marker, 7, 7},
        {"nothing to walk", "", 0},
    };
    for (const MarkerCase& c : cases) {
        const Bytes bytes = Text(c.bytes);
        const std::size_t n = c.n == 0 ? bytes.size() : c.n;
        EXPECT_EQ(c.expected, FindEndMarker(bytes.data(), n)) << c.what;
    }
}

struct FileCase {
    const char* what;
    std::uint16_t chip;
    std::function<Bytes()> image;
    int expected;
};

void RunFileCases(const std::vector<FileCase>& cases, const std::function<int(const std::string&, std::uint16_t)>& check) {
    ScratchDir dir;
    ASSERT_TRUE(dir.ok());
    std::vector<OperatorMessage> shown;
    SetMessageNotifier([&](const OperatorMessage& m) { shown.push_back(m); });
    for (const FileCase& c : cases) {
        const std::string file = dir.Write("image.bin", c.image());
        EXPECT_EQ(c.expected, check(file, c.chip)) << c.what;
    }
    EXPECT_EQ(0, check(dir.File("missing.bin"), Chip(8, 1))) << "missing file";
    EXPECT_EQ(0, check(dir.File(""), Chip(8, 1))) << "a directory";
    SetMessageNotifier({});
    EXPECT_TRUE(shown.empty()) << "these checks show the operator nothing";
}

Bytes Zeros(std::size_t size) { return Bytes(size, 0); }

TEST(ImageCheckNvramBlock, LeadingBlockAndKind10SettingsBlock) {
    const Bytes settings = {0xE9, 0xAC, 0x67, 0x32, '6', '4', '6', '1'};
    const std::vector<FileCase> cases = {
        {"tag block at 0x1000", 8, [] { Bytes b = Zeros(0x8000); PutTag(b, 0x1000, "6451"); return b; }, 1},
        {"kind 9 shares the code 645", 9, [] { Bytes b = Zeros(0x8000); PutTag(b, 0x1000, "6451"); return b; }, 1},
        {"a tag block at 0 means no leading block", 8,
         [] { Bytes b = Zeros(0x8000); PutTag(b, 0, "6451"); PutTag(b, 0x1000, "6451"); return b; }, 0},
        {"leading block of another chip", 8, [] { Bytes b = Zeros(0x8000); PutTag(b, 0x1000, "6461"); return b; }, 0},
        {"55 AA without AA 55 at 0x1000", 8,
         [] { Bytes b = Zeros(0x8000); Put(b, 0x1000, {0x55, 0xAA, 0, 0, '6', '4', '5'}); return b; }, 0},
        {"file ends inside the tag", 8, [] { Bytes b = Zeros(0x1006); PutTag(b, 0x1000, "64"); return b; }, 0},
        {"kind 0 has no code", 0, [] { Bytes b = Zeros(0x8000); PutTag(b, 0x1000, "6451"); return b; }, 0},
        {"kind 200 has no code", 200, [] { Bytes b = Zeros(0x8000); PutTag(b, 0x1000, "6451"); return b; }, 0},
        {"kind 10: E9 AC 67 32 646 at 0x80", 10, [&] { Bytes b = Zeros(0x8000); Put(b, 0x80, settings); return b; }, 1},
        {"kind 10: also behind a tag block at 0", 10,
         [&] { Bytes b = Zeros(0x8000); PutTag(b, 0, "6461"); Put(b, 0x80, settings); return b; }, 1},
        {"kind 10: fourth byte not 32", 10,
         [&] { Bytes b = Zeros(0x8000); Put(b, 0x80, settings); b[0x83] = 0x33; return b; }, 0},
        {"kind 10: another chip's code", 10,
         [&] { Bytes b = Zeros(0x8000); Put(b, 0x80, settings); b[0x86] = '5'; return b; }, 0},
        {"kind 8 has no settings block", 8, [&] { Bytes b = Zeros(0x8000); Put(b, 0x80, settings); return b; }, 0},
    };
    RunFileCases(cases, [](const std::string& f, std::uint16_t chip) {
        return FileHasNvramBlock(f, static_cast<std::uint8_t>(chip & 0xFF));
    });
}

// An image whose every byte differs from its neighbours, so that a sum over
// the wrong range cannot come out right by chance.
Bytes Pattern(std::size_t size) {
    Bytes b(size);
    for (std::size_t i = 0; i < size; ++i) b[i] = static_cast<std::uint8_t>(i * 7 + i / 251 + 3);
    return b;
}

// A 32 KiB image tagged "624" plus digit, bounded at n, with the end marker
// at `marker` and a sum over 0 .. summedTo - 1 at 0x7FFF.
Bytes Bounded(char digit, std::uint16_t n, std::size_t marker, std::size_t summedTo) {
    Bytes b = Pattern(0x8000);
    Put(b, 0, {0, 0, 0, 0, '6', '2', '4', static_cast<std::uint8_t>(digit)});
    b[12] = static_cast<std::uint8_t>(n >> 8);
    b[13] = static_cast<std::uint8_t>(n);
    for (std::size_t i = 0; i < marker + 8; ++i) {
        if (b[i] == 'E') b[i] = 'F';  // no stray candidates in front of the marker
    }
    Put(b, marker, {'E', 'N', 'D', 'S', 'T', 'R', 0x55, 0xAA});
    b[0x7FFF] = Sum(b, 0, summedTo);
    return b;
}

// An image of a length other than 32 or 64 KiB whose bytes, but for the
// checksum byte at 7FFF and the last byte, sum to zero.
Bytes OddLength(std::size_t size, std::uint8_t checksum) {
    Bytes b = Pattern(size);
    b[0x7FFF] = 0;
    b[size - 1] = 0;
    Balance(b, 0x100);
    b[0x7FFF] = checksum;
    b[size - 1] = 0x33;  // the last byte is never summed
    return b;
}

TEST(ImageCheckChecksum, PositionsLengthsAndBounds) {
    const std::vector<FileCase> cases = {
        {"64 KiB: sum of 0..FFFE at FFFF", 4,
         [] { Bytes b = Pattern(0x10000); b[0xFFFF] = Sum(b, 0, 0xFFFF); return b; }, 1},
        {"64 KiB: wrong byte at FFFF", 4,
         [] { Bytes b = Pattern(0x10000); b[0xFFFF] = static_cast<std::uint8_t>(Sum(b, 0, 0xFFFF) + 1); return b; }, 0},
        {"32 KiB: sum of 0..7FFE at 7FFF", 4,
         [] { Bytes b = Pattern(0x8000); b[0x7FFF] = Sum(b, 0, 0x7FFF); return b; }, 1},
        {"32 KiB: wrong byte at 7FFF", 4,
         [] { Bytes b = Pattern(0x8000); b[0x7FFF] = static_cast<std::uint8_t>(Sum(b, 0, 0x7FFF) - 1); return b; }, 0},
        // Any other length checks at 7FFF and sums up to the next-to-last
        // byte, the checksum byte included: the rest must sum to zero.
        {"64 KiB + 1: checked at 7FFF, not FFFF", 4, [] { return OddLength(0x10001, 0x5A); }, 1},
        {"40000 bytes: checked at 7FFF", 4, [] { return OddLength(40000, 0xC3); }, 1},
        {"40000 bytes: the checksum byte is summed too", 4,
         [] { Bytes b = Zeros(40000); b[0x100] = 0x11; b[0x7FFF] = 0x11; return b; }, 0},
        {"32767 bytes fail whatever they hold", 4, [] { return Zeros(0x7FFF); }, 0},
        {"an empty file fails", 4, [] { return Bytes{}; }, 0},
        {"6243: the sum ends with the end marker", 4, [] { return Bounded('3', 0x100, 0x40, 0x48); }, 1},
        {"6249: the sum ends with the end marker", 4, [] { return Bounded('9', 0x100, 0x40, 0x48); }, 1},
        {"6242: no bound, everything summed", 4, [] { return Bounded('2', 0x100, 0x40, 0x48); }, 0},
        {"624E: not a digit, no bound", 15, [] { return Bounded('E', 0x100, 0x40, 0x48); }, 0},
        {"6243: a marker past the bound is not seen", 4, [] { return Bounded('3', 0x30, 0x40, 0x30); }, 1},
        {"6245: a bound past the file scans what exists", 4,
         [] {
             Bytes b = Zeros(0x8000);
             Put(b, 4, Text("6245"));
             b[12] = 0xFF;
             b[13] = 0xFF;
             Balance(b, 0x20);
             b[0x7FFF] = 0x42;
             return b;
         },
         1},
        {"6245: a marker ending just before the checksum byte", 4,
         [] {
             Bytes b = Pattern(0x8000);
             Put(b, 0, {0, 0, 0, 0, '6', '2', '4', '5'});
             b[12] = 0xFF;
             b[13] = 0xFF;
             for (std::uint8_t& byte : b) byte = byte == 'E' ? 'F' : byte;
             Put(b, 0x7FF7, {'E', 'N', 'D', 'S', 'T', 'R', 0x55, 0xAA});
             b[0x7FFF] = Sum(b, 0, 0x7FFF);
             return b;
         },
         1},
        {"leading block: accepted without summing, even when short", 8,
         [] { Bytes b = Pattern(0x2000); Put(b, 0, {0, 0, 0, 0}); PutTag(b, 0x1000, "6451"); return b; }, 1},
        {"leading block of another chip is summed", 6,
         [] { Bytes b = Pattern(0x8000); Put(b, 0, {0, 0, 0, 0}); PutTag(b, 0x1000, "6451"); b[0x7FFF] = static_cast<std::uint8_t>(Sum(b, 0, 0x7FFF) + 1); return b; }, 0},
    };
    RunFileCases(cases, FileChecksumOk);
}

// A kind-12 bank: a body, the trailer at BFF0 and the CRC at BFFE.
Bytes Bank(const char* code = "7351", const Bytes& signature = {0x55, 0xAA, 0xAA, 0x55}) {
    Bytes b = Pattern(0x10000);
    Put(b, 0xBFF0, signature);
    Put(b, 0xBFF4, Text(code));
    const std::uint16_t crc = ImageCrc16(b.data(), 0xBFFC, 0);
    b[0xBFFE] = static_cast<std::uint8_t>(crc >> 8);
    b[0xBFFF] = static_cast<std::uint8_t>(crc);
    return b;
}

TEST(BankImage, TrailerAndCrc) {
    struct BankCase {
        const char* what;
        Bytes image;
        std::uint8_t kind;
        int expected;
    };
    auto changed = [](Bytes b, std::size_t at) {
        b[at] = static_cast<std::uint8_t>(b[at] ^ 0x01);
        return b;
    };
    const std::vector<BankCase> cases = {
        {"good bank", Bank(), 12, 1},
        {"revision character not compared", Bank("7359"), 12, 1},
        {"CRC right, trailer names another chip", Bank("7511"), 12, 0},
        {"CRC right, signature broken", Bank("7351", {0x55, 0xAA, 0xAA, 0x54}), 12, 0},
        {"a body byte changed", changed(Bank(), 0x1234), 12, 0},
        {"a trailer byte changed", changed(Bank(), 0xBFF9), 12, 0},
        {"low CRC byte wrong", changed(Bank(), 0xBFFF), 12, 0},
        {"high CRC byte wrong", changed(Bank(), 0xBFFE), 12, 0},
        {"BFFC..BFFD are not covered", changed(changed(Bank(), 0xBFFC), 0xBFFD), 12, 1},
        {"the rest of the 64 KiB is not covered", changed(Bank(), 0xC000), 12, 1},
        {"kind 11", Bank(), 11, 0},
        {"kind 0", Bank(), 0, 0},
    };
    for (const BankCase& c : cases) EXPECT_EQ(c.expected, BankImageValid(c.image.data(), c.kind)) << c.what;
}

}  // namespace
}  // namespace v62x
