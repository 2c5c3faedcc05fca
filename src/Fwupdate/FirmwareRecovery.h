// Repair of a two-bank flash whose banks disagree, run when a kind-12 chip
// is identified.
#pragma once

#include <cstdint>
#include <string>

#include "Fwupdate/OperatorPanel.h"
#include "Fwupdate/ToolState.h"

namespace v62x {

// Returns 1 when nothing needed repair or the repair succeeded.
int RecoverFirmware(ToolState& state, OperatorPanel& panel, const std::string& path,
                    std::uint8_t chipKind);

}  // namespace v62x
