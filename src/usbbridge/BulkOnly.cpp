#include "usbbridge/BulkOnly.h"

#include <algorithm>

namespace v62x::usb {
namespace {

std::uint32_t LittleEndian32(std::span<const std::uint8_t> bytes, std::size_t at) {
    return static_cast<std::uint32_t>(bytes[at]) | static_cast<std::uint32_t>(bytes[at + 1]) << 8 |
           static_cast<std::uint32_t>(bytes[at + 2]) << 16 |
           static_cast<std::uint32_t>(bytes[at + 3]) << 24;
}

void PutLittleEndian32(std::uint8_t* out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

constexpr std::uint8_t kFlagDataIn = 0x80;
constexpr std::size_t kMaxCdbBytes = 16;

}  // namespace

std::optional<CommandBlock> ParseCommandBlock(std::span<const std::uint8_t> bytes) {
    if (bytes.size() != kCommandBlockBytes) return std::nullopt;
    if (LittleEndian32(bytes, 0) != kCommandBlockSignature) return std::nullopt;
    const std::uint8_t flags = bytes[12];
    const std::uint8_t lunByte = bytes[13];
    const std::uint8_t lengthByte = bytes[14];
    // Bits 6..0 of the flags, 7..4 of the LUN byte and 7..5 of the length byte are reserved.
    if ((flags & ~kFlagDataIn) != 0 || (lunByte & 0xF0) != 0 || (lengthByte & 0xE0) != 0) {
        return std::nullopt;
    }
    CommandBlock block;
    block.tag = LittleEndian32(bytes, 4);
    block.dataLength = LittleEndian32(bytes, 8);
    block.dataIn = (flags & kFlagDataIn) != 0;
    block.lun = lunByte;
    block.cdbLength = lengthByte;
    if (block.lun != 0 || block.cdbLength == 0 || block.cdbLength > kMaxCdbBytes) return std::nullopt;
    std::copy_n(bytes.begin() + 15, block.cdbLength, block.cdb.begin());
    return block;
}

std::array<std::uint8_t, kStatusBytes> PackStatus(std::uint32_t tag, std::uint32_t residue,
                                                  CommandStatus status) {
    std::array<std::uint8_t, kStatusBytes> out{};
    PutLittleEndian32(out.data(), kStatusSignature);
    PutLittleEndian32(out.data() + 4, tag);
    PutLittleEndian32(out.data() + 8, residue);
    out[12] = static_cast<std::uint8_t>(status);
    return out;
}

}  // namespace v62x::usb
