#include "VirtualBridge/AttachedDisk.h"

#include <algorithm>
#include <cstring>

namespace v62x::sim {
namespace {

// Largest count words 60-61 can carry; larger drives put this value there
// and their count in words 100-103 only.
constexpr std::uint32_t kMax28BitCount = 0x0FFFFFFF;

using IdentifyWords = std::array<std::uint16_t, 256>;

// ATA strings: two characters per word, the first in the high byte, padded
// with blanks.
void PutAtaText(IdentifyWords& words, std::size_t first, std::size_t count,
                const std::string& text) {
    for (std::size_t i = 0; i < count; ++i) {
        const auto at = [&](std::size_t k) -> std::uint16_t {
            return k < text.size() ? static_cast<unsigned char>(text[k]) : ' ';
        };
        words[first + i] = static_cast<std::uint16_t>((at(2 * i) << 8) | at(2 * i + 1));
    }
}

bool AllZero(const std::uint8_t* bytes, std::size_t n) {
    return std::all_of(bytes, bytes + n, [](std::uint8_t b) { return b == 0; });
}

}  // namespace

bool CheckDiskConfig(const DiskConfig& config, std::string& why) {
    if (config.blockSize != 512 && config.blockSize != 4096) {
        why = "a drive has 512- or 4096-byte logical blocks, not " +
              std::to_string(config.blockSize);
        return false;
    }
    if (config.sectors == 0) {
        why = "a drive has at least one block";
        return false;
    }
    if (config.sectors > kMaxDiskSectors) {
        why = "a drive addresses at most 2^48 blocks";
        return false;
    }
    if (config.reservedBlocks >= config.sectors) {
        why = "the reserved area (" + std::to_string(config.reservedBlocks) +
              " blocks) leaves nothing of the " + std::to_string(config.sectors) +
              "-block drive to the host";
        return false;
    }
    return true;
}

AttachedDisk::AttachedDisk(const DiskConfig& config)
    : blockSize_(config.blockSize == 4096 ? 4096U : 512U),
      sectors_(std::clamp<std::uint64_t>(config.sectors, 1, kMaxDiskSectors)),
      reservedBlocks_(std::min(config.reservedBlocks, sectors_ - 1)),
      reservedOpenToScsi_(config.reservedOpenToScsi),
      model_(config.model),
      serial_(config.serial),
      firmware_(config.firmware) {
    for (const DiskPreset& preset : config.presets) {
        const std::uint64_t blocks = (preset.bytes.size() + blockSize_ - 1) / blockSize_;
        std::vector<std::uint8_t> padded(blocks * blockSize_, 0);
        std::copy(preset.bytes.begin(), preset.bytes.end(), padded.begin());
        for (std::uint64_t i = 0; i < blocks && preset.lba + i < sectors_; ++i) {
            Write(preset.lba + i, 1, padded.data() + i * blockSize_);
        }
    }
}

bool AttachedDisk::InRange(std::uint64_t lba, std::uint64_t count, std::uint64_t limit) {
    return lba <= limit && count <= limit - lba;
}

bool AttachedDisk::Read(std::uint64_t lba, std::uint64_t count, std::uint8_t* out) const {
    if (!InRange(lba, count, sectors_)) return false;
    for (std::uint64_t i = 0; i < count; ++i) {
        std::uint8_t* to = out + i * blockSize_;
        const auto found = blocks_.find(lba + i);
        if (found == blocks_.end()) {
            std::memset(to, 0, blockSize_);
        } else {
            std::memcpy(to, found->second.data(), blockSize_);
        }
    }
    return true;
}

bool AttachedDisk::Write(std::uint64_t lba, std::uint64_t count, const std::uint8_t* in) {
    if (!InRange(lba, count, sectors_)) return false;
    for (std::uint64_t i = 0; i < count; ++i) {
        const std::uint8_t* from = in + i * blockSize_;
        if (AllZero(from, blockSize_)) {
            blocks_.erase(lba + i);
        } else {
            blocks_[lba + i].assign(from, from + blockSize_);
        }
    }
    return true;
}

std::array<std::uint8_t, 512> AttachedDisk::Identify() const {
    IdentifyWords w{};
    w[0] = 0x0040;  // fixed ATA device
    PutAtaText(w, 10, 10, serial_);
    PutAtaText(w, 23, 4, firmware_);
    PutAtaText(w, 27, 20, model_);
    w[47] = 0x8010;  // up to 16 sectors per READ/WRITE MULTIPLE block
    w[49] = 0x0300;  // LBA and DMA supported
    w[53] = 0x0006;  // words 64-70 and 88 valid
    const auto count28 =
        static_cast<std::uint32_t>(std::min<std::uint64_t>(sectors_, kMax28BitCount));
    w[60] = static_cast<std::uint16_t>(count28);
    w[61] = static_cast<std::uint16_t>(count28 >> 16);
    w[63] = 0x0407;  // multiword DMA 0-2, mode 2 selected
    w[64] = 0x0003;  // PIO modes 3 and 4
    w[80] = 0x01F0;  // ATA/ATAPI-4 to -8
    w[82] = 0x4000;
    w[83] = 0x4400;  // 48-bit address feature set supported
    w[84] = 0x4000;
    w[85] = 0x4000;
    w[86] = 0x0400;  // 48-bit address feature set enabled
    w[87] = 0x4000;
    w[88] = 0x207F;  // Ultra DMA 0-6, mode 5 selected
    for (std::size_t i = 0; i < 4; ++i) {
        w[100 + i] = static_cast<std::uint16_t>(sectors_ >> (16 * i));
    }
    if (blockSize_ == 512) {
        w[106] = 0x4000;  // word valid, one 256-word logical sector per physical sector
    } else {
        // Logical sectors longer than 256 words, their length in words 117-118.
        w[106] = 0x5000;
        const std::uint32_t wordsPerSector = blockSize_ / 2;
        w[117] = static_cast<std::uint16_t>(wordsPerSector);
        w[118] = static_cast<std::uint16_t>(wordsPerSector >> 16);
    }

    std::array<std::uint8_t, 512> bytes{};
    for (std::size_t i = 0; i < w.size(); ++i) {
        bytes[2 * i] = static_cast<std::uint8_t>(w[i]);
        bytes[2 * i + 1] = static_cast<std::uint8_t>(w[i] >> 8);
    }
    // Integrity word: signature A5, then the byte that makes all 512 bytes
    // sum to zero (modulo 256).
    bytes[510] = 0xA5;
    std::uint8_t sum = 0;
    for (std::size_t i = 0; i < 511; ++i) sum = static_cast<std::uint8_t>(sum + bytes[i]);
    bytes[511] = static_cast<std::uint8_t>(0x100 - sum);
    return bytes;
}

}  // namespace v62x::sim
