// The firmware image file against the chip: the chip match of the image's
// tag block and the size check. (The checksum, NVRAM-block and bank checks
// live with the window's procedures.)
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace v62x {

// A firmware file read once, whole: the bytes the chip check accepted are
// the bytes a run programs, whatever happens to the file afterwards.
struct FirmwareImage {
    std::string name;                // the file name as the operator gave it
    std::vector<std::uint8_t> bytes;
    bool loaded = false;
};

enum class ImageLoad {
    Ok,
    CannotOpen,   // missing, or no permission to read it
    NotRegular,   // a folder, a device node, a pipe: no firmware file
    TooLarge,     // larger than any bridge's firmware store
    ReadFailed,   // an I/O error, or the file changed length while it was read
};

// No bridge keeps a firmware larger than this (the flash addresses end at
// 16 MiB; the firmware areas on disks are smaller still).
constexpr std::size_t kLargestFirmwareFile = 64u * 1024 * 1024;

// Reads a regular file whole. Anything else is refused before it is read:
// a pipe would block, a device node could be endless.
ImageLoad LoadFirmwareImage(const std::string& fileName, FirmwareImage& out);
// The operator's text for a refused file (empty for Ok).
std::string ImageLoadText(ImageLoad load, const std::string& fileName);

// The chip match and the size check on bytes already read.
int ImageMatchesChip(const std::uint8_t* bytes, std::size_t length, std::uint16_t chip);
int ImageFitsFlash(std::size_t length, std::uint32_t flashSizeKB);

// Non-zero when the image belongs to the chip (identification value: low
// byte kind, high byte revision). A file that cannot be opened shows
// "Open Firmware File Error!!" (title "Error") through the notifier and
// counts as no match; a file that is no regular file or too large shows
// its own text.
int FileMatchesChip(const std::string& fileName, std::uint16_t chip);

// Non-zero when the file is at most flashSizeKB * 1024 bytes long. A file
// that cannot be opened shows "Open Firmware File Error!!" and fails.
int FileFitsFlash(const std::string& fileName, std::uint32_t flashSizeKB);

}  // namespace v62x
