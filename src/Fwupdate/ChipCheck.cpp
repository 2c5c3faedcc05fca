#include "Fwupdate/ChipCheck.h"

#include <array>
#include <cstdio>

#include "IDEAccess/ChipKinds.h"
#include "Fwupdate/FirmwareRecovery.h"
#include "IDEAccess/ChipCommands.h"
#include "IDEAccess/FirmwareFile.h"
#include "IDEAccess/FirmwareState.h"
#include "IDEAccess/FlashIdentify.h"
#include "IDEAccess/Host.h"
#include "IDEAccess/IdentifyChip.h"
#include "IDEAccess/Notifier.h"

namespace v62x {
namespace {

struct FlashTypeRow {
    const char* name;
    std::int32_t blockErase;
    std::int32_t sectorErase;
};

constexpr std::array<FlashTypeRow, 11> kFlashTypes = {{
    {"Unknown", 32768, 4096},
    {"PMC", 32768, 4096},
    {"SST", 32768, 4096},
    {"ST/EON/MXIC", 65536, 32768},
    {"ATMEL", 65536, 32768},
    {"MXIC", 65536, 4096},
    {"WINBOND", 65536, 4096},
    {"AMIC", 65536, 4096},
    {"EON", 65536, 32768},
    {"ESMT", 65536, 4096},
    {"SANYO", 65536, 4096},
}};

// Codes outside the table read as "Unknown" with its sizes.
const FlashTypeRow& RowOf(std::int32_t code) {
    return code >= 0 && code < static_cast<std::int32_t>(kFlashTypes.size())
               ? kFlashTypes[static_cast<std::size_t>(code)]
               : kFlashTypes[0];
}

constexpr const char* kMismatchText = "The firmware file seems not match this chip!";
constexpr const char* kUnsupportedText = "The chip not support Firmware Update!";
constexpr const char* kNotOurChipText = "Not Velmora Chip!!";
constexpr const char* kInternalCodeText = "Internal code";

void Show(ControlChange& control) { control.visible = true; }
void Hide(ControlChange& control) { control.visible = false; }
void ShowEnabled(ControlChange& control) {
    control.visible = true;
    control.enabled = true;
}

// Learns a serial flash's type: the name shown and the erase sizes used.
// With `settings`, the erase sizes become those runs start from.
void TakeFlashType(IdentificationState& id, ChipView& view, std::int32_t code, FlashSettings* settings = nullptr) {
    id.FlashTypeCode = code;
    view.flashType = FlashTypeName(code);
    if (settings != nullptr) {
        settings->BlockEraseSize = FlashBlockEraseSize(code);
        settings->SectorEraseSize = FlashSectorEraseSize(code);
    }
}

// The JEDEC answer of the flash, for the page-size and SST decisions.
struct Jedec {
    bool ok = false;
    std::array<std::uint8_t, 4> b{};
};

Jedec ReadJedec(const std::string& path) {
    Jedec j;
    j.ok = SpiQuery(path, 0x9F, j.b.data(), 4) != 0;
    return j;
}

// MXIC parts that take 32-byte pages.
bool IsSmallPageMxic(const Jedec& j) {
    return j.ok && j.b[0] == 0xC2 && j.b[1] == 0x22 &&
           (j.b[2] == 0x10 || j.b[2] == 0x11 || j.b[2] == 0x13);
}

bool IsSstSerial(const Jedec& j) { return j.ok && j.b[0] == 0xBF && j.b[1] == 0x25; }

// A flash query whose command failed is asked once more; failing twice,
// it marks the identification incomplete, so that no run writes on it.
template <typename Query>
bool AskTwice(IdentificationState& id, Query query) {
    if (query() != 0 || query() != 0) return true;
    id.FlashQueryFailed = 1;
    return false;
}

void ReadSerialGeneration1(const std::string& path, IdentificationState& id, ChipView& view) {
    FlashProfile profile;
    if (DetectSerialFlash(path, profile) != 0 && profile.FlashType != 0) {
        AskTwice(id, [&] { return DetectFlashSize(path, profile); });
        id.FlashSizeKB = static_cast<std::int32_t>(profile.SizeKB);
        if (id.ChipKind == kKind646) {
            SetFlashOpcodesNoData(path, profile);
        } else {
            SetFlashOpcodes(path, profile);
        }
    }
    TakeFlashType(id, view, profile.FlashType);
    if (id.FlashTypeCode == kFlashMxic && (id.ChipKind == kKind624E || id.ChipKind == kKind646)) {
        if (IsSmallPageMxic(ReadJedec(path))) SetFlashPageSize(path, 32, id.ChipKind == kKind646 ? 0 : 2);
    } else if (id.FlashTypeCode == kFlashSst) {
        id.SstSerialFlag = IsSstSerial(ReadJedec(path)) ? 1 : 0;
    }
}

void ReadSerial(ToolState& state, OperatorPanel& panel, const std::string& path, ChipView& view,
                bool recover) {
    IdentificationState& id = state.id;
    Show(view.sflashType);
    Show(view.vrs735);
    std::uint8_t vendor[4] = {};
    if (AskTwice(id, [&] { return GetFlashVendor(path, vendor); })) TakeFlashType(id, view, vendor[0], &state.flash);

    // The record the bridge is given; it stays all zero unless filled below.
    FlashProfile profile;
    if ((id.ChipKind == kKind751 && id.ChipRevision >= 5) || id.ChipKind == kKind735) {
        if (id.FlashTypeCode == kFlashUnknown && DetectSerialFlash(path, profile) != 0) {
            TakeFlashType(id, view, profile.FlashType, &state.flash);
        }
        if (id.ChipKind == kKind735) {
            profile.FlashType = static_cast<std::uint8_t>(id.FlashTypeCode);
            AskTwice(id, [&] { return DetectFlashSize(path, profile); });
            id.FlashSizeKB = static_cast<std::int32_t>(profile.SizeKB);
            if (recover) {
                // The repair's outcome stays in the status field: the check
                // that follows must not overwrite it.
                bool repaired = false;
                RecoverFirmware(state, panel, path, id.ChipKind, &repaired);
                if (repaired) view.recoveryOutcome = panel.Status();
            } else {
                view.recoveryPreview = RecoveryPreview(state, panel, path, id.ChipKind);
            }
        }
    }
    if (id.FlashTypeCode == kFlashMxic) {
        const Jedec jedec = ReadJedec(path);
        if (jedec.ok) {
            profile.ChipEraseOp = 0xC7;
            profile.BlockEraseOp = 0xD8;
            profile.ProgramOp = 0x02;
            profile.SectorEraseOp = 0x20;
            if (IsSmallPageMxic(jedec)) {
                if (id.ChipKind == kKind735) {
                    SetFlashParamsWide(path, profile, 32);
                } else {
                    SetFlashParams(path, profile, 32);
                }
            }
        }
    } else if (id.FlashTypeCode == kFlashSst) {
        id.SstSerialFlag = IsSstSerial(ReadJedec(path)) ? 1 : 0;
    }
}

void ReadBridgeFlash(const std::string& path, IdentificationState& id, ChipView& view) {
    id.AmicProbe = ProbeAmicFlash(path);
    id.AtmelProbe = ProbeAtmelFlash(path);
    if (id.AmicProbe != -1) {
        view.flashType = "AMIC";
        return;
    }
    if (id.AtmelProbe != -1) {
        view.flashType = "ATMEL";
        return;
    }
    std::uint8_t vendor[4] = {};
    if (GetFlashVendor(path, vendor) == 0) return;
    if (vendor[0] != 0) {
        TakeFlashType(id, view, vendor[0]);
        return;
    }
    FlashProfile profile;
    if (DetectSerialFlash(path, profile) != 0) TakeFlashType(id, view, profile.FlashType);
}

void ShowUnsupported(ChipView& view) {
    Hide(view.sflashType);
    Hide(view.flashTypeList);
    Hide(view.flashTypeLabel);
    Hide(view.a1Chip);
    Hide(view.fwVersion);
    view.status = kUnsupportedText;
}

void ShowWindowState(ToolState& state, OperatorPanel& panel, const std::string& path, ChipView& view,
                     bool recover) {
    IdentificationState& id = state.id;
    const ChipClass cls = ClassOfKind(id.ChipKind, id.ChipRevision, CurrentHost().IsOnIeee1394(path));
    switch (cls) {
        case ChipClass::BridgeFlash:
        case ChipClass::Serial:
        case ChipClass::SerialGeneration1:
            Show(view.sflashType);
            Show(view.fwVersion);
            Hide(view.flashTypeList);
            Hide(view.flashTypeLabel);
            Hide(view.a1Chip);
            Hide(view.vrs735);
            id.AmicProbe = -1;
            id.AtmelProbe = -1;
            id.SstSerialFlag = 0;
            if (ChipKindInfo(id.ChipKind).nvramBox) {
                Show(view.nvram);
                view.nvramChecked = id.IncludeNvram != 0;
            }
            if (cls == ChipClass::SerialGeneration1) {
                ReadSerialGeneration1(path, id, view);
            } else if (cls == ChipClass::Serial) {
                ReadSerial(state, panel, path, view, recover);
            } else {
                ReadBridgeFlash(path, id, view);
            }
            return;
        case ChipClass::DiskFirmware: {
            std::uint8_t record[18] = {};
            const std::uint8_t indicator = GetBridgeStatus(path, record, sizeof record);
            if (indicator == 0) return;  // no answer: nothing changes
            id.HddFwIndicator = indicator;
            if (indicator >= kDiskFirmwareMark) {
                Hide(view.sflashType);
                Hide(view.flashTypeList);
                Hide(view.flashTypeLabel);
                Hide(view.a1Chip);
                Show(view.fwVersion);
            } else {
                ShowUnsupported(view);
            }
            return;
        }
        case ChipClass::ManualFlashChoice:
            Hide(view.sflashType);
            ShowEnabled(view.flashTypeList);
            ShowEnabled(view.a1Chip);
            Show(view.flashTypeLabel);
            Show(view.fwVersion);
            return;
        case ChipClass::Unsupported:
            ShowUnsupported(view);
            return;
    }
}

void ShowFirmwareVersion(ToolState& state, const std::string& path, ChipView& view) {
    const std::uint8_t kind = state.id.ChipKind;
    std::uint8_t record[16] = {};
    std::uint32_t arrived = 0;
    if (GetChipInfo(path, record, sizeof record, arrived) == 0) {
        view.version = FallbackFirmwareVersion(kind);
        return;
    }
    if (record[0] != kChipInfoMarker0 || record[1] != kChipInfoMarker1) {
        view.status = kNotOurChipText;
        return;
    }
    const bool invert =
        ChipKindInfo(kind).version == VersionFormat::FiveFieldsLastBit && ProbeInvertedBit(path) != 0;
    const std::string text = FormatFirmwareVersion(record, arrived, kind, invert);
    view.version = IsFlashFirmwareActive(path, kind, text, state.id.FlashTypeCode) != 0 ? text
                                                                                       : kInternalCodeText;
}

std::string Printed(const char* format, int a, int b, int c = 0, int d = 0, int e = 0) {
    char text[64];
    std::snprintf(text, sizeof text, format, a, b, c, d, e);
    return text;
}

}  // namespace

std::string FlashTypeName(std::int32_t code) { return RowOf(code).name; }
std::int32_t FlashBlockEraseSize(std::int32_t code) { return RowOf(code).blockErase; }
std::int32_t FlashSectorEraseSize(std::int32_t code) { return RowOf(code).sectorErase; }

std::string FallbackFirmwareVersion(std::uint8_t kind) { return ChipKindInfo(kind).fallbackVersion; }

std::string FormatFirmwareVersion(const std::uint8_t* b, std::uint32_t n, std::uint8_t kind,
                                  bool invertLastBit) {
    switch (ChipKindInfo(kind).version) {
        case VersionFormat::FiveFields:
            return Printed("%d.%.2d.%.2d.%.2d.%.2d", b[6], b[7], b[12], b[13], b[14]);
        case VersionFormat::FiveFieldsLastBit: {
            int last = static_cast<std::int8_t>(b[14]);
            if (invertLastBit) last ^= 1;
            return Printed("%d.%.2d.%.2d.%.2d.%.2d", b[6], b[7], b[12], b[13], last);
        }
        case VersionFormat::FiveFieldsZeroPadded:
            return Printed("%.2d.%.2d.%.2d.%.2d.%.2d", b[10], b[11], b[12], b[13], b[14]);
        case VersionFormat::FourFieldsZeroPadded:
            return Printed("%.2d.%.2d.%.2d.%.2d", b[12], b[13], b[14], b[15]);
        case VersionFormat::Short:
            break;
    }
    return n > 12 ? Printed("%d.%.2d.%.2d", b[12], b[13], b[14]) : Printed("%d.%.2d", b[6], b[7]);
}

int ProbeInvertedBit(const std::string& path) {
    std::uint8_t saved = 0;
    int result = 0;
    if (ReadBridgeMemory(path, &saved, kScratchRegister, 1) != 0) {
        const std::uint8_t zero = 0;
        std::uint8_t value = 0;
        if (WriteBridgeMemory(path, &zero, kScratchRegister, 1) != 0 &&
            ReadBridgeMemory(path, &value, kScratchRegister, 1) != 0 && value == 1) {
            saved ^= 1;
            result = 1;
        }
    }
    WriteBridgeMemory(path, &saved, kScratchRegister, 1);
    return result;
}

ChipView UpdateBtnCheck(ToolState& state, const ChipCheckRequest& request, OperatorPanel& panel) {
    ChipView view;
    Hide(view.nvram);
    const DeviceTable& devices = state.devices;
    if (devices.CandidateCount == 0) return view;
    // Without a listed device there is nothing to identify.
    if (request.selected < 0 || request.selected >= devices.ListedCount) return view;
    view.checked = true;

    const DeviceRecord& record = devices.records[static_cast<std::size_t>(request.selected)];
    const std::string path = record.InterfacePath;
    state.currentChip = IdentifyChip(path);
    state.id.FlashQueryFailed = 0;
    state.id.ChipKind = ChipKindOf(state.currentChip);
    state.id.ChipRevision = ChipRevisionOf(state.currentChip);

    state.firmware = FirmwareImage{};
    if (request.listEnabled && !request.fileName.empty()) {
        // The file is read once, here: a run programs exactly these bytes.
        FirmwareImage image;
        const ImageLoad load = LoadFirmwareImage(request.fileName, image);
        if (load != ImageLoad::Ok) {
            // A file that cannot be read is no mismatch: it says what is wrong.
            view.fileProblem = ImageLoadText(load, request.fileName);
            NotifyOperator({"Error", view.fileProblem, MessageIcon::Error});
            view.fileMismatch = true;
            view.runEnabled = false;
        } else if (ImageMatchesChip(image.bytes.data(), image.bytes.size(), state.currentChip) != 0) {
            state.firmware = std::move(image);
            view.runEnabled = true;
        } else {
            panel.ShowMessage("Message", kMismatchText);
            view.fileMismatch = true;
            view.runEnabled = false;
        }
    } else if (request.listEnabled && (request.eraseOnly || request.backupOnly)) {
        view.runEnabled = true;
    }

    view.chipLabel = ChipKindName(state.id.ChipKind);
    ShowWindowState(state, panel, path, view, request.recover);
    ShowFirmwareVersion(state, path, view);
    view.drives = record.DriveLetters;
    if (view.status.empty()) view.status = view.recoveryOutcome;
    return view;
}

}  // namespace v62x
