// The V62X_SIMULATE keys of the attached disk and the disk firmware: the
// disk each entry gets, the status bytes and marks the tool reads, and what
// the tool's own disk queries find on the described bridges.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "IDEAccess/CommandSession.h"
#include "IDEAccess/DiskCommands.h"
#include "VirtualBridge/DiskFirmwareArea.h"
#include "VirtualBridge/SimulatedHost.h"
#include "VirtualBridge/SimulationDescription.h"

namespace v62x::sim {
namespace {

using Bytes = std::vector<std::uint8_t>;

DeviceConfig Parse(const std::string& text) {
    std::vector<DeviceConfig> devices;
    std::string error;
    EXPECT_TRUE(ParseSimulationDescription(text, devices, error)) << error;
    EXPECT_EQ(1u, devices.size());
    return devices.empty() ? DeviceConfig{} : devices[0];
}

std::uint8_t StatusByte(const DeviceConfig& config, std::size_t index) {
    const auto& record = config.answers.statusRecord;
    return index < record.size() ? record[index] : 0;
}

TEST(SimDescriptionDisk, SizesBlockSizesAndReserve) {
    struct Case {
        const char* text;
        std::uint64_t sectors;
        std::uint32_t blockSize;
        std::uint64_t reserved;
    };
    const Case cases[] = {
        {"bridge:kind=3", 976773168, 512, 0},
        {"bridge:kind=3,disk=500G", 976562500, 512, 0},
        {"bridge:kind=3,disk=500gb", 976562500, 512, 0},
        {"bridge:kind=3,disk=2T,blocksize=4096", 488281250, 4096, 0},
        {"bridge:kind=3,blocksize=4096", 122096646, 4096, 0},
        {"bridge:kind=3,disk=80000000s", 80000000, 512, 0},
        {"bridge:kind=3,disk=80000000S,blocksize=4096", 80000000, 4096, 0},
        {"bridge:kind=3,disk=1TiB", 2147483648, 512, 0},
        {"bridge:kind=3,disk=1000", 1, 512, 0},
        {"bridge:kind=3,disk=64KiB,reserved=16s", 128, 512, 16},
        // Disk-firmware bridges keep at least 2048 blocks and end the
        // host-visible area on a multiple of 256 blocks.
        {"bridge:kind=14", 976773168, 512, 2096},
        {"bridge:kind=5", 976773168, 512, 2096},
        {"bridge:kind=14,blocksize=4096", 122096646, 4096, 2054},
        {"bridge:kind=14,disk=3T", 5859375000, 512, 2200},
        {"bridge:kind=14,reserved=1MiB", 976773168, 512, 2048},
        {"bridge:kind=14,reserved=0", 976773168, 512, 0},
        {"bridge:kind=5,hddfw=0", 976773168, 512, 0},
        {"bridge:kind=15,hddfw=1", 976773168, 512, 2096},
        {"bridge:kind=12,hddfw=1", 976773168, 512, 0},
        {"disk", 31250000, 512, 0},
        {"disk:disk=8T", 15625000000, 512, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const DeviceConfig config = Parse(c.text);
        ASSERT_TRUE(config.disk.has_value());
        EXPECT_EQ(c.sectors, config.disk->sectors);
        EXPECT_EQ(c.blockSize, config.disk->blockSize);
        EXPECT_EQ(c.reserved, config.disk->reservedBlocks);
        if (c.reserved != 0 && std::string(c.text).find("reserved") == std::string::npos) {
            EXPECT_EQ(0u, (c.sectors - c.reserved) % 256) << "the default reserve aligns the host's end";
        }
    }
    EXPECT_FALSE(Parse("bridge:kind=12,class=cdrom").disk.has_value()) << "a CD-ROM drive has no hard disk";
}

TEST(SimDescriptionDisk, StatusBytesAndTheFirmwareAreaMark) {
    struct Case {
        const char* text;
        std::uint8_t byte8;
        std::uint8_t byte16;
        std::uint8_t byte17;
        std::uint8_t byte19;
        bool mark;       // 55 AA at bridge memory 0xC000
        bool signature;  // signature block at the start of the reserved area
    };
    const Case cases[] = {
        {"bridge:kind=3", 0x00, 0, 0, 0, false, false},
        {"bridge:kind=14", 0xD0, 1, 0, 1, true, true},
        {"bridge:kind=5", 0xD0, 1, 0, 1, true, true},
        {"bridge:kind=5,fwarea=0", 0xD0, 0, 0, 1, false, false},
        {"bridge:kind=5,hddfw=0", 0x00, 0, 0, 0, false, false},
        {"bridge:kind=14,capflag=1,fwvalid=0", 0xD0, 1, 1, 0, true, true},
        {"bridge:kind=14,reserved=0", 0xD0, 1, 0, 1, true, false},
        {"bridge:kind=15", 0x00, 0, 0, 0, false, false},
        {"bridge:kind=15,hddfw=1", 0xD0, 1, 0, 1, true, true},
        {"bridge:kind=15,fwarea=1", 0x00, 1, 0, 0, true, false},
        {"bridge:kind=12", 0x00, 0, 0, 0, false, false},
        {"bridge:kind=12,hddfw=1", 0xD0, 0, 0, 1, false, false},
        {"bridge:kind=12,hddfw=1,fwvalid=0", 0xD0, 0, 0, 0, false, false},
        {"bridge:kind=12,fwvalid=1,class=cdrom", 0x00, 0, 0, 1, false, false},
        // A kind-4 firmware keeps its own header at 0xC000: none runs here.
        {"bridge:kind=4,capflag=1,firmware=blank", 0x00, 0, 1, 0, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const DeviceConfig config = Parse(c.text);
        EXPECT_EQ(c.byte8, StatusByte(config, status_byte::kDiskFirmware));
        EXPECT_EQ(c.byte16, StatusByte(config, status_byte::kFirmwareArea));
        EXPECT_EQ(c.byte17, StatusByte(config, status_byte::kCapacityFlag));
        EXPECT_EQ(c.byte19, StatusByte(config, status_byte::kRunningFirmwareValid));
        VirtualDevice device(config);
        EXPECT_EQ(c.mark, device.memory()[0xC000] == 0x55 && device.memory()[0xC001] == 0xAA);
        if (device.disk() == nullptr) continue;
        Bytes first(device.disk()->blockSize());
        device.disk()->Read(device.disk()->hostBlocks(), 1, first.data());
        EXPECT_EQ(c.signature, first[150] == 0x55 && first[155] == 0xAA);
    }
}

TEST(SimDescriptionDisk, RefusesWithEntryKeyAndValue) {
    struct Case {
        const char* text;
        const char* error;
    };
    const Case cases[] = {
        {"bridge:kind=3,disk=0", "entry 1: disk=0: smaller than one 512-byte block"},
        {"bridge:kind=3,disk=4000,blocksize=4096", "entry 1: disk=4000: smaller than one 4096-byte block"},
        {"bridge:kind=3,disk=1x", "entry 1: disk=1x: expected a size such as 500G, 2T, 1MiB or 80000000s"},
        {"bridge:kind=3,disk=G", "entry 1: disk=G: expected a size such as 500G, 2T, 1MiB or 80000000s"},
        {"bridge:kind=3,disk=-5", "entry 1: disk=-5: expected a size such as 500G, 2T, 1MiB or 80000000s"},
        {"bridge:kind=3,disk=99999999999999999999",
         "entry 1: disk=99999999999999999999: expected a size such as 500G, 2T, 1MiB or 80000000s"},
        {"bridge:kind=3,disk=99999999T", "entry 1: disk=99999999T: too large"},
        {"bridge:kind=3,disk=281474976710657s", "entry 1: disk=281474976710657s: a drive addresses at most 2^48 blocks"},
        {"bridge:kind=3,blocksize=1024", "entry 1: blocksize=1024: expected 512 or 4096"},
        {"bridge:kind=14,reserved=1M", "entry 1: reserved=1M: not a whole number of 512-byte blocks"},
        {"bridge:kind=14,disk=1MiB,reserved=1MiB",
         "entry 1: reserved=1MiB: the reserved area (2048 blocks) leaves nothing of the 2048-block drive to the host"},
        {"bridge:kind=14,class=cdrom,disk=1T", "entry 1: disk=1T: a CD-ROM-class device has no hard disk"},
        {"bridge:kind=14,reserved=1MiB,class=cdrom", "entry 1: reserved=1MiB: a CD-ROM-class device has no hard disk"},
        {"disk:class=cdrom,blocksize=4096", "entry 1: blocksize=4096: a CD-ROM-class device has no hard disk"},
        {"bridge:kind=14,fwarea=yes", "entry 1: fwarea=yes: expected 0 or 1"},
        {"bridge:kind=14,hddfw=2", "entry 1: hddfw=2: expected 0 or 1"},
        {"bridge:kind=14,capflag=", "entry 1: capflag=: expected 0 or 1"},
        {"bridge:kind=14,fwvalid=x", "entry 1: fwvalid=x: expected 0 or 1"},
        {"bridge:kind=14,image=", "entry 1: image=: expected the path of an image file"},
        {"bridge:kind=14,image=/tmp/a.img;disk;bridge:kind=5,image=/tmp/a.img",
         "entry 3: image=/tmp/a.img: already the image of entry 1"},
        {"disk:reserved=1MiB",
         "entry 1: reserved=1MiB: not a key of a disk entry (disk keys: bus, class, vendor, product, "
         "mount, denied, disk, blocksize, maxtransfer, fault)"},
        {"disk:image=/tmp/x.img",
         "entry 1: image=/tmp/x.img: not a key of a disk entry (disk keys: bus, class, vendor, product, "
         "mount, denied, disk, blocksize, maxtransfer, fault)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        std::vector<DeviceConfig> devices(1);
        std::string error;
        EXPECT_FALSE(ParseSimulationDescription(c.text, devices, error));
        EXPECT_EQ(c.error, error);
        EXPECT_EQ(1u, devices.size()) << "the output is left alone on failure";
    }
}

// What the tool's disk queries find on described bridges.
TEST(SimDescriptionDisk, TheToolFindsTheFirmwareAreaWhereTheBridgeKeepsIt) {
    struct Case {
        const char* text;
        int kind;
        int present;        // CheckDiskFirmware
        int flag;           // CheckCapacityFlag
        bool large;         // more than 2^32 sectors
    };
    const Case cases[] = {
        {"bridge:kind=14", 14, 1, 0, false},
        {"bridge:kind=5,capflag=1", 5, 1, 1, false},
        {"bridge:kind=14,blocksize=4096", 14, 1, 0, false},
        {"bridge:kind=15,hddfw=1", 15, 1, 0, false},
        {"bridge:kind=14,disk=3T", 14, 1, 0, true},
        {"bridge:kind=5,disk=3T,capflag=1", 5, 1, 1, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        SimulatedHost host;
        CommandSession scoped(host);
        VirtualDevice& device = host.AddDevice(Parse(c.text));
        const std::string path = device.path();
        const AttachedDisk& disk = *device.disk();
        const auto kind = static_cast<std::uint8_t>(c.kind);

        EXPECT_EQ(c.present, CheckDiskFirmware(path, kind));
        EXPECT_EQ(c.flag, CheckCapacityFlag(path));
        const std::uint32_t bs = GetDiskBlockSize(path);
        ASSERT_EQ(disk.blockSize(), bs);
        EXPECT_EQ(disk.sectors(), GetDiskSectorsDirect(path));
        const std::uint32_t fwLba = GetDiskFirmwareLba(path, bs, kind);

        // The start of the area as the disk-firmware procedure computes it.
        std::uint64_t x = c.large ? (disk.sectors() >> 32 << 32) | fwLba : fwLba;
        if (c.flag == 0) x -= 1;
        const std::uint64_t start = (x & ~std::uint64_t{0xFF}) - 256;
        if (!c.large) {
            EXPECT_EQ(disk.hostBlocks() + 0x101, fwLba) << "from the signature block";
            EXPECT_EQ(disk.hostBlocks(), start) << "the area starts right after the host's end";
        } else {
            EXPECT_GE(start, disk.hostBlocks()) << "inside the reserved area";
        }
        ASSERT_LE(start + 65536 / bs, disk.sectors());

        // One 64 KiB block written and read back where the procedure puts it.
        Bytes image(65536);
        for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<std::uint8_t>(i * 3 + 1);
        Bytes back(65536, 0);
        if (c.large) {
            ASSERT_EQ(1, WriteDisk16(path, image.data(), start, 65536, bs));
            ASSERT_EQ(1, ReadDisk16(path, back.data(), start, 65536, bs));
        } else {
            ASSERT_EQ(1, WriteDisk10(path, image.data(), static_cast<std::uint32_t>(start), 65536, bs));
            ASSERT_EQ(1, ReadDisk10(path, back.data(), static_cast<std::uint32_t>(start), 65536, bs));
        }
        EXPECT_EQ(image, back);
        Bytes hostEnd(bs);
        device.disk()->Read(disk.hostBlocks() - 1, 1, hostEnd.data());
        EXPECT_EQ(Bytes(bs, 0), hostEnd) << "the host's data is not touched";
    }
}

TEST(SimDescriptionDisk, Kind12AreaThroughAtaPassThrough) {
    SimulatedHost host;
    CommandSession scoped(host);
    const std::string path = host.AddDevice(Parse("bridge:kind=12,hddfw=1")).path();
    const std::uint64_t sectors = GetDiskSectorsAta(path);
    ASSERT_EQ(976773168u, sectors);
    EXPECT_EQ(976773167u, GetDiskLastLba64(path)) << "the kind-12 bridge reports the whole disk";
    const std::uint64_t start = ((sectors - 1) & ~std::uint64_t{2047}) - 4096;
    ASSERT_EQ(976769024u, start);
    Bytes image(65536);
    for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<std::uint8_t>(i ^ 0xA5);
    Bytes back(65536, 0);
    ASSERT_EQ(1, AtaWriteDmaExt(path, image.data(), start, 65536, 512));
    ASSERT_EQ(1, ReadDisk16(path, back.data(), start, 65536, 512));
    EXPECT_EQ(image, back);
}

}  // namespace
}  // namespace v62x::sim
