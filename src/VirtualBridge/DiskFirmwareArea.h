// What a bridge that keeps its firmware on the attached disk tells about it:
// the bytes of its status record, the 55 AA mark in its memory, and the
// reserved area at the end of the disk with the signature block at its start.
#pragma once

#include <cstddef>
#include <cstdint>

#include "VirtualBridge/AttachedDisk.h"
#include "VirtualBridge/VirtualDevice.h"

namespace v62x::sim {

// Bytes of the bridge status record (FF 04 A0 with the number of bytes wanted).
namespace status_byte {
// 0xD0 or more: the bridge runs its firmware from the attached disk (the
// status command itself returns this byte).
constexpr std::size_t kDiskFirmware = 8;
constexpr std::size_t kFirmwareArea = 16;          // 1: a firmware area is on the disk
constexpr std::size_t kCapacityFlag = 17;          // 1: capacity flag set
constexpr std::size_t kRunningFirmwareValid = 19;  // 1: the firmware it runs is valid
}  // namespace status_byte

constexpr std::uint8_t kDiskFirmwareIndicator = 0xD0;

// Sets one status byte, growing the record if it is shorter.
void SetStatusByte(BridgeAnswers& answers, std::size_t index, std::uint8_t value);

// Present: 55 AA at bridge memory 0xC000 and status byte 16 set to 1.
// Absent: status byte 16 cleared; the memory is left as it is (0xC000 is
// also where other firmware keeps its own signature).
void SetFirmwareAreaMark(BridgeAnswers& answers, bool present);

// The reserved area these bridges make when nothing else is asked for: at
// least 2048 blocks, so that the host-visible area ends on a multiple of 256
// blocks. 0 for a drive too small to spare it.
std::uint64_t DefaultReservedBlocks(std::uint64_t sectors);

// The signature block a disk-firmware bridge keeps at the start of its
// reserved area: 55 at byte 150, the firmware block address high byte first
// at 151-154, AA at 155. The address is the one a fresh area gets: the
// host-visible block count plus 0x101 (lower 32 bits), whose area starts at
// the host-visible end when that is a multiple of 256 blocks.
DiskPreset FirmwareAreaSignature(const DiskConfig& disk);

}  // namespace v62x::sim
