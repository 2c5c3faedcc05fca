// What a bridge's internal code does at power-up: it looks in the flash for
// a firmware of its own family, at the place where that family's firmware
// lives, and runs it when it is valid; otherwise the bridge goes on with its
// internal code. A firmware that runs marks itself in bridge memory (and on
// some chips in the status record), which is how the tool tells the two
// apart. The knowledge per family sits in one table in BridgeFirmware.cpp.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace v62x::sim {

// The internal code a bridge's silicon carries, named after the chip line.
// It is a property of the silicon like its chip code, not something the
// bridge reports; MakeBridgeConfig fills it from the chip it describes.
// None: the simulator models no flash firmware for the chip, and the bridge
// never marks one as running.
enum class FirmwareFamily {
    None,
    Vr40624,        // 624 chips with the "v624C" tag
    Vrb641,
    Vrb645,         // 644 and 645 chips
    Vrs751,
    Vrs735,         // two 64 KiB banks, each closed by a CRC-16
    Vrb715,
    Vr40624Serial,  // 624 chips with the "v624E" tag
};

// The family of the chip that identifies as `kind`; None where the
// simulator models no flash firmware.
FirmwareFamily FirmwareFamilyOfKind(int kind);

// A minimal firmware image of the family for a flash of `flashSize` bytes,
// one that the family's internal code accepts and runs: the tag block at the
// family's place (revision `revision` where the tag carries one), the 4 KiB
// NVRAM block where the family keeps it, for the two-bank family both banks
// with their CRC-16 when the flash holds two, and everything else 0xFF.
// Images without a leading NVRAM block end in their 8-bit sum (the byte at
// 0x7FFF or 0xFFFF). Written from flash address 0. False with a reason when
// the family has no firmware or the flash is too small for it.
bool MinimalFirmwareImage(FirmwareFamily family, int revision, std::uint32_t flashSize,
                          std::vector<std::uint8_t>& out, std::string& why);

// The 735 chips that run their firmware from the attached disk keep a copy
// in an area 2 MiB below the drive's last 1 MiB boundary, laid out like one
// flash bank: code with the tag block at 0xBFF0, a CRC-32 of the first
// 0xBFFC bytes (32-bit words taken least significant byte first) stored at
// 0xBFFC least significant byte first, then the 4 KiB NVRAM at 0xC000. At
// every start the internal code reads the copy and runs it only when tag
// and CRC-32 agree; status byte 19 tells the outcome.
constexpr std::uint32_t kDiskCopySize = 0x10000;

// True for the families that can run a copy from the disk.
bool KeepsFirmwareCopyOnDisk(FirmwareFamily family);
// The block the copy starts at on a drive of `sectors` blocks of
// `blockSize` bytes; false when the drive is too small to hold it.
bool DiskFirmwareCopyStart(std::uint64_t sectors, std::uint32_t blockSize, std::uint64_t& start);
// A copy the internal code accepts (the rest of the code 0xFF, NVRAM zero).
std::vector<std::uint8_t> MinimalDiskFirmwareCopy(int revision);
// Whether the internal code would run the 64 KiB copy.
bool DiskFirmwareCopyValid(const std::uint8_t* copy);

}  // namespace v62x::sim
