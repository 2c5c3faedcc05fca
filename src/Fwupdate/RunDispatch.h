// What the Run button starts: exactly one update procedure, chosen from the
// identified chip kind, the detected flash and the options. Free of any
// window: the window and the command line both run it through the operator
// panel.
#pragma once

#include <string>

#include "Fwupdate/Procedure.h"

namespace v62x {

enum class RunChoice {
    Nothing,        // no procedure serves the chip
    SizeMessage,    // the file is bigger than the flash: only the message
    DiskFirmware,
    Vrs735DiskFirmware,
    FullImage,
    NvramKeeping,
    SerialFlash,
    PageFlash,
    StandardFlash,
    InternalRom,
};

// What the Run handler reads besides the tool state and the panel.
struct RunRequest {
    int flashTypeIndex = 0;     // FlashTypeList item (parallel flash part)
    bool vrs735HddFw = false;   // "VRS735 HDD FW " ticked
};

struct RunOutcome {
    RunChoice choice = RunChoice::Nothing;
    int result = 0;             // the procedure's result; 0 when none ran
    bool enableRun = true;      // false only after the size message
};

// The message kind-10 programming runs end with when the file does not fit.
constexpr const char* kFileBiggerThanFlashText = "The firmware file size is bigger than the flash size!";

// Decides which procedure serves the selected device. May ask the bridge
// (flash mode of kind 11) and open the firmware file (size check of kind 10).
RunChoice ChooseProcedure(ProcedureContext& ctx, const RunRequest& request);

// The name of a choice, for traces and the command line.
const char* RunChoiceName(RunChoice choice);

// The Run handler's work between disabling and enabling the Run button:
// clears the status field, chooses and runs the procedure.
RunOutcome RunUpdate(ProcedureContext& ctx, const RunRequest& request);

// The status of a writing run refused because a flash query failed twice.
constexpr const char* kFlashQueryFailedText = "Flash query fail!! Nothing was written.";

// Writes a saved NVRAM copy (NvramKeeper.h) back to the selected bridge
// through the procedure that keeps its NVRAM, and reads it back. 1 when it
// is in place; 0 with the reason in `why` and the status.
int RestoreSavedNvram(ProcedureContext& ctx, const RunRequest& request, const std::string& file, std::string& why);

}  // namespace v62x
