#include "Fwupdate/ImageChecks.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "IDEAccess/ChipKinds.h"
#include "IDEAccess/FirmwareFile.h"
#include "IDEAccess/IdentifyChip.h"

namespace v62x {
namespace {

using TagBlock = std::array<std::uint8_t, 10>;

constexpr std::uint8_t kSignature[4] = {0x55, 0xAA, 0xAA, 0x55};
constexpr std::uint8_t kSettingsBlock[4] = {0xE9, 0xAC, 0x67, 0x32};
constexpr std::uint8_t kEndMarker[8] = {'E', 'N', 'D', 'S', 'T', 'R', 0x55, 0xAA};
constexpr std::size_t kEndMarkerText = 6;  // "ENDSTR" without the two marker bytes

constexpr long kLeadingBlockTag = 0x1000;
constexpr long kSettingsBlockTag = 0x80;

constexpr std::size_t kShortestChecksummed = 32768;
constexpr std::size_t kLongImage = 65536;
constexpr std::size_t kLongImageChecksum = 0xFFFF;
constexpr std::size_t kImageChecksum = 0x7FFF;


// The 10 bytes at offset; what lies past the end of the image reads as zero.
TagBlock ReadBlock(const std::uint8_t* bytes, std::size_t length, long offset) {
    TagBlock block{};
    const auto at = static_cast<std::size_t>(offset);
    if (bytes != nullptr && at < length) std::memcpy(block.data(), bytes + at, std::min(block.size(), length - at));
    return block;
}

bool StartsWith(const std::uint8_t* bytes, const void* expected, std::size_t count) {
    return std::memcmp(bytes, expected, count) == 0;
}

bool HasSignature(const std::uint8_t* block) { return StartsWith(block, kSignature, sizeof kSignature); }

// One byte into the CRC (polynomial 0x1021, most significant bit first),
// through a table of the 256 eight-bit steps.
std::uint16_t Crc16Step(std::uint16_t crc, std::uint8_t byte) {
    static const std::array<std::uint16_t, 256> table = [] {
        std::array<std::uint16_t, 256> t{};
        for (unsigned i = 0; i < 256; ++i) {
            auto value = static_cast<std::uint16_t>(i << 8);
            for (int bit = 0; bit < 8; ++bit) {
                value = (value & 0x8000) != 0 ? static_cast<std::uint16_t>((value << 1) ^ 0x1021)
                                              : static_cast<std::uint16_t>(value << 1);
            }
            t[i] = value;
        }
        return t;
    }();
    return static_cast<std::uint16_t>((crc << 8) ^ table[((crc >> 8) ^ byte) & 0xFF]);
}

}  // namespace

int FileHasNvramBlock(const std::string& fileName, std::uint8_t chipKind) {
    FirmwareImage image;
    if (LoadFirmwareImage(fileName, image) != ImageLoad::Ok) return 0;
    return ImageHasNvramBlock(image.bytes.data(), image.bytes.size(), chipKind);
}

int ImageHasNvramBlock(const std::uint8_t* bytes, std::size_t length, std::uint8_t chipKind) {
    int result = 0;

    // A tag block at the very start means there is nothing in front of it.
    if (!HasSignature(ReadBlock(bytes, length, 0).data())) {
        const TagBlock block = ReadBlock(bytes, length, kLeadingBlockTag);
        const char* code = ChipKindInfo(chipKind).code;
        if (code != nullptr && HasSignature(block.data()) && StartsWith(&block[4], code, 3)) result = 1;
    }
    if (chipKind == kKind646) {
        const TagBlock block = ReadBlock(bytes, length, kSettingsBlockTag);
        if (StartsWith(block.data(), kSettingsBlock, sizeof kSettingsBlock) &&
            StartsWith(&block[4], ChipKindInfo(kKind646).code, 3)) {
            result = 1;
        }
    }
    return result;
}

int FileChecksumOk(const std::string& fileName, std::uint16_t chip) {
    FirmwareImage loaded;
    if (LoadFirmwareImage(fileName, loaded) != ImageLoad::Ok) return 0;
    return ImageChecksumOk(loaded.bytes, chip);
}

int ImageChecksumOk(const std::vector<std::uint8_t>& image, std::uint16_t chip) {
    if (ImageHasNvramBlock(image.data(), image.size(), ChipKindOf(chip)) != 0) return 1;
    if (image.size() < kShortestChecksummed) return 0;

    const std::size_t checksumAt = image.size() == kLongImage ? kLongImageChecksum : kImageChecksum;
    std::size_t summed = image.size() - 1;
    // Images tagged "624" with a revision digit of 3 or more carry at 12..13
    // the length within which the end marker bounds the sum.
    if (StartsWith(&image[4], "624", 3) && image[7] >= '3' && image[7] <= '9') {
        const std::size_t bound = (static_cast<std::size_t>(image[12]) << 8) | image[13];
        // A bound past the end of the file scans only the bytes that exist.
        summed = FindEndMarker(image.data(), std::min(bound, image.size()));
    }

    std::uint8_t sum = 0;
    for (std::size_t i = 0; i < summed; ++i) sum = static_cast<std::uint8_t>(sum + image[i]);
    // The 32 KiB floor keeps the position inside the file; the guard stays
    // for whoever lowers it.
    return checksumAt < image.size() && image[checksumAt] == sum ? 1 : 0;
}

std::size_t FindEndMarker(const std::uint8_t* bytes, std::size_t n) {
    std::uint8_t candidate[sizeof kEndMarker] = {};
    std::size_t held = 0;  // 0: no candidate open
    for (std::size_t visited = 0; visited < n; ++visited) {
        const std::uint8_t byte = bytes[visited];
        if (held == 0) {
            if (byte == 'E') candidate[held++] = byte;
            continue;
        }
        candidate[held++] = byte;
        if (held < sizeof kEndMarker) continue;

        if (StartsWith(candidate, kEndMarker, sizeof kEndMarker)) return visited + 1;
        held = 0;
        if (StartsWith(candidate, kEndMarker, kEndMarkerText)) continue;
        // Start again at the next "E" inside what was collected, keeping the
        // bytes from there up to the first zero byte.
        std::uint8_t* const end = candidate + sizeof candidate;
        std::uint8_t* const next = std::find(candidate + 1, end, std::uint8_t{'E'});
        if (next == end) continue;
        std::uint8_t* const zero = std::find(next, end, std::uint8_t{0});
        held = static_cast<std::size_t>(zero - next);
        std::memmove(candidate, next, held);
    }
    return n;
}

std::uint16_t ImageCrc16(const std::uint8_t* bytes, std::size_t length, std::uint16_t start) {
    std::uint16_t crc = start;
    // Each group of four goes in as a little-endian word, high byte first;
    // a trailing partial group is not covered.
    for (std::size_t group = 0; group + 4 <= length; group += 4) {
        for (std::size_t i = 4; i-- > 0;) crc = Crc16Step(crc, bytes[group + i]);
    }
    return crc;
}

int BankImageValid(const std::uint8_t* image64k, std::uint8_t chipKind) {
    if (chipKind != kKind735 || image64k == nullptr) return 0;
    const std::uint8_t* trailer = image64k + kBankTrailer;
    if (!HasSignature(trailer) || !StartsWith(trailer + 4, ChipKindInfo(kKind735).code, 3)) return 0;
    const std::uint16_t stored = static_cast<std::uint16_t>((image64k[kBankCrcAt] << 8) | image64k[kBankCrcAt + 1]);
    return ImageCrc16(image64k, kBankCrcCovered, 0) == stored ? 1 : 0;
}

}  // namespace v62x
