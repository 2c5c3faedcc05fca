// The chip check that runs whenever the selected device, the firmware file
// or the parallel-flash choice changes: identify the chip, read its flash
// and firmware version, check the file against it, and decide what the
// window shows. Free of any window: the window applies the returned view
// to its widgets; the command line prints it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "Fwupdate/OperatorPanel.h"
#include "Fwupdate/ToolState.h"
#include "IDEAccess/ChipKinds.h"

namespace v62x {

// Flash type names and erase sizes by flash type code; codes above 10 are
// shown as "Unknown" with the sizes of code 0.
std::string FlashTypeName(std::int32_t code);
std::int32_t FlashBlockEraseSize(std::int32_t code);
std::int32_t FlashSectorEraseSize(std::int32_t code);

// A control's change: nullopt leaves it as it is.
struct ControlChange {
    std::optional<bool> visible;
    std::optional<bool> enabled;
};

// What the check decided for the window.
struct ChipView {
    bool checked = false;              // false: no candidate, nothing but NVRAMCheck changed
    std::optional<bool> runEnabled;    // nullopt: the Run button stays as it is
    bool fileMismatch = false;         // the mismatch message was shown
    std::string chipLabel;             // ChipLabelEdit
    std::string status;                // StatusEdit
    std::string flashType;             // SFlashTypeLable
    std::string version;               // FwVerLableEdit
    std::string drives;                // DiskLetterLable
    ControlChange sflashType;          // SFlashTypeLable
    ControlChange fwVersion;           // FwVerLableEdit
    ControlChange flashTypeList;       // FlashTypeList
    ControlChange flashTypeLabel;      // FlashTypeLabel
    ControlChange a1Chip;              // A1ChipCheck
    ControlChange vrs735;              // VRS735HDDFwChk
    ControlChange nvram;               // NVRAMCheck
    std::optional<bool> nvramChecked;  // NVRAMCheck's check mark
    std::string fileProblem;           // why the firmware file could not be read
    std::string recoveryPreview;       // what the bank repair would do (recover off)
    std::string recoveryOutcome;       // the bank repair's status text, when one ran
};

// What the window tells the check about its controls.
struct ChipCheckRequest {
    int selected = 0;             // DeviceList index
    bool listEnabled = false;     // DeviceList enabled
    std::string fileName;         // FwFilenameEdit
    bool eraseOnly = false;       // EraseOnlyCheck
    bool backupOnly = false;      // BackupFWCheckBox
    // Repairs a damaged bank of a two-bank chip as soon as it is identified
    // (the window). Without it nothing is written: the view only tells what
    // the repair would do (the command line's info and backup).
    bool recover = true;
};

// Runs the check on the selected record. The mismatch message goes to the
// panel when it is shown.
ChipView UpdateBtnCheck(ToolState& state, const ChipCheckRequest& request, OperatorPanel& panel);

// True when bridge byte 0x506A reads back 1 after 0 was written; the byte is
// written back (its first value, bit 0 flipped on success) in every case.
int ProbeInvertedBit(const std::string& path);

// The firmware version text of a chip information record (n bytes arrived).
std::string FormatFirmwareVersion(const std::uint8_t* record16, std::uint32_t n, std::uint8_t kind,
                                  bool invertLastBit);
// The version shown when the record cannot be read.
std::string FallbackFirmwareVersion(std::uint8_t kind);

}  // namespace v62x
