// Run procedure for the 735 chips that keep their firmware on the attached
// disk: an area 2 MiB below the disk's last 1 MiB boundary, laid out like
// their flash (48 KiB of code closed by a checksum, then the 4 KiB NVRAM).
// Erase only, backup only, or program and verify the firmware file; a
// successful erase or programming restarts the bridge. Each returns
// non-zero for success.
#pragma once

#include <cstdint>

#include "Fwupdate/Procedure.h"

namespace v62x {

// What the disk tells about the area's place.
struct Vrs735DiskGeometry {
    std::uint32_t blockSize = 512;
    std::uint64_t ataSectors = 0;   // from the drive's identification; 0 when it failed
    std::uint64_t scsiLastLba = 0;  // from READ CAPACITY(16); 0 when it failed
    bool operator==(const Vrs735DiskGeometry&) const = default;
};

Vrs735DiskGeometry GatherVrs735DiskGeometry(const std::string& path);

// The block the area starts at and whether the ATA commands reach it: the
// last block (by the drive's identification, else by READ CAPACITY(16))
// rounded down to 1 MiB, less 2 MiB. False when neither query answered, the
// start would lie below block 0, or the block size is unusable.
bool Vrs735AreaStart(const Vrs735DiskGeometry& geometry, std::uint64_t& start, bool& ata);

// The area's code part, closed by the CRC-32 at kVrs735CrcOffset, and the
// whole area with the NVRAM.
constexpr std::uint32_t kVrs735CrcOffset = 0xBFFC;
constexpr std::uint32_t kVrs735CodeSize = 0xC000;
constexpr std::uint32_t kVrs735AreaSize = 0x10000;

int VRS735DiskFirmwareUpdate(ProcedureContext& ctx);
int EraseVRS735DiskFirmware(ProcedureContext& ctx);
int BackupVRS735DiskFirmware(ProcedureContext& ctx);
int ProgramVRS735DiskFirmware(ProcedureContext& ctx);

}  // namespace v62x
