// Enumeration of the disks behind the USB and IEEE 1394 storage drivers, and
// the names under which the host mounted their volumes.
#pragma once

#include <array>
#include <cstddef>
#include <string>

namespace v62x {

constexpr int kCandidateSlots = 16;
// The longest device path a slot holds; a longer one is skipped, since a
// shortened path would address another device.
constexpr std::size_t kMaxDevicePath = 256;

using CandidateSlots = std::array<std::string, kCandidateSlots>;

// Copies the disk-class candidates into the slots from slot 0; returns the
// number copied. IEEE 1394 disks are included when include1394 is set.
int EnumBridgeDisks(CandidateSlots& slots, bool include1394);
// The same for the CD-ROM class, from slot firstSlot on.
int EnumBridgeCdRoms(CandidateSlots& slots, int firstSlot, bool include1394);

// Fills out with the mount points (separated by one blank) of the volumes
// that lie on the same physical disk as path. The root file system and
// network file systems are never named. When the device number of path
// cannot be had, out is left untouched.
void FindDriveLetters(const std::string& path, std::string& out);

// True for file-system types that live on another machine.
bool IsNetworkFileSystem(const std::string& fsType);

}  // namespace v62x
