// Run procedure for the kind-7 bridge reached over IEEE 1394: its firmware
// moves at most 256 bytes per direct flash command, erases the 32 KiB half
// of its 64 KiB flash that starts at 0 or at 0x8000 when asked to, and keeps
// a 1 KiB NVRAM block at 0x8000. Erase only, backup only (the whole flash),
// or program the firmware file with one read-back verify. A run that fails
// after touching the flash puts the kept NVRAM back and checks it. Runs that
// opened the firmware file, and every erase-only run, end with the
// power-cycle message whatever their outcome. Each returns non-zero for
// success.
#pragma once

#include <cstdint>

#include "Fwupdate/Procedure.h"

namespace v62x {

// The NVRAM block this bridge keeps inside its flash.
constexpr std::uint32_t kPageNvramAddress = 0x8000;
constexpr std::uint32_t kPageNvramSize = 1024;

// Writes a saved 1 KiB NVRAM copy to 0x8000 and reads it back; 1 when it is in place.
int RestorePageNvram(ProcedureContext& ctx, const std::uint8_t* nvram1k);
int PageFlashUpdate(ProcedureContext& ctx);
int ProgramPageFlash(ProcedureContext& ctx);
int ErasePageFlash(ProcedureContext& ctx);
// Writes `length` bytes of `source` at flash `address` in ProgramChunk
// pieces (the transfer is padded with zeros to 256 bytes). A piece starting
// at 0 or at 0x8000 asks the bridge to erase its 32 KiB half first. One
// progress dot per 2 KiB. A length of 0 fails.
int WritePageBlocks(ProcedureContext& ctx, std::uint32_t address, const std::uint8_t* source,
                    std::uint32_t length);

}  // namespace v62x
