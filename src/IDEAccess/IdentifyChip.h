// Chip identification: turns a bridge's answers into one 16-bit value, the
// chip kind (0..20, 0 = not a chip of the family) in the low byte and the
// revision in the high byte.
#pragma once

#include <cstdint>
#include <string>

namespace v62x {

// First kind whose code (the chip-kind table's) matches the three
// characters at `code`, else 0.
std::uint8_t LookupChipKind(const std::uint8_t* code);

std::uint16_t IdentifyChip(const std::string& path);

inline std::uint8_t ChipKindOf(std::uint16_t identification) {
    return static_cast<std::uint8_t>(identification & 0xFF);
}
inline std::uint8_t ChipRevisionOf(std::uint16_t identification) {
    return static_cast<std::uint8_t>(identification >> 8);
}

// Non-zero when bridge memory 0x505E reports flash mode (byte 1 = 0, byte 2 = 1).
int CheckFlashMode(const std::string& path);
// Non-zero when bridge memory 0xFDB0 byte 1 is 0xB4 or more.
int CheckChipRevision(const std::string& path);

}  // namespace v62x
