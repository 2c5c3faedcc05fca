// Run procedure for bridges whose firmware sits in a serial flash next to a
// 4 KiB NVRAM block (chip kinds 8, 9, 11 and 12): erase only, backup only,
// or program the firmware file with read-back verify and up to three
// attempts per 64 KiB pass (write modes 2, 1, 3). Unless "Include 4K NVRAM"
// is ticked the NVRAM already in the flash (at 0, or at 0xC000 on kind 12)
// is kept; a run that fails after touching the flash puts it back and checks
// it before it returns. Each returns non-zero for success.
#pragma once

#include "Fwupdate/Procedure.h"

namespace v62x {

// Writes a saved 4 KiB NVRAM copy to its address (0, or 0xC000 on kind 12)
// and reads it back; 1 when it is in place.
int RestoreSerialNvram(ProcedureContext& ctx, const std::uint8_t* nvram4k);
int SerialFlashUpdate(ProcedureContext& ctx);
int EraseSerialFlash(ProcedureContext& ctx);
int ProgramSerialFlash(ProcedureContext& ctx);

}  // namespace v62x
