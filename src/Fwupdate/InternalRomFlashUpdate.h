// Update procedures of the VR40621 family (chip kinds 2 and 20): the bridge
// is switched to its internal ROM, whose loader drives a 64 KiB parallel
// flash of the type the operator picked (0 ATMEL, 1 PMC, 2 SST, the rows of
// the parallel flash list). Each returns non-zero for success.
#pragma once

#include <cstdint>
#include <string>

#include "Fwupdate/Procedure.h"

namespace v62x {

// The parallel flash behind the ROM loader: every read, erase check, program
// and compare covers this many bytes, whatever FirmwareSize says.
constexpr std::uint32_t kInternalRomFlashSize = 65536;

// Polls of the ROM busy state before WaitRomIdle gives up: 100 rounds of 500.
constexpr int kRomIdlePollsPerRound = 500;
constexpr int kRomIdleRounds = 100;

// The Run-button procedure: switch to the internal ROM (unless "A1 Chip"),
// then erase only, back up only, or erase, program and verify the whole
// flash from the firmware file.
int InternalRomFlashUpdate(ProcedureContext& ctx, int flashTypeIndex);
// Erases the flash and checks it blank; the power-cycle message on success.
int EraseInternalRomFlash(ProcedureContext& ctx, int flashTypeIndex);
// Writes the 64 KiB of flash to the backup file.
int BackupInternalRomFlash(ProcedureContext& ctx);
// Non-zero as soon as the ROM reports idle; 0 after 50,000 busy polls.
// Polls back to back, without sleeping.
int WaitRomIdle(const std::string& path);

}  // namespace v62x
