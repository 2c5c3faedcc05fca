// What an update procedure works with: the tool state (identification,
// options, flash settings), its own flash geometry, the operator panel (option
// boxes, file names, status field, messages) and the device path.
#pragma once

#include <string>

#include "Fwupdate/OperatorPanel.h"
#include "Fwupdate/ToolState.h"

namespace v62x {

struct ProcedureContext {
    ToolState& state;
    OperatorPanel& panel;
    std::string path;
    // This run's flash geometry, from the tool state's settings.
    FlashGeometry geometry{state.flash};
};

// The message that ends a successful run: the operator must power-cycle.
constexpr const char* kPowerCycleText = "Please Turn-Off the Power and Turn-On Again!";
// The message after a run that ends by restarting the bridge itself.
constexpr const char* kAutoResetText = "VRS735 Auto reset, Please wait device re-attached!";

}  // namespace v62x
