// Names of the chip kinds as the window shows them.
#pragma once

#include <cstdint>
#include <string>

namespace v62x {

// The name of a chip kind (0..20); kinds outside the table are "Unknown Chip".
std::string ChipKindName(std::uint8_t kind);

}  // namespace v62x
