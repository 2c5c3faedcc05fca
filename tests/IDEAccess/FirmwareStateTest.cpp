#include "IDEAccess/CommandSession.h"
#include "IDEAccess/FirmwareState.h"

#include <gtest/gtest.h>

#include <cstring>

#include "IDEAccess/DiskCommands.h"
#include "support/RuleHost.h"

namespace v62x {
namespace {

using test::RuleHost;
using Bytes = RuleHost::Bytes;

Bytes MemoryRead(std::uint16_t address, std::uint16_t length) {
    return {0xDF, 0x10, 0x00, static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(length),
            0x00, static_cast<std::uint8_t>(address >> 8), static_cast<std::uint8_t>(address)};
}

Bytes Block(const Bytes& signature, const char* code, std::size_t size = 10, std::size_t at = 0) {
    Bytes b(size, 0);
    std::copy(signature.begin(), signature.end(), b.begin() + static_cast<long>(at));
    std::memcpy(b.data() + at + 4, code, 3);
    return b;
}

const Bytes kAA = {0x55, 0xAA, 0xAA, 0x55};
const Bytes kVR = {0x55, 0xAA, 0x56, 0x52};
const Bytes kDirect1000 = {0xDF, 0x10, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0xFA};
const Bytes kBlock4000 = {0xFF, 0x04, 0x10, 0x00, 0x40, 0x00};
const Bytes kDirectBC00 = {0xDF, 0x10, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0xBC, 0x00, 0xFA};

struct Case {
    const char* what;
    std::uint8_t kind;
    std::string version;
    int flashType;
    Bytes flags7038;   // 4 bytes, empty: the read fails
    Bytes flags70F0;
    std::vector<std::pair<Bytes, Bytes>> answers;  // prefix -> data
    int result;
    bool readsSignature;
};

TEST(IsFlashFirmwareActive, VersionTable) {
    const Bytes on0 = {0, 0, 0x01, 0}, on2 = {0, 0, 0x04, 0}, on4 = {0, 0, 0x10, 0}, off = {0, 0, 0xEA, 0};
    const std::vector<Case> cases = {
        {"kind 2 is not listed: 1 without a command", 2, "1.07", 0, {}, {}, {}, 1, false},
        {"kind 4 valid", 4, "2.00", 0, on0, {}, {{MemoryRead(0xC000, 10), Block(kAA, "624")}}, 1, true},
        {"kind 4 wrong code", 4, "2.00", 0, on0, {}, {{MemoryRead(0xC000, 10), Block(kAA, "641")}}, 0, true},
        {"kind 4 flag clear", 4, "2.00", 0, off, {}, {{MemoryRead(0xC000, 10), Block(kAA, "624")}}, 0, false},
        {"kind 4 flag read fails", 4, "2.00", 0, {}, {}, {{MemoryRead(0xC000, 10), Block(kAA, "624")}}, 0, false},
        {"kind 6 uses bit 2", 6, "1.00", 0, on2, {}, {{MemoryRead(0xC000, 10), Block(kAA, "641")}}, 1, true},
        {"kind 6 with bit 0 only", 6, "1.00", 0, on0, {}, {{MemoryRead(0xC000, 10), Block(kAA, "641")}}, 0, false},
        {"kind 8 internal version: no flash read", 8, "7.07.00.16.00", 5, on2, {}, {{kDirect1000, Block(kAA, "645")}}, 0, false},
        {"kind 8 version differing in one character reads flash", 8, "7.07.00.16.01", 5, on2, {}, {{kDirect1000, Block(kAA, "645", 1024)}}, 1, true},
        {"kind 9 with code 644", 9, "1.02.03.04.05", 5, on2, {}, {{kDirect1000, Block(kAA, "644", 1024)}}, 1, true},
        {"kind 8 bad signature", 8, "1.02.03.04.05", 5, on2, {}, {{kDirect1000, Block(kVR, "645", 1024)}}, 0, true},
        {"kind 11 bit 4", 11, "1.02.03.04.05", 5, on4, {}, {{kDirect1000, Block(kAA, "751", 1024)}}, 1, true},
        {"kind 11 internal version", 11, "5.13.11.16.00", 5, on4, {}, {{kDirect1000, Block(kAA, "751", 1024)}}, 0, false},
        {"kind 13 block read at 0x4000", 13, "1.00.00", 0, on0, {}, {{kBlock4000, Block(kVR, "715", 1024)}}, 1, true},
        {"kind 15 expects 624", 15, "1.00.00", 0, on0, {}, {{kBlock4000, Block(kVR, "624", 1024)}}, 1, true},
        {"kind 15 rejects 715", 15, "1.00.00", 0, on0, {}, {{kBlock4000, Block(kVR, "715", 1024)}}, 0, true},
        {"kind 13 internal 0.160.144", 13, "0.160.144", 0, on0, {}, {{kBlock4000, Block(kVR, "715", 1024)}}, 0, false},
        {"kind 12 with flash type 0", 12, "01.02.03.04", 0, {}, {0, 0, 0, 0x01}, {}, 1, false},
        {"kind 12 flag clear", 12, "01.02.03.04", 5, {}, {0, 0, 0, 0x00}, {}, 0, false},
        {"kind 12 internal version", 12, "49.48.48.49", 5, {}, {0, 0, 0, 0x01}, {}, 0, false},
        {"kind 12 status byte 19 itself", 12, "01.02.03.04", 5, {}, {0, 0, 0, 0x01},
         {{{0xFF, 0x04, 0xA0, 0x14}, [] { Bytes s(20, 0); s[8] = 0xD0; s[19] = 0x5A; return s; }()}}, 0x5A, false},
        {"kind 12 signature at 0xBFF0", 12, "01.02.03.04", 5, {}, {0, 0, 0, 0x01},
         {{kDirectBC00, Block(kAA, "735", 1024, 1008)}}, 1, true},
        {"kind 12 signature elsewhere", 12, "01.02.03.04", 5, {}, {0, 0, 0, 0x01},
         {{kDirectBC00, Block(kAA, "735", 1024, 0)}}, 0, true},
    };
    for (const Case& c : cases) {
        RuleHost host;
        CommandSession scoped(host);
        if (!c.flags7038.empty()) host.Answer(MemoryRead(0x7038, 4), c.flags7038);
        if (!c.flags70F0.empty()) host.Answer(MemoryRead(0x70F0, 4), c.flags70F0);
        for (const auto& [prefix, data] : c.answers) host.Answer(prefix, data);
        EXPECT_EQ(c.result, IsFlashFirmwareActive("/dev/sg1", c.kind, c.version, c.flashType)) << c.what;
        const bool signatureRead = !host.SentWith(MemoryRead(0xC000, 10)).empty() ||
                                   !host.SentWith(kDirect1000).empty() || !host.SentWith(kBlock4000).empty() ||
                                   !host.SentWith(kDirectBC00).empty();
        EXPECT_EQ(c.readsSignature, signatureRead) << c.what;
        if (c.kind == 2) {
            EXPECT_TRUE(host.sent.empty()) << c.what;
        }
    }
}

struct LbaCase {
    const char* what;
    std::uint8_t kind;
    Bytes capacity;     // READ CAPACITY(10) answer, empty: fails
    Bytes status;       // 18-byte status record, empty: fails
    Bytes mark;         // bridge memory 0xC000
    std::uint64_t sectors;  // identify count (28-bit unless above)
    Bytes areaBlock;    // answer of the 4-block read, empty: fails
    std::uint32_t result;
    Bytes readPrefix = {};  // the 4-block read expected
};

Bytes Identify(std::uint64_t sectors) {
    Bytes id(512, 0);
    auto put = [&id](int word, std::uint16_t v) {
        id[2 * word] = static_cast<std::uint8_t>(v);
        id[2 * word + 1] = static_cast<std::uint8_t>(v >> 8);
    };
    if (sectors < 0x0FFFFFFF) {
        put(60, static_cast<std::uint16_t>(sectors));
        put(61, static_cast<std::uint16_t>(sectors >> 16));
    } else {
        put(60, 0xFFFF);
        put(61, 0x0FFF);
        for (int w = 0; w < 4; ++w) put(100 + w, static_cast<std::uint16_t>(sectors >> (16 * w)));
    }
    return id;
}

Bytes Status(std::uint8_t b8, std::uint8_t b16, std::uint8_t b17) {
    Bytes s(18, 0);
    s[8] = b8;
    s[16] = b16;
    s[17] = b17;
    return s;
}

Bytes AreaWith(std::uint32_t v) {
    Bytes b(2048, 0);
    b[151] = static_cast<std::uint8_t>(v >> 24);
    b[152] = static_cast<std::uint8_t>(v >> 16);
    b[153] = static_cast<std::uint8_t>(v >> 8);
    b[154] = static_cast<std::uint8_t>(v);
    return b;
}

TEST(DiskFirmwareArea, FirmwareLbaRules) {
    const Bytes cap1000 = {0x00, 0x00, 0x03, 0xE8, 0x00, 0x00, 0x02, 0x00};
    const Bytes markOn = {0x55, 0xAA, 0, 0}, markOff = {0, 0, 0, 0};
    const std::uint64_t large = 0x1'0000'0200ULL;
    const std::vector<LbaCase> cases = {
        {"absent, small, flag set: last + 1", 14, cap1000, Status(0xD0, 0, 1), markOff, 2000, {}, 1001},
        {"absent, small, flag clear: last", 14, cap1000, Status(0xD0, 0, 0), markOff, 2000, {}, 1000},
        {"absent, large: sectors - 1", 14, cap1000, Status(0xD0, 0, 0), markOff, large, {}, 0x000001FF},
        {"absent, large, flag: sectors", 14, cap1000, Status(0xD0, 0, 1), markOff, large, {}, 0x00000200},
        {"present, stored address", 14, cap1000, Status(0xD0, 0, 1), markOn, 2000, AreaWith(0x12345678), 0x12345678,
         {0x28, 0x00, 0x00, 0x00, 0x03, 0xE9, 0x00, 0x00, 0x04}},
        {"present, stored zero: last + 1 + 0x101", 14, cap1000, Status(0xD0, 0, 1), markOn, 2000, AreaWith(0), 1000 + 1 + 0x101},
        {"present, large, read at the sector count", 14, cap1000, Status(0xD0, 0, 0), markOn, large, AreaWith(0x00ABCDEF), 0x00ABCDEF,
         {0x88, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x04}},
        {"present, large, stored zero: low half of sectors + 0x101", 14, cap1000, Status(0xD0, 0, 0), markOn, large, AreaWith(0), 0x00000301},
        {"present, read fails: as absent", 14, cap1000, Status(0xD0, 0, 1), markOn, 2000, {}, 1001},
        {"kind 12 is never present", 12, cap1000, Status(0xD0, 0, 0), markOn, 2000, AreaWith(0x42), 1000},
        {"kind 15 present by status byte 16", 15, cap1000, Status(0xD0, 1, 0), markOff, 2000, AreaWith(0x4E9), 0x4E9},
        {"kind 15 with status byte 8 zero is absent", 15, cap1000, Status(0x00, 1, 0), markOn, 2000, AreaWith(0x42), 1000},
    };
    for (const LbaCase& c : cases) {
        RuleHost host;
        CommandSession scoped(host);
        if (!c.capacity.empty()) host.Answer({0x25}, c.capacity);
        if (!c.status.empty()) host.Answer({0xFF, 0x04, 0xA0, 0x12}, c.status);
        host.Answer(MemoryRead(0xC000, 4), c.mark);
        host.Answer({0xDF, 0x10, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xA0, 0xEC}, Identify(c.sectors));
        if (!c.areaBlock.empty()) {
            host.Answer({0x28}, c.areaBlock);
            host.Answer({0x88}, c.areaBlock);
        }
        EXPECT_EQ(c.result, GetDiskFirmwareLba("/dev/sg1", 512, c.kind)) << c.what;
        if (!c.readPrefix.empty()) {
            EXPECT_EQ(1u, host.SentWith(c.readPrefix).size()) << c.what;
        }
    }
}

TEST(DiskFirmwareArea, PresenceAndCapacityFlag) {
    struct Case {
        std::uint8_t kind;
        Bytes mark;
        Bytes status;
        int present;
        int flag;
    };
    const Case cases[] = {
        {5, {0x55, 0xAA, 0, 0}, Status(0xD0, 0, 1), 1, 1},
        {5, {0xAA, 0x55, 0, 0}, Status(0xD0, 0, 2), 0, 0},
        {12, {0x55, 0xAA, 0, 0}, Status(0xD0, 1, 1), 0, 1},
        {15, {0, 0, 0, 0}, Status(0xD0, 1, 0), 1, 0},
        {15, {0x55, 0xAA, 0, 0}, Status(0xD0, 2, 0), 0, 0},
        {14, {}, {}, 0, 0},
    };
    for (const Case& c : cases) {
        RuleHost host;
        CommandSession scoped(host);
        if (!c.mark.empty()) host.Answer(MemoryRead(0xC000, 4), c.mark);
        if (!c.status.empty()) host.Answer({0xFF, 0x04, 0xA0, 0x12}, c.status);
        EXPECT_EQ(c.present, CheckDiskFirmware("/dev/sg1", c.kind)) << int{c.kind};
        EXPECT_EQ(c.flag, CheckCapacityFlag("/dev/sg1")) << int{c.kind};
    }
}

}  // namespace
}  // namespace v62x
