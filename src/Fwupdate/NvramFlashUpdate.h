// Run procedures for bridges that keep a 4 KiB NVRAM block at flash address
// 0, in front of the firmware code. Both program the flash in 16 KiB blocks
// over 32 KiB erase units, check every erased unit blank and read every
// written block back; both also offer the erase-only and backup-only options
// of the engineering panel. Each returns non-zero for success.
#pragma once

#include "Fwupdate/Procedure.h"

namespace v62x {

// Keeps the NVRAM already in the bridge unless the firmware file carries
// one and "Include 4K NVRAM" is ticked. Sets NvramInImage at the start of
// every run. A failure after the first erase puts the kept NVRAM back at
// flash address 0 before it returns.
int NvramKeepingFlashUpdate(ProcedureContext& ctx);

// Writes a saved 4 KiB NVRAM copy to flash address 0 and reads it back; 1 when it is in place.
int RestoreKeepingNvram(ProcedureContext& ctx, const std::uint8_t* nvram4k);

// Programs the whole file, NVRAM block included (it ticks "Include 4K
// NVRAM" itself), through the serial-flash writer of the flash type.
int FullImageFlashUpdate(ProcedureContext& ctx);

}  // namespace v62x
