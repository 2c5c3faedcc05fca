// The serial-flash block transfer against a scripted bridge: the exact
// direct-write commands (address, length, erase byte) a write sends, the
// erase counters it leaves, and how reads are cut and copied.
#include "Fwupdate/SerialFlashBlocks.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "support/RuleHost.h"
#include "IDEAccess/CommandSession.h"

namespace v62x {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint8_t kDirect = 0xDF;
constexpr std::uint8_t kTargetRead = 0xFA;
constexpr std::uint8_t kTargetWrite = 0xFB;

// One direct flash command as the bridge saw it.
struct Piece {
    std::uint32_t address;
    std::uint32_t length;
    std::uint8_t eraseByte;
    bool operator==(const Piece&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Piece& p) {
    return out << "{0x" << std::hex << p.address << ", " << std::dec << p.length << ", 0x" << std::hex
               << int{p.eraseByte} << std::dec << "}";
}

struct Bench {
    test::RuleHost host;
    CommandSession scoped{host};
    ToolState state;
    RecordingPanel panel;
    ProcedureContext ctx{state, panel, "/dev/sdx"};
    int failWriteAt = -1;  // index of the direct write to refuse
    int writes = 0;

    Bench() {
        host.Answer({0xFF, 0x04, 0x12}, {0x00});  // flash ready
        host.On({kDirect}, [this](const HostRequest& r, Bytes& out) {
            if (r.cdb[11] == kTargetWrite) return writes++ != failWriteAt;
            // Reads answer each byte with the low byte of its flash address.
            const std::uint32_t at = (std::uint32_t{r.cdb[8]} << 16) | (std::uint32_t{r.cdb[9]} << 8) | r.cdb[10];
            out.resize(r.length);
            for (std::uint32_t i = 0; i < r.length; ++i) out[i] = static_cast<std::uint8_t>(at + i);
            return true;
        });
    }
    Bench(const Bench&) = delete;
    Bench& operator=(const Bench&) = delete;

    std::vector<Piece> Pieces(std::uint8_t target) const {
        std::vector<Piece> out;
        for (const HostRequest& r : host.sent) {
            if (r.cdb[0] != kDirect || r.cdb[11] != target) continue;
            out.push_back({(std::uint32_t{r.cdb[8]} << 16) | (std::uint32_t{r.cdb[9]} << 8) | r.cdb[10],
                           (std::uint32_t{r.cdb[3]} << 8) | r.cdb[4], target == kTargetWrite ? r.cdb[1] : std::uint8_t{0}});
        }
        return out;
    }
};

struct WriteCase {
    const char* name;
    int flashType;
    int mode;
    std::uint32_t address;
    std::uint32_t length;
    std::int32_t blockIndex;   // counters at the start
    std::int32_t sectorIndex;
    std::vector<Piece> pieces;
    std::int32_t blockIndexAfter;
    std::int32_t sectorIndexAfter;
};

class WriteFlashBlocksGolden : public ::testing::TestWithParam<WriteCase> {};

TEST_P(WriteFlashBlocksGolden, SendsThesePieces) {
    const WriteCase& c = GetParam();
    Bench bench;
    bench.state.id.FlashTypeCode = c.flashType;
    bench.ctx.geometry.NextBlockIndex = c.blockIndex;
    bench.ctx.geometry.NextSectorIndex = c.sectorIndex;
    const Bytes data(c.length, 0x5A);
    EXPECT_EQ(1, WriteFlashBlocks(bench.ctx, c.address, data.data(), c.length, c.mode));
    EXPECT_EQ(c.pieces, bench.Pieces(kTargetWrite));
    EXPECT_EQ(c.blockIndexAfter, bench.ctx.geometry.NextBlockIndex);
    EXPECT_EQ(c.sectorIndexAfter, bench.ctx.geometry.NextSectorIndex);
    EXPECT_EQ(std::string(c.pieces.size(), '.'), bench.panel.status) << "one dot per piece";
}

INSTANTIATE_TEST_SUITE_P(
    Examples, WriteFlashBlocksGolden,
    ::testing::Values(
        WriteCase{"LargeUnits", 0, 2, 0, 20480, 0, 0, {{0, 4096, 2}, {4096, 8192, 0}, {12288, 8192, 0}}, 1, 0},
        WriteCase{"SmallUnits", 0, 1, 0, 20480, 0, 0,
                  {{0, 4096, 1}, {4096, 4096, 1}, {8192, 4096, 1}, {12288, 4096, 1}, {16384, 4096, 1}}, 0, 5},
        WriteCase{"MxicFlagOnlyAtZero", 5, 2, 0, 65536, 0, 0,
                  {{0, 4096, 0x82}, {4096, 8192, 0}, {12288, 8192, 0}, {20480, 8192, 0}, {28672, 4096, 0},
                   {32768, 8192, 2}, {40960, 8192, 0}, {49152, 8192, 0}, {57344, 8192, 0}},
                  2, 0},
        WriteCase{"MxicSmallUnitsFlagOnlyAtZero", 5, 1, 0, 8192, 0, 0, {{0, 4096, 0x81}, {4096, 4096, 1}}, 0, 2},
        WriteCase{"WholeChipOnlyAtZero", 0, 3, 0, 12288, 0, 0, {{0, 4096, 3}, {4096, 8192, 0}}, 0, 0},
        WriteCase{"NoErase", 0, 0, 0xC000, 4096, 0, 0, {{0xC000, 4096, 0}}, 0, 0},
        // The second 64 KiB copy: counters positioned at 0x10000.
        WriteCase{"FromSecondBank", 0, 2, 0x10000, 40960, 2, 16,
                  {{0x10000, 8192, 2}, {0x12000, 8192, 0}, {0x14000, 8192, 0}, {0x16000, 8192, 0},
                   {0x18000, 8192, 2}},
                  4, 16},
        // 1000 bytes go as 1024, padded with zeros.
        WriteCase{"RoundsUpTo512", 0, 0, 0x2000, 1000, 0, 0, {{0x2000, 1024, 0}}, 0, 0}),
    [](const ::testing::TestParamInfo<WriteCase>& info) { return std::string(info.param.name); });

TEST(WriteFlashBlocks, PadsTheLastPieceWithZeros) {
    Bench bench;
    const Bytes data(1000, 0x5A);
    ASSERT_EQ(1, WriteFlashBlocks(bench.ctx, 0x2000, data.data(), 1000, 0));
    ASSERT_EQ(1u, bench.Pieces(kTargetWrite).size());
    Bytes expected(1024, 0);
    std::fill(expected.begin(), expected.begin() + 1000, 0x5A);
    EXPECT_EQ(expected, bench.host.dataOut.back());
}

TEST(WriteFlashBlocks, Failures) {
    struct Case {
        const char* what;
        std::uint32_t address;
        std::uint32_t length;
        int mode;
        int failWriteAt;
        std::size_t writes;  // pieces sent
        bool nothingSent;    // no command at all
    };
    const Case cases[] = {
        {"stops at the first refused piece", 0, 20480, 2, 1, 2, false},
        {"nothing to write", 0, 0, 2, -1, 0, true},
        {"beyond what 24-bit addresses reach", 0xFFF000, 8192, 0, -1, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bench bench;
        bench.failWriteAt = c.failWriteAt;
        const Bytes data(std::max<std::uint32_t>(c.length, 16), 0x5A);
        EXPECT_EQ(0, WriteFlashBlocks(bench.ctx, c.address, data.data(), c.length, c.mode));
        EXPECT_EQ(c.writes, bench.Pieces(kTargetWrite).size());
        if (c.nothingSent) {
            EXPECT_TRUE(bench.host.sent.empty());
        }
    }
}

TEST(ReadFlashBlocks, ReadsOnePieceOf1024AndCopies1000) {
    Bench bench;
    Bytes out(1001, 0xEE);
    ASSERT_EQ(1, ReadFlashBlocks(bench.ctx, 0x100, out.data(), 1000));
    EXPECT_EQ((std::vector<Piece>{{0x100, 1024, 0}}), bench.Pieces(kTargetRead));
    for (std::size_t i = 0; i < 1000; ++i) ASSERT_EQ(static_cast<std::uint8_t>(0x100 + i), out[i]) << i;
    EXPECT_EQ(0xEE, out[1000]) << "nothing copied past the length";
    EXPECT_EQ("ReadFlash....", bench.panel.status);
}

TEST(ReadFlashBlocks, ZeroBytesSendNothingAndFail) {
    Bench bench;
    Bytes out(4, 0xEE);
    EXPECT_EQ(0, ReadFlashBlocks(bench.ctx, 0, out.data(), 0));
    EXPECT_TRUE(bench.host.sent.empty());
}

TEST(ReadFlashBlocks, CutsInProgramChunkPieces) {
    Bench bench;
    Bytes out(20000);
    ASSERT_EQ(1, ReadFlashBlocks(bench.ctx, 0, out.data(), 20000));
    EXPECT_EQ((std::vector<Piece>{{0, 8192, 0}, {8192, 8192, 0}, {16384, 4096, 0}}), bench.Pieces(kTargetRead)) << "20,000 bytes go as 20,480";
}

TEST(ReadFlashBlocks, AFailedPieceLeavesZerosBehindWhatWasRead) {
    Bench bench;
    bench.host.On({kDirect}, [](const HostRequest& r, Bytes& out) {
        if (r.cdb[8] != 0 || r.cdb[9] != 0) return false;  // only the first piece answers
        out.assign(r.length, 0x77);
        return true;
    });
    Bytes out(16384, 0xEE);
    EXPECT_EQ(0, ReadFlashBlocks(bench.ctx, 0, out.data(), 16384));
    EXPECT_EQ(Bytes(8192, 0x77), Bytes(out.begin(), out.begin() + 8192));
    EXPECT_EQ(Bytes(8192, 0x00), Bytes(out.begin() + 8192, out.end()));
}

// SelectEraseCode and ClipToEraseUnit over the modes.
struct CodeCase {
    int mode;
    std::uint32_t address;
    std::int32_t blockIndex;
    std::int32_t sectorIndex;
    std::uint8_t code;
    std::uint32_t clipped;  // of a 8192-byte piece, after the selection
};

TEST(SelectEraseCode, OpensEachUnitOnceAndCutsAtItsEnd) {
    const CodeCase cases[] = {
        {0, 0, 0, 0, 0, 8192},
        {1, 0, 0, 0, 1, 4096},        // opens sector 0
        {1, 2048, 1, 1, 0, 2048},     // inside sector 0
        {4, 4096, 0, 1, 4, 4096},     // code equals the mode
        {2, 0, 0, 0, 2, 8192},
        {2, 28672, 1, 0, 0, 4096},    // cut at the end of block 0
        {5, 32768, 1, 0, 5, 8192},
        {0x82, 0, 0, 0, 2, 8192},     // bit 7 of the mode ignored
        {3, 0, 0, 0, 3, 8192},
        {3, 4096, 0, 0, 0, 8192},
        {7, 0, 0, 0, 7, 8192},
        {8, 0, 0, 0, 0, 8192},
        {2, 0x10000, 0, 0, 2, 8192},  // counters left behind: no wrap-around
    };
    for (const CodeCase& c : cases) {
        FlashGeometry geometry;
        geometry.NextBlockIndex = c.blockIndex;
        geometry.NextSectorIndex = c.sectorIndex;
        EXPECT_EQ(c.code, SelectEraseCode(geometry, c.address, c.mode)) << "mode " << c.mode << " at " << c.address;
        EXPECT_EQ(c.clipped, ClipToEraseUnit(geometry, c.address, 8192, c.mode)) << "mode " << c.mode << " at " << c.address;
    }
}

}  // namespace
}  // namespace v62x
