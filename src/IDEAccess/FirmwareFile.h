// The firmware image file against the chip: the chip match of the image's
// tag block and the size check. (The checksum, NVRAM-block and bank checks
// live with the window's procedures.)
#pragma once

#include <cstdint>
#include <string>

namespace v62x {

// Non-zero when the image belongs to the chip (identification value: low
// byte kind, high byte revision). A file that cannot be opened shows
// "Open Firmware File Error!!" (title "Error") through the notifier and
// counts as no match.
int FileMatchesChip(const std::string& fileName, std::uint16_t chip);

// Non-zero when the file is at most flashSizeKB * 1024 bytes long. A file
// that cannot be opened shows "Open Firmware File Error!!" and fails.
int FileFitsFlash(const std::string& fileName, std::uint32_t flashSizeKB);

}  // namespace v62x
