// Whether a bridge runs a valid firmware from its flash or only its
// internal code.
#pragma once

#include <cstdint>
#include <string>

namespace v62x {

// 1 when the bridge runs a valid firmware from its flash, 0 when it runs its
// internal code. versionText is the version the window built from the chip
// information record; flashTypeCode the detected flash type. Kind 12 may
// answer with its status byte 19 itself.
int IsFlashFirmwareActive(const std::string& path, std::uint8_t chipKind,
                          const std::string& versionText, int flashTypeCode);

}  // namespace v62x
