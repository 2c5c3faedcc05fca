// The hard disk behind a bridge (or the medium of an ordinary disk): a drive
// with its own sector count, of which the bridge shows the host only the
// first part; the rest is the reserved area where the disk-firmware bridges
// keep their firmware. Storage is sparse, so a multi-terabyte drive costs
// only the blocks that hold something other than zeros.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace v62x::sim {

// Bytes a drive holds at power-up, from one block on (more than one block
// runs on into the following blocks).
struct DiskPreset {
    std::uint64_t lba = 0;
    std::vector<std::uint8_t> bytes;
};

struct DiskConfig {
    std::uint32_t blockSize = 512;      // logical block size: 512 or 4096
    std::uint64_t sectors = 976773168;  // the drive's own count of logical blocks (a 500 GB drive)
    // Blocks at the end of the drive that the bridge keeps from the host:
    // READ CAPACITY reports sectors - reservedBlocks blocks.
    std::uint64_t reservedBlocks = 0;
    // Whether READ/WRITE (10)/(16) may address the reserved area. The
    // disk-firmware bridges pass them on to the drive up to its own end,
    // which is how their firmware area is read and written; a bridge that
    // does not stops them at the host-visible end, and only the ATA commands
    // (direct layout or ATA PASS-THROUGH) reach beyond it.
    bool reservedOpenToScsi = true;
    // ATA identification strings (IDENTIFY words 27-46, 10-19, 23-26).
    std::string model = "VDK Virtual ATA Disk";
    std::string serial = "VD0000000001";
    std::string firmware = "1.00";
    std::vector<DiskPreset> presets;
};

// Largest count the drive's 48-bit addressing can have.
constexpr std::uint64_t kMaxDiskSectors = std::uint64_t{1} << 48;

// False with a reason when no drive could have this geometry.
bool CheckDiskConfig(const DiskConfig& config, std::string& why);

class AttachedDisk {
public:
    // A geometry that fails CheckDiskConfig is brought into range (512-byte
    // blocks, 1 to 2^48 of them, at least one block for the host); presets
    // that run past the end of the drive are cut off there.
    explicit AttachedDisk(const DiskConfig& config);

    std::uint32_t blockSize() const { return blockSize_; }
    std::uint64_t sectors() const { return sectors_; }
    std::uint64_t reservedBlocks() const { return reservedBlocks_; }
    std::uint64_t hostBlocks() const { return sectors_ - reservedBlocks_; }
    bool reservedOpenToScsi() const { return reservedOpenToScsi_; }

    // True when [lba, lba + count) lies within the first `limit` blocks.
    static bool InRange(std::uint64_t lba, std::uint64_t count, std::uint64_t limit);

    // Whole blocks anywhere on the drive; false (and nothing moved) when the
    // range leaves the drive. Unwritten blocks read as zeros; a block written
    // with zeros is forgotten again.
    bool Read(std::uint64_t lba, std::uint64_t count, std::uint8_t* out) const;
    bool Write(std::uint64_t lba, std::uint64_t count, const std::uint8_t* in);

    // The 512-byte answer to ATA IDENTIFY DEVICE.
    std::array<std::uint8_t, 512> Identify() const;

    // Blocks that hold data (not all zeros).
    std::size_t StoredBlocks() const { return blocks_.size(); }

private:
    std::uint32_t blockSize_;
    std::uint64_t sectors_;
    std::uint64_t reservedBlocks_;
    bool reservedOpenToScsi_;
    std::string model_;
    std::string serial_;
    std::string firmware_;
    std::map<std::uint64_t, std::vector<std::uint8_t>> blocks_;
};

}  // namespace v62x::sim
