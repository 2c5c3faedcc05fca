#include "IDEAccess/CommandSession.h"
#include "IDEAccess/FlashIdentify.h"

#include <gtest/gtest.h>

#include "support/RuleHost.h"

namespace v62x {
namespace {

using test::FlashAnswers;
using test::RuleHost;
using Bytes = RuleHost::Bytes;

// The tables below list only the answer bytes that matter; a flash clocks
// out as many bytes as the bridge reads, so the rest read as zeros here.
FlashAnswers Whole(FlashAnswers flash) {
    for (auto& [opcode, answer] : flash.queries) answer.resize(std::max<std::size_t>(answer.size(), 6), 0x00);
    for (auto& [key, answer] : flash.idReads) answer.resize(std::max<std::size_t>(answer.size(), 3), 0x00);
    return flash;
}

struct DetectCase {
    const char* what;
    FlashAnswers flash;
    int result;
    FlashProfile expected;  // SizeKB is not checked here
};

TEST(DetectSerialFlash, DecisionTable) {
    const FlashProfile defaults{0xC7, 0xD8, 0x02, 0, 0x20, 0};
    auto typed = [&](std::uint8_t type) {
        FlashProfile p = defaults;
        p.FlashType = type;
        return p;
    };
    FlashProfile sanyo = typed(10);
    sanyo.SectorEraseOp = 0xD7;
    FlashProfile sst{0x60, 0x52, 0xAF, 2, 0x20, 0};
    FlashProfile atmelOld{0x62, 0x52, 0x02, 4, 0x20, 0};
    const std::vector<DetectCase> cases = {
        {"AMIC with continuation code", {{{0x9F, {0x7F, 0x37, 0x20, 0x14}}}}, 1, typed(7)},
        {"AMIC 37 30", {{{0x9F, {0x37, 0x30, 0x12, 0x00}}}}, 1, typed(7)},
        {"ATMEL", {{{0x9F, {0x1F, 0x65, 0x01, 0x00}}}}, 1, typed(4)},
        {"MXIC", {{{0x9F, {0xC2, 0x20, 0x14, 0x00}}}}, 1, typed(5)},
        {"WINBOND", {{{0x9F, {0xEF, 0x30, 0x13, 0x00}}}}, 1, typed(6)},
        {"ST", {{{0x9F, {0x20, 0x20, 0x11, 0x00}}}}, 1, typed(3)},
        {"EON", {{{0x9F, {0x1C, 0x31, 0x14, 0x00}}}}, 1, typed(8)},
        {"ESMT", {{{0x9F, {0x8C, 0x30, 0x11, 0x00}}}}, 1, typed(9)},
        {"PMC", {{{0x9F, {0x7F, 0x9D, 0x7C, 0x00}}}}, 1, typed(1)},
        {"SANYO gets sector erase 0xD7", {{{0x9F, {0x62, 0x06, 0x13, 0x00}}}}, 1, sanyo},
        {"7F 37 is AMIC before 7F 9D is looked at", {{{0x9F, {0x7F, 0x37, 0x9D, 0x00}}}}, 1, typed(7)},
        {"SST answers BF 25 41: only 0x90 finds it",
         {{{0x9F, {0xBF, 0x25, 0x41, 0x00}}, {0x90, {0xFF, 0xFF, 0xFF, 0xBF, 0x41}}}}, 1, sst},
        {"old PMC by 0xAB", {{{0x9F, {0xFF, 0xFF, 0xFF, 0xFF}}, {0xAB, {0xFF, 0xFF, 0xFF, 0x9D, 0x7B}}}}, 1, typed(1)},
        {"old ST by 0xAB", {{{0x9F, {0xFF, 0xFF, 0xFF, 0xFF}}, {0xAB, {0xFF, 0xFF, 0xFF, 0x05}}}}, 1, typed(3)},
        {"old ATMEL by query 0x15", {{{0x9F, {0xFF, 0xFF, 0xFF, 0xFF}}, {0x15, {0x1F, 0x65}}}}, 1, atmelOld},
        {"old ATMEL by ID read 0x15",
         {{{0x9F, {0xFF, 0xFF, 0xFF, 0xFF}}}, {{0x1500, {0x1F, 0x60, 0x00}}}}, 1, atmelOld},
        {"ST by ID read 0xAB with dummies",
         {{{0x9F, {0xFF, 0xFF, 0xFF, 0xFF}}}, {{0xAB03, {0x05, 0x05, 0x05}}}}, 1, typed(3)},
        {"failed 0x90 query goes on to 0xAB",
         {{{0x9F, {0x00, 0x00, 0x00, 0x00}}, {0xAB, {0xFF, 0xFF, 0xFF, 0x9D}}}, {}, {0x90}}, 1, typed(1)},
        {"nothing answers: not identified", {{{0x9F, {0xFF, 0xFF, 0xFF, 0xFF}}}}, 0, defaults},
        {"first query fails: result 1, unknown", {{}, {}, {0x9F}}, 1, defaults},
    };
    for (const DetectCase& c : cases) {
        RuleHost host;
        CommandSession scoped(host);
        test::InstallFlash(host, Whole(c.flash));
        FlashProfile profile;
        EXPECT_EQ(c.result, DetectSerialFlash("/dev/sg1", profile)) << c.what;
        EXPECT_EQ(c.expected.FlashType, profile.FlashType) << c.what;
        EXPECT_EQ(c.expected.ChipEraseOp, profile.ChipEraseOp) << c.what;
        EXPECT_EQ(c.expected.BlockEraseOp, profile.BlockEraseOp) << c.what;
        EXPECT_EQ(c.expected.ProgramOp, profile.ProgramOp) << c.what;
        EXPECT_EQ(c.expected.SectorEraseOp, profile.SectorEraseOp) << c.what;
    }
}

TEST(DetectSerialFlash, StopsQueryingOnceIdentified) {
    RuleHost host;
    CommandSession scoped(host);
    test::InstallFlash(host, Whole({{{0x9F, {0xC2, 0x20, 0x14}}}}));
    FlashProfile profile;
    DetectSerialFlash("/dev/sg1", profile);
    EXPECT_EQ(1u, host.SentWith({0xFF, 0x04, 0x20}).size());
    EXPECT_TRUE(host.SentWith({0xFF, 0x04, 0x15}).empty());
}

struct SizeCase {
    const char* what;
    std::uint8_t type;
    FlashAnswers flash;
    std::uint32_t sizeKB;
};

TEST(DetectFlashSize, DecisionTable) {
    const std::vector<SizeCase> cases = {
        {"MXIC C2 20 14 is 1 MiB", 5, {{{0x9F, {0xC2, 0x20, 0x14}}}}, 1024},
        {"MXIC C2 20 18 is beyond the range", 5, {{{0x9F, {0xC2, 0x20, 0x18}}}}, 64},
        {"MXIC C2 22 10", 5, {{{0x9F, {0xC2, 0x22, 0x10}}}}, 64},
        {"MXIC C2 22 13", 5, {{{0x9F, {0xC2, 0x22, 0x13}}}}, 512},
        {"MXIC C2 24 13 matches no rule", 5, {{{0x9F, {0xC2, 0x24, 0x13}}}}, 64},
        {"WINBOND EF 30 10 stays 64", 6, {{{0x9F, {0xEF, 0x30, 0x10}}}}, 64},
        {"WINBOND EF 30 14", 6, {{{0x9F, {0xEF, 0x30, 0x14}}}}, 1024},
        {"AMIC 7F 37 20 14", 7, {{{0x9F, {0x7F, 0x37, 0x20, 0x14}}}}, 1024},
        {"AMIC 7F 37 20 21", 7, {{{0x9F, {0x7F, 0x37, 0x20, 0x21}}}}, 128},
        {"AMIC 37 30 12", 7, {{{0x9F, {0x37, 0x30, 0x12}}}}, 256},
        {"AMIC 37 30 17 beyond 0x16", 7, {{{0x9F, {0x37, 0x30, 0x17}}}}, 64},
        {"SST BF 25 41", 2, {{{0x9F, {0xBF, 0x25, 0x41}}}}, 2048},
        {"SST BF 25 4A", 2, {{{0x9F, {0xBF, 0x25, 0x4A}}}}, 4096},
        {"SST BF 25 8D matches but is not listed", 2, {{{0x9F, {0xBF, 0x25, 0x8D}}}}, 64},
        {"old SST 0xAB BF 48", 2, {{{0xAB, {0xFF, 0xFF, 0xFF, 0xBF, 0x48, 0xBF}}}}, 64},
        {"old SST 0xAB BF 49", 2, {{{0xAB, {0xFF, 0xFF, 0xFF, 0xBF, 0x49, 0xBF}}}}, 128},
        {"PMC 7F 9D 7D", 1, {{{0x9F, {0x7F, 0x9D, 0x7D}}}}, 256},
        {"PMC 7F 9D 21", 1, {{{0x9F, {0x7F, 0x9D, 0x21}}}}, 128},
        {"old PMC 0xAB 9D 7B", 1, {{{0xAB, {0xFF, 0xFF, 0xFF, 0x9D, 0x7B, 0x9D}}}}, 64},
        {"ST 20 20 16", 3, {{{0x9F, {0x20, 0x20, 0x16}}}}, 4096},
        {"ST 20 20 17 beyond 0x16", 3, {{{0x9F, {0x20, 0x20, 0x17}}}}, 64},
        {"old ST 0xAB FF .. 05", 3, {{{0xAB, {0xFF, 0xFF, 0xFF, 0x05}}}}, 64},
        {"ATMEL 1F 66", 4, {{{0x9F, {0x1F, 0x66, 0x01}}}}, 128},
        {"ATMEL 1F 65", 4, {{{0x9F, {0x1F, 0x65, 0x01}}}}, 64},
        {"old ATMEL 0x15 1F 60", 4, {{{0x15, {0x1F, 0x60}}}}, 128},
        {"EON 1C 31 17", 8, {{{0x9F, {0x1C, 0x31, 0x17}}}}, 8192},
        {"ESMT 8C 30 11", 9, {{{0x9F, {0x8C, 0x30, 0x11}}}}, 128},
        {"ESMT 8C 20 11", 9, {{{0x9F, {0x8C, 0x20, 0x11}}}}, 64},
        {"SANYO 62 with 0xAB 44", 10, {{{0x9F, {0x62, 0x06, 0x13}}, {0xAB, {0xFF, 0xFF, 0xFF, 0x44}}}}, 256},
        {"0xAB 44 without the 62 answer", 10, {{{0x9F, {0x00}}, {0xAB, {0xFF, 0xFF, 0xFF, 0x44}}}}, 64},
        {"type 0 with nothing known stays 64", 0, {{{0x9F, {0xFF, 0xFF, 0xFF, 0xFF}}}}, 64},
    };
    for (const SizeCase& c : cases) {
        RuleHost host;
        CommandSession scoped(host);
        test::InstallFlash(host, Whole(c.flash));
        FlashProfile profile;
        profile.FlashType = c.type;
        EXPECT_EQ(1, DetectFlashSize("/dev/sg1", profile)) << c.what;
        EXPECT_EQ(c.sizeKB, profile.SizeKB) << c.what;
    }
}

TEST(DetectFlashSize, FallbackOnlyWhenTheJedecAnswerFailsOrDoesNotMatch) {
    RuleHost host;
    CommandSession scoped(host);
    test::InstallFlash(host, Whole({{{0xAB, {0xFF, 0xFF, 0xFF, 0xBF, 0x49}}}, {}, {0x9F}}));
    FlashProfile profile;
    profile.FlashType = 2;
    DetectFlashSize("/dev/sg1", profile);
    EXPECT_EQ(128u, profile.SizeKB);
    EXPECT_EQ(1u, host.SentWith({0xFF, 0x04, 0x20, 0x01, 0x01, 0xAB}).size()) << "one 0xAB query serves both rules";
    const auto reads = host.SentWith({0xFF, 0x04, 0x21});
    ASSERT_FALSE(reads.empty());
    EXPECT_EQ(6, reads.back()[8]) << "the size query reads 6 bytes";
}

TEST(DetectFlashSize, UnknownTypeRunsDetectionFirst) {
    RuleHost host;
    CommandSession scoped(host);
    test::InstallFlash(host, Whole({{{0x9F, {0xEF, 0x30, 0x13}}}}));
    FlashProfile profile;
    DetectFlashSize("/dev/sg1", profile);
    EXPECT_EQ(6, profile.FlashType);
    EXPECT_EQ(512u, profile.SizeKB);
}

TEST(FlashProbes, AmicAndAtmelCodes) {
    struct Probe {
        Bytes answer;
        int amic;
        int atmel;
    };
    const Probe probes[] = {
        {{0x7F, 0x37, 0x20, 0x12}, 1, -1}, {{0x7F, 0x37, 0x20, 0x11}, 3, -1},
        {{0x7F, 0x37, 0x20, 0x20}, 4, -1}, {{0x7F, 0x37, 0x20, 0x10}, 5, -1},
        {{0x7F, 0x37, 0x20, 0x22}, -1, -1}, {{0x7F, 0x37, 0x20, 0x21}, -1, -1},
        {{0x7F, 0x37, 0x30, 0x12}, -1, -1}, {{0x1F, 0x65, 0x01, 0x00}, -1, 1},
        {{0x1F, 0x66, 0x01, 0x00}, -1, 2}, {{0x1F, 0x47, 0x01, 0x00}, -1, 0},
        {{0xC2, 0x20, 0x14, 0x00}, -1, -1},
    };
    for (const Probe& p : probes) {
        RuleHost host;
        CommandSession scoped(host);
        test::InstallFlash(host, {{{0x9F, p.answer}}});
        EXPECT_EQ(p.amic, ProbeAmicFlash("/dev/sg1"));
        EXPECT_EQ(p.atmel, ProbeAtmelFlash("/dev/sg1"));
        const auto reads = host.SentWith({0xFF, 0x04, 0x21});
        ASSERT_EQ(2u, reads.size());
        EXPECT_EQ(Bytes(12, 0).size(), reads[0].size());
        EXPECT_TRUE(std::all_of(reads[0].begin() + 3, reads[0].end(), [](std::uint8_t b) { return b == 0; }))
            << "the probe's read carries no length byte";
    }
    RuleHost silent;
    CommandSession scoped(silent);
    test::InstallFlash(silent, {{}, {}, {0x9F}});
    EXPECT_EQ(-1, ProbeAmicFlash("/dev/sg1"));
    EXPECT_EQ(-1, ProbeAtmelFlash("/dev/sg1"));
}

}  // namespace
}  // namespace v62x
