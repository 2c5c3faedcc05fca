// The attached disk on its own: what its ATA identification says about its
// size, and its sparse block storage.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "IDEAccess/DiskCommands.h"
#include "VirtualBridge/AttachedDisk.h"

namespace v62x::sim {
namespace {

using Bytes = std::vector<std::uint8_t>;

std::uint16_t Word(const std::array<std::uint8_t, 512>& identify, std::size_t n) {
    return static_cast<std::uint16_t>(identify[2 * n] | identify[2 * n + 1] << 8);
}

DiskConfig Geometry(std::uint64_t sectors, std::uint32_t blockSize = 512,
                    std::uint64_t reserved = 0) {
    DiskConfig config;
    config.sectors = sectors;
    config.blockSize = blockSize;
    config.reservedBlocks = reserved;
    return config;
}

TEST(SimDiskIdentify, SectorCountWordsFollowTheDrivesSize) {
    struct Case {
        const char* name;
        std::uint64_t sectors;
        std::uint32_t count28;  // words 60-61
    };
    const Case cases[] = {
        {"small drive", 80000000, 80000000},
        {"one below the 28-bit limit", 0x0FFFFFFE, 0x0FFFFFFE},
        {"exactly the 28-bit limit", 0x0FFFFFFF, 0x0FFFFFFF},
        {"500 GB", 976773168, 0x0FFFFFFF},
        {"2 TB", 3907029168, 0x0FFFFFFF},
        {"above 2^32", (std::uint64_t{1} << 33) + 5, 0x0FFFFFFF},
        {"the 48-bit limit", kMaxDiskSectors, 0x0FFFFFFF},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto identify = AttachedDisk(Geometry(c.sectors)).Identify();
        EXPECT_EQ(c.count28, Word(identify, 60) | static_cast<std::uint32_t>(Word(identify, 61)) << 16);
        std::uint64_t count48 = 0;
        for (int i = 3; i >= 0; --i) count48 = count48 << 16 | Word(identify, 100 + i);
        EXPECT_EQ(c.sectors, count48) << "words 100-103 always carry the whole count";
        EXPECT_NE(0, Word(identify, 83) & 0x0400) << "48-bit addressing supported";
        EXPECT_NE(0, Word(identify, 86) & 0x0400) << "48-bit addressing enabled";
        // The tool's reading of the same 512 bytes.
        EXPECT_EQ(c.sectors, IdentifySectorCount(identify.data()));
    }
}

TEST(SimDiskIdentify, LogicalSectorSizeStringsAndIntegrityWord) {
    for (const std::uint32_t blockSize : {512U, 4096U}) {
        SCOPED_TRACE(blockSize);
        DiskConfig config = Geometry(122096646, blockSize);
        config.model = "MODEL-X";
        config.serial = "SN1";
        const auto identify = AttachedDisk(config).Identify();
        if (blockSize == 512) {
            EXPECT_EQ(0x4000, Word(identify, 106));
        } else {
            EXPECT_EQ(0x5000, Word(identify, 106)) << "logical sector longer than 256 words";
            EXPECT_EQ(2048, Word(identify, 117));
            EXPECT_EQ(0, Word(identify, 118));
        }
        // ATA strings: first character of each pair in the high byte.
        EXPECT_EQ(('M' << 8) | 'O', Word(identify, 27));
        EXPECT_EQ(('L' << 8) | '-', Word(identify, 29));
        EXPECT_EQ(('X' << 8) | ' ', Word(identify, 30));
        EXPECT_EQ(('S' << 8) | 'N', Word(identify, 10));
        EXPECT_EQ(('1' << 8) | ' ', Word(identify, 11));
        EXPECT_EQ(0xA5, identify[510]);
        std::uint8_t sum = 0;
        for (std::uint8_t b : identify) sum = static_cast<std::uint8_t>(sum + b);
        EXPECT_EQ(0, sum) << "all 512 bytes sum to zero";
    }
}

TEST(SimDiskStorage, MultiTerabyteDriveKeepsOnlyWrittenBlocks) {
    const std::uint64_t sectors = 8000000000000 / 512;  // 8 TB
    AttachedDisk disk(Geometry(sectors, 512, 2048));
    EXPECT_EQ(sectors - 2048, disk.hostBlocks());
    EXPECT_EQ(0u, disk.StoredBlocks());

    Bytes pattern(2 * 512);
    for (std::size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<std::uint8_t>(i * 7 + 1);
    ASSERT_TRUE(disk.Write(sectors - 2, 2, pattern.data())) << "the last two blocks of the drive";
    ASSERT_TRUE(disk.Write(0, 1, pattern.data()));
    EXPECT_EQ(3u, disk.StoredBlocks());

    Bytes back(2 * 512, 0xEE);
    ASSERT_TRUE(disk.Read(sectors - 2, 2, back.data()));
    EXPECT_EQ(pattern, back);
    ASSERT_TRUE(disk.Read(sectors / 2, 2, back.data()));
    EXPECT_EQ(Bytes(2 * 512, 0), back) << "unwritten blocks read as zeros";

    const Bytes zeros(512, 0);
    ASSERT_TRUE(disk.Write(0, 1, zeros.data()));
    EXPECT_EQ(2u, disk.StoredBlocks()) << "a block written with zeros is forgotten";

    Bytes untouched(2 * 512, 0xEE);
    EXPECT_FALSE(disk.Read(sectors - 1, 2, untouched.data())) << "runs past the drive's end";
    EXPECT_EQ(Bytes(2 * 512, 0xEE), untouched);
    EXPECT_FALSE(disk.Write(sectors, 1, pattern.data()));
    EXPECT_FALSE(disk.Write(~std::uint64_t{0}, 2, pattern.data())) << "no wrap-around";
    EXPECT_EQ(2u, disk.StoredBlocks());
}

TEST(SimDiskStorage, PresetsLandWhereTheySayAndStopAtTheEnd) {
    DiskConfig config = Geometry(100, 512);
    Bytes longPreset(3 * 512, 0x11);
    config.presets = {{10, {1, 2, 3}}, {99, longPreset}};
    AttachedDisk disk(config);
    Bytes block(512);
    ASSERT_TRUE(disk.Read(10, 1, block.data()));
    EXPECT_EQ(1, block[0]);
    EXPECT_EQ(3, block[2]);
    EXPECT_EQ(0, block[3]);
    EXPECT_EQ(2u, disk.StoredBlocks()) << "the part beyond block 99 is cut off";
}

TEST(SimDiskConfig, RefusesGeometriesNoDriveHas) {
    struct Case {
        DiskConfig config;
        const char* why;
    };
    const Case cases[] = {
        {Geometry(1000, 1024), "a drive has 512- or 4096-byte logical blocks, not 1024"},
        {Geometry(0), "a drive has at least one block"},
        {Geometry(kMaxDiskSectors + 1), "a drive addresses at most 2^48 blocks"},
        {Geometry(1000, 512, 1000),
         "the reserved area (1000 blocks) leaves nothing of the 1000-block drive to the host"},
    };
    for (const Case& c : cases) {
        std::string why;
        EXPECT_FALSE(CheckDiskConfig(c.config, why));
        EXPECT_EQ(c.why, why);
    }
    std::string why;
    EXPECT_TRUE(CheckDiskConfig(Geometry(kMaxDiskSectors, 4096, kMaxDiskSectors - 1), why)) << why;
}

}  // namespace
}  // namespace v62x::sim
