#include "IDEAccess/CommandSession.h"
#include "IDEAccess/SerialProgramming.h"

#include <gtest/gtest.h>

#include "IDEAccess/FlashCommands.h"
#include "support/RuleHost.h"

namespace v62x {
namespace {

using test::RuleHost;
using Bytes = RuleHost::Bytes;

const Bytes kStatus = {0xFF, 0x04, 0x12};
const Bytes kSpi = {0xFF, 0x04, 0x20};
const Bytes kSpiData = {0xFF, 0x04, 0x22};

// Answers the status read with statuses[i] on the i-th read (the last one
// repeats); a negative entry fails that read.
void ScriptStatus(RuleHost& host, std::vector<int> statuses) {
    auto reads = std::make_shared<std::size_t>(0);
    host.On(kStatus, [reads, statuses](const HostRequest&, Bytes& out) {
        const int s = statuses[std::min(*reads, statuses.size() - 1)];
        ++*reads;
        if (s < 0) return false;
        out = {static_cast<std::uint8_t>(s)};
        return true;
    });
}

void AcceptSerial(RuleHost& host) {
    host.Answer(kSpi, {});
    host.Answer(kSpiData, {});
}

std::vector<int> BusyThenReady(int busyReads, int ready = 0x00) {
    std::vector<int> s(static_cast<std::size_t>(busyReads), 0x01);
    s.push_back(ready);
    return s;
}

TEST(WaitFlashReady, BoundedPollingOnTheHostClock) {
    struct Case {
        const char* what;
        std::vector<int> statuses;
        int result;
        unsigned sleptMs;
        std::size_t reads;
    };
    const std::vector<Case> cases = {
        {"ready at once: no sleep", {0x00}, 1, 0, 1},
        {"busy once", BusyThenReady(1), 1, 10, 2},
        {"clears at the 500th re-read", BusyThenReady(500), 1, 5000, 501},
        {"clears at the 501st re-read: too late", BusyThenReady(501), 0, 5010, 502},
        {"never ready: gives up after the 502nd re-read", {0x01}, 0, 5020, 503},
        {"a failed read counts as busy", {-1, -1, 0x00}, 1, 20, 3},
        {"status that never reads", {-1}, 0, 5020, 503},
        {"other bits do not matter", {0xFE}, 1, 0, 1},
    };
    for (const Case& c : cases) {
        RuleHost host;
        CommandSession scoped(host);
        ScriptStatus(host, c.statuses);
        EXPECT_EQ(c.result, WaitFlashReady("/dev/sg1")) << c.what;
        EXPECT_EQ(c.sleptMs, host.sleptMs) << c.what;
        EXPECT_EQ(c.reads, host.SentWith(kStatus).size()) << c.what;
    }
}

TEST(WaitFlashStatus, SetAndClearPollAtMost300Times) {
    struct Case {
        const char* what;
        bool waitForSet;
        std::vector<int> statuses;
        int result;
        unsigned sleptMs;
    };
    std::vector<int> latchAt300(300, 0x00);
    latchAt300.push_back(0x02);
    std::vector<int> latchAt301(301, 0x00);
    latchAt301.push_back(0x02);
    const std::vector<Case> cases = {
        {"latch already set: at once", true, {0x02}, 1, 0},
        {"latch at the 300th poll", true, latchAt300, 1, 3000},
        {"latch at the 301st poll: too late", true, latchAt301, 0, 3010},
        {"failed reads keep the previous value", true, {-1, -1, 0x02}, 1, 20},
        {"clear at once", false, {0x00}, 1, 0},
        {"clear once WEL and BP0 drop", false, {0x06, 0x04, 0x00}, 1, 20},
        {"busy bit alone counts as clear", false, {0x01}, 1, 0},
        {"never clear", false, {0x02}, 0, 3010},
        {"a status that never reads is not clear", false, {-1}, 0, 3010},
    };
    for (const Case& c : cases) {
        RuleHost host;
        CommandSession scoped(host);
        ScriptStatus(host, c.statuses);
        const int result = c.waitForSet ? WaitFlashStatusSet("/dev/sg1", 0x02) : WaitFlashStatusClear("/dev/sg1");
        EXPECT_EQ(c.result, result) << c.what;
        EXPECT_EQ(c.sleptMs, host.sleptMs) << c.what;
    }
}

TEST(UnprotectFlash, RunsAllFourStepsAndReportsAnyFailure) {
    struct Case {
        const char* what;
        bool enableFails;
        std::vector<int> statuses;
        int result;
    };
    const std::vector<Case> cases = {
        {"latch sets, then clears", false, {0x02, 0x00}, 1},
        {"latch never sets", false, {0x00}, 0},
        {"write enable refused", true, {0x02, 0x00}, 0},
        {"status never clears", false, {0x02}, 0},
    };
    for (const Case& c : cases) {
        RuleHost host;
        CommandSession scoped(host);
        AcceptSerial(host);
        if (c.enableFails) host.Refuse({0xFF, 0x04, 0x20, 0x01, 0x00, 0x06});
        ScriptStatus(host, c.statuses);
        EXPECT_EQ(c.result, UnprotectFlash("/dev/sg1")) << c.what;
        EXPECT_EQ(1u, host.SentWith({0xFF, 0x04, 0x20, 0x02, 0x00, 0x01}).size()) << c.what << ": write status always sent";
    }
}

TEST(SerialRoutines, FixedSequences) {
    RuleHost host;
    CommandSession scoped(host);
    AcceptSerial(host);
    EXPECT_EQ(1, SpiChipErase("/dev/sg1"));
    const auto spi = host.SentWith({0xFF, 0x04});
    std::vector<Bytes> expected = {
        {0xFF, 0x04, 0x20, 0x01, 0x00, 0x50, 0, 0, 0, 0, 0, 0},
        {0xFF, 0x04, 0x20, 0x01, 0x01, 0x01, 0, 0, 0, 0, 0, 0},
        {0xFF, 0x04, 0x22, 0, 0, 0, 0, 0x00, 0x02, 0, 0, 0},
        {0xFF, 0x04, 0x20, 0x01, 0x00, 0x06, 0, 0, 0, 0, 0, 0},
        {0xFF, 0x04, 0x20, 0x01, 0x00, 0xC7, 0, 0, 0, 0, 0, 0},
        {0xFF, 0x04, 0x20, 0x01, 0x00, 0x04, 0, 0, 0, 0, 0, 0},
    };
    EXPECT_EQ(expected, spi);
    EXPECT_EQ((Bytes{0x00, 0x00}), host.dataOut[2]) << "write status value 00 00";
    EXPECT_EQ(30u, host.sleptMs) << "10 ms after write status, after write enable, after write disable";
}

TEST(SpiPageProgram, WholeChunksOnly) {
    RuleHost host;
    CommandSession scoped(host);
    AcceptSerial(host);
    Bytes data(300);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i);
    EXPECT_EQ(1, SpiPageProgram("/dev/sg1", 0x010000, data.data(), 300, 256));
    const auto programs = host.SentWith({0xFF, 0x04, 0x20, 0x04, 0x01, 0x02});
    ASSERT_EQ(1u, programs.size());
    EXPECT_EQ((Bytes{0x01, 0x00, 0x00}), Bytes(programs[0].begin() + 6, programs[0].begin() + 9));
    ASSERT_EQ(1u, host.SentWith(kSpiData).size());
    EXPECT_EQ(Bytes(data.begin(), data.begin() + 256), host.dataOut.back());

    RuleHost empty;
    CommandSession scoped2(empty);
    AcceptSerial(empty);
    EXPECT_EQ(0, SpiPageProgram("/dev/sg1", 0, data.data(), 100, 256)) << "below one chunk";
    EXPECT_TRUE(empty.sent.empty());
}

TEST(SpiPageProgram, StopsAtTheFirstFailedStep) {
    RuleHost host;
    CommandSession scoped(host);
    AcceptSerial(host);
    auto writes = std::make_shared<int>(0);
    host.On(kSpiData, [writes](const HostRequest&, Bytes&) { return ++*writes < 2; });
    Bytes data(1024, 0xA5);
    EXPECT_EQ(0, SpiPageProgram("/dev/sg1", 0, data.data(), 1024, 256));
    EXPECT_EQ(2u, host.SentWith(kSpiData).size());
    const auto programs = host.SentWith({0xFF, 0x04, 0x20, 0x04, 0x01, 0x02});
    ASSERT_EQ(2u, programs.size());
    EXPECT_EQ(0x01, programs[1][7]) << "the second chunk went to 0x100";
}

TEST(SpiProgramRange, PiecesAndProgrammingForms) {
    struct Case {
        const char* what;
        int type;
        bool wordMode;
        std::uint32_t length;
        std::size_t pagePrograms;
        std::size_t endings;  // write disables
    };
    const std::vector<Case> cases = {
        {"20 KiB MXIC: 32-byte pages", 5, false, 20480, 640, 0},
        {"20 KiB WINBOND: 256-byte pages", 6, false, 20480, 80, 0},
        // Word programming ends before each restart at a 16 KiB boundary (0, 0x4000) and after the last piece.
        {"20 KiB SST words: ended at restarts and after the third piece", 2, true, 20480, 0, 3},
        // Byte programming ends between its 512-byte chunks and after every piece.
        {"16 KiB SST bytes: ended between chunks and after every piece", 2, false, 16384, 0, 32},
    };
    for (const Case& c : cases) {
        RuleHost host;
        CommandSession scoped(host);
        AcceptSerial(host);
        ScriptStatus(host, {0x00});
        Bytes data(c.length, 0x5A);
        EXPECT_EQ(1, SpiProgramRange("/dev/sg1", 0, data.data(), c.length, c.type, c.wordMode)) << c.what;
        EXPECT_EQ(c.pagePrograms, host.SentWith({0xFF, 0x04, 0x20, 0x04, 0x01, 0x02}).size()) << c.what;
        EXPECT_EQ(c.endings, host.SentWith({0xFF, 0x04, 0x20, 0x01, 0x00, 0x04}).size()) << c.what;
        EXPECT_EQ((c.length + 8191) / 8192, host.SentWith(kStatus).size()) << c.what << ": a ready wait per piece";
    }
}

TEST(SpiProgramRange, WordModeFailureStaysAFailure) {
    RuleHost host;
    CommandSession scoped(host);
    AcceptSerial(host);
    ScriptStatus(host, {0x00});
    host.Refuse({0xFF, 0x04, 0x20, 0x03, 0x00, 0xAD});  // a word in the middle fails
    Bytes data(8192, 0x11);
    EXPECT_EQ(0, SpiProgramRange("/dev/sg1", 0, data.data(), 8192, 2, true));
    // One before the addressed start, one to end the failed word mode.
    EXPECT_EQ(2u, host.SentWith({0xFF, 0x04, 0x20, 0x01, 0x00, 0x04}).size()) << "the word mode is still ended";
}

TEST(SstWordProgram, AddressedFormOnlyAt16KiBBoundaries) {
    struct Case {
        std::uint32_t address;
        std::uint32_t total;
        std::size_t addressed;
        std::size_t continued;
    };
    for (const Case& c : {Case{0x0200, 512, 0, 1}, Case{0x0000, 1024, 1, 1}, Case{0x3E00, 1024, 1, 1},
                          Case{0x4000, 512, 1, 0}}) {
        RuleHost host;
        CommandSession scoped(host);
        AcceptSerial(host);
        Bytes data(c.total);
        for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 3);
        EXPECT_EQ(1, SstWordProgram("/dev/sg1", c.address, data.data(), c.total, 512)) << c.address;
        EXPECT_EQ(c.addressed, host.SentWith({0xFF, 0x04, 0x20, 0x04, 0x01, 0xAD}).size()) << c.address;
        EXPECT_EQ(c.continued, host.SentWith({0xFF, 0x04, 0x20, 0x01, 0x01, 0xAD}).size()) << c.address;
        const auto words = host.SentWith({0xFF, 0x04, 0x20, 0x03, 0x00, 0xAD});
        ASSERT_EQ(c.total / 512 * 255, words.size());
        EXPECT_EQ(data[2], words[0][6]);
        EXPECT_EQ(data[3], words[0][7]);
        EXPECT_EQ(c.addressed, host.SentWith({0xFF, 0x04, 0x20, 0x01, 0x00, 0x04}).size())
            << "only a restart at an address ends the running word mode; the caller ends the last";
    }
}

TEST(SstByteProgram, OneCommandPerByteThenWriteDisable) {
    RuleHost host;
    CommandSession scoped(host);
    AcceptSerial(host);
    Bytes data(512);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(255 - i);
    EXPECT_EQ(1, SstByteProgram("/dev/sg1", 0x001000, data.data(), 512, 512));
    const auto first = host.SentWith({0xFF, 0x04, 0x20, 0x04, 0x01, 0xAF});
    ASSERT_EQ(1u, first.size());
    EXPECT_EQ((Bytes{0x00, 0x10, 0x00}), Bytes(first[0].begin() + 6, first[0].begin() + 9));
    const auto bytes = host.SentWith({0xFF, 0x04, 0x20, 0x02, 0x00, 0xAF});
    ASSERT_EQ(511u, bytes.size());
    EXPECT_EQ(data[1], bytes[0][6]);
    EXPECT_EQ(data[511], bytes[510][6]);
    bool sawFirstByte = false;
    for (const auto& d : host.dataOut) sawFirstByte = sawFirstByte || d == Bytes{data[0], 0x00};
    EXPECT_TRUE(sawFirstByte) << "the first byte travels with a zero";
    EXPECT_EQ((Bytes{0xFF, 0x04, 0x20, 0x01, 0x00, 0x04, 0, 0, 0, 0, 0, 0}), host.SentWith(kSpi).back());
}

}  // namespace
}  // namespace v62x
