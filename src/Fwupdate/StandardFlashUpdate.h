// The Run procedure for the bridges that keep a small firmware image (32 to
// 64 KiB as a rule) in the flash behind them and erase, write and read it
// with the bridge's own flash block commands: chip kinds 1, 3, 4, 13, 15,
// and 7 off IEEE 1394, when the flash is no SST serial part. With "RD
// Version" ticked it may erase the flash only or back it up only; otherwise
// it programs the firmware file, keeping the 512-byte NVRAM block at 0x8000
// when the image fits in 32 KiB, and reads everything back to compare.
#pragma once

#include "Fwupdate/Procedure.h"

namespace v62x {

// Non-zero for success.
int StandardFlashUpdate(ProcedureContext& ctx);

}  // namespace v62x
