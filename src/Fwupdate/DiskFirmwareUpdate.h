// Run procedure for bridges that keep their firmware in a reserved area near
// the end of the attached disk (the 705 chips, 614 chips that report disk
// firmware, 624 chips without flash). Erase only, backup only, or program
// the firmware file in verified 64 KiB blocks, with the signature the bridge
// finds its area by. Each returns non-zero for success.
#pragma once

#include <cstdint>

#include "Fwupdate/Procedure.h"

namespace v62x {

// What the disk and the bridge tell about the area's place.
struct DiskAreaGeometry {
    std::uint32_t blockSize = 512;
    std::uint32_t lastLba = 0;      // READ CAPACITY(10): the host-visible last block
    std::uint32_t firmwareLba = 0;  // lower 32 bits; stored in the signature
    std::uint32_t sectorsHigh = 0;  // upper half of the drive's sector count
    int capacityFlag = 0;
    bool operator==(const DiskAreaGeometry&) const = default;
};

// Asks the disk and the bridge.
DiskAreaGeometry GatherDiskAreaGeometry(const std::string& path, std::uint8_t chipKind);

// The block the area starts at: the firmware block address (with the upper
// half of the sector count above it), one less without the capacity flag,
// rounded down to 256 blocks, then 256 blocks lower. False when that lies
// below the first block, the block size is unusable, or the disk's capacity
// is unknown (the capacity query failed, or the disk is larger than 2^32
// blocks and the bridge did not tell its real size): the firmware block
// address is then made up from nothing, and an area there could lie over
// the operator's data.
bool DiskAreaStart(const DiskAreaGeometry& geometry, std::uint64_t& start);
// The firmware block address with the upper half: where the area ends.
std::uint64_t DiskAreaEnd(const DiskAreaGeometry& geometry);

// The 6-byte signature at image offsets 150 to 155: 55, the firmware block
// address high byte first, AA.
constexpr std::uint32_t kDiskSignatureOffset = 150;
constexpr std::uint32_t kDiskSignatureSize = 6;
void PutDiskSignature(std::uint8_t* image, std::uint32_t firmwareLba);

int DiskFirmwareUpdate(ProcedureContext& ctx);
int EraseDiskFirmware(ProcedureContext& ctx, std::uint8_t chipKind);
int BackupDiskFirmware(ProcedureContext& ctx, std::uint8_t chipKind);
int ProgramDiskFirmware(ProcedureContext& ctx, std::uint8_t chipKind);

}  // namespace v62x
