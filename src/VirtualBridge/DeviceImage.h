// The firmware store of a virtual device as one run of bytes, and the image
// files that keep it between runs of the programs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "VirtualBridge/VirtualDevice.h"

namespace v62x::sim {

// The most a firmware store kept in an image file may hold; a bigger one is
// refused before anything of it is read or allocated.
constexpr std::uint64_t kMaxImageBytes = 64ULL * 1024 * 1024;

// The store: the flash chip's contents when the device has one, otherwise
// the reserved area of its attached disk (from the host-visible end to the
// drive's end). Size 0: the device has neither.
std::uint64_t FirmwareStoreSize(VirtualDevice& device);
std::vector<std::uint8_t> ReadFirmwareStore(VirtualDevice& device);
// Replaces the store's contents; false when the size differs from the store's.
bool WriteFirmwareStore(VirtualDevice& device, const std::vector<std::uint8_t>& bytes);

// Opens an existing image file for reading, or for an advisory lock on it,
// without ever waiting: anything but a regular file (a FIFO, a folder, a
// device node) is refused with a reason. -1 with the reason when it cannot
// be opened; `missing` tells a file that does not exist.
int OpenImageFile(const std::string& file, bool& missing, std::string& error);

// Reads an image file that must hold exactly `size` bytes; `store` names the
// store in the message when it holds another size. The size is checked
// before anything is read. A missing file is no error: exists is false.
bool ReadImageFile(const std::string& file, std::uint64_t size, const std::string& store,
                   std::vector<std::uint8_t>& out, bool& exists, std::string& error);
// Writes an image file atomically: a temporary file in the same directory,
// flushed to disk and renamed over the old one. The old file is untouched
// when anything fails.
bool WriteImageFile(const std::string& file, const std::vector<std::uint8_t>& bytes,
                    std::string& error);

}  // namespace v62x::sim
