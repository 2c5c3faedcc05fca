#include "Fwupdate/RunDispatch.h"

#include "Fwupdate/DiskFirmwareUpdate.h"
#include "Fwupdate/InternalRomFlashUpdate.h"
#include "Fwupdate/NvramFlashUpdate.h"
#include "Fwupdate/NvramKeeper.h"
#include "Fwupdate/PageFlashUpdate.h"
#include "Fwupdate/ProcedureHelpers.h"
#include "Fwupdate/SerialFlashUpdate.h"
#include "Fwupdate/StandardFlashUpdate.h"
#include "Fwupdate/Vrs735DiskFirmwareUpdate.h"
#include "IDEAccess/ChipKinds.h"
#include "IDEAccess/FirmwareFile.h"
#include "IDEAccess/FlashIdentify.h"
#include "IDEAccess/Host.h"
#include "IDEAccess/IdentifyChip.h"
#include "IDEAccess/Notifier.h"

namespace v62x {
namespace {

// The run's firmware fits the flash; a file that cannot be read does not.
bool RunFirmwareFits(ProcedureContext& ctx, std::uint32_t flashSizeKB) {
    std::string problem;
    const FirmwareImage* image = RunFirmware(ctx, &problem);
    if (image == nullptr) {
        NotifyOperator({"Error", problem, MessageIcon::Error});
        return false;
    }
    return ImageFitsFlash(image->bytes.size(), flashSizeKB) != 0;
}

RunChoice ChooseFlashProcedure(ProcedureContext& ctx) {
    const IdentificationState& id = ctx.state.id;
    switch (ChipKindInfo(id.ChipKind).family) {
        case RunFamily::SettingsInFlash:
            if (!ctx.panel.EraseOnlyChecked() && !ctx.panel.BackupOnlyChecked() &&
                !RunFirmwareFits(ctx, static_cast<std::uint32_t>(id.FlashSizeKB))) {
                return RunChoice::SizeMessage;
            }
            return id.FlashTypeCode == kFlashSst ? RunChoice::FullImage : RunChoice::NvramKeeping;
        case RunFamily::NvramKeeping:
            return RunChoice::NvramKeeping;
        case RunFamily::SerialFlash:
            return RunChoice::SerialFlash;
        case RunFamily::ByFlashMode:
            if (CheckFlashMode(ctx.path) == 0 && id.ChipRevision < 5) return RunChoice::NvramKeeping;
            return id.SstSerialFlag == 1 ? RunChoice::FullImage : RunChoice::SerialFlash;
        case RunFamily::PageFlashOn1394:
            // The host knows whether the path sits on the IEEE 1394 storage driver.
            if (CurrentHost().IsOnIeee1394(ctx.path)) return RunChoice::PageFlash;
            break;
        default:
            break;
    }
    return id.SstSerialFlag == 1 ? RunChoice::FullImage : RunChoice::StandardFlash;
}

int RunChosen(ProcedureContext& ctx, RunChoice choice, const RunRequest& request) {
    switch (choice) {
        case RunChoice::DiskFirmware: return DiskFirmwareUpdate(ctx);
        case RunChoice::Vrs735DiskFirmware: return VRS735DiskFirmwareUpdate(ctx);
        case RunChoice::FullImage: return FullImageFlashUpdate(ctx);
        case RunChoice::NvramKeeping: return NvramKeepingFlashUpdate(ctx);
        case RunChoice::SerialFlash: return SerialFlashUpdate(ctx);
        case RunChoice::PageFlash: return PageFlashUpdate(ctx);
        case RunChoice::StandardFlash: return StandardFlashUpdate(ctx);
        case RunChoice::InternalRom: return InternalRomFlashUpdate(ctx, request.flashTypeIndex);
        case RunChoice::SizeMessage:
            ctx.panel.ShowMessage("Message", kFileBiggerThanFlashText);
            return 0;
        case RunChoice::Nothing: return 0;
    }
    return 0;
}

}  // namespace

RunChoice ChooseProcedure(ProcedureContext& ctx, const RunRequest& request) {
    const IdentificationState& id = ctx.state.id;
    const ChipKindRow& row = ChipKindInfo(id.ChipKind);
    const bool noFlashType = id.FlashTypeCode == kFlashUnknown;
    if (noFlashType && row.withoutFlash == WithoutFlash::DiskFirmware) return RunChoice::DiskFirmware;
    if ((request.vrs735HddFw || noFlashType) && row.withoutFlash == WithoutFlash::TwoBankDiskFirmware) {
        return RunChoice::Vrs735DiskFirmware;
    }
    if (IsFlashFamily(row.family)) return ChooseFlashProcedure(ctx);
    switch (row.family) {
        case RunFamily::InternalRom: return RunChoice::InternalRom;
        case RunFamily::DiskFirmware: return RunChoice::DiskFirmware;
        case RunFamily::DiskFirmwareMarked:
            // The indicator holds the status byte as the bridge reports it (0..255).
            return id.HddFwIndicator >= kDiskFirmwareMark ? RunChoice::DiskFirmware : RunChoice::Nothing;
        default: return RunChoice::Nothing;
    }
}

const char* RunChoiceName(RunChoice choice) {
    switch (choice) {
        case RunChoice::Nothing: return "none";
        case RunChoice::SizeMessage: return "size message";
        case RunChoice::DiskFirmware: return "firmware on the attached disk";
        case RunChoice::Vrs735DiskFirmware: return "735 firmware on the attached disk";
        case RunChoice::FullImage: return "full-image flash update";
        case RunChoice::NvramKeeping: return "NVRAM-keeping flash update";
        case RunChoice::SerialFlash: return "serial-flash update";
        case RunChoice::PageFlash: return "page flash update";
        case RunChoice::StandardFlash: return "standard flash update";
        case RunChoice::InternalRom: return "internal-ROM flash update";
    }
    return "none";
}

// Procedures that erase and write the flash with the size and type the
// identification learned.
bool WritesFlash(RunChoice choice) {
    switch (choice) {
        case RunChoice::FullImage:
        case RunChoice::NvramKeeping:
        case RunChoice::SerialFlash:
        case RunChoice::PageFlash:
        case RunChoice::StandardFlash:
            return true;
        default:
            return false;
    }
}

RunOutcome RunUpdate(ProcedureContext& ctx, const RunRequest& request) {
    ctx.panel.SetStatus("");
    RunOutcome outcome;
    outcome.choice = ChooseProcedure(ctx, request);
    const bool backupOnly = ctx.panel.RdVersionChecked() && ctx.panel.BackupOnlyChecked() &&
                            !ctx.panel.EraseOnlyChecked();
    if (WritesFlash(outcome.choice) && ctx.state.id.FlashQueryFailed != 0 && !backupOnly) {
        // Without the flash's type and size the run would write the wrong
        // amount (one bank of two, say): nothing is touched.
        Say(ctx, kFlashQueryFailedText);
        outcome.result = 0;
        return outcome;
    }
    outcome.result = RunChosen(ctx, outcome.choice, request);
    outcome.enableRun = outcome.choice != RunChoice::SizeMessage;
    return outcome;
}

int RestoreSavedNvram(ProcedureContext& ctx, const RunRequest& request, const std::string& file, std::string& why) {
    const RunChoice choice = ChooseProcedure(ctx, request);
    const std::uint8_t kind = ctx.state.id.ChipKind;
    std::size_t size = 4096;
    int (*restore)(ProcedureContext&, const std::uint8_t*) = nullptr;
    switch (choice) {
        case RunChoice::NvramKeeping: restore = RestoreKeepingNvram; break;
        case RunChoice::SerialFlash: restore = RestoreSerialNvram; break;
        case RunChoice::PageFlash:
            restore = RestorePageNvram;
            size = kPageNvramSize;
            break;
        default:
            why = "this bridge (kind " + std::to_string(kind) + ") keeps no NVRAM the tool saves";
            return 0;
    }
    std::vector<std::uint8_t> bytes;
    if (!LoadSavedNvram(file, kind, size, bytes, why)) return 0;
    Say(ctx, "Restore NVRAM ...");
    if (restore(ctx, bytes.data()) == 0) {
        why = "the NVRAM could not be written and read back";
        Say(ctx, "Write NVRAM back command fail!");
        return 0;
    }
    Say(ctx, "Restore NVRAM success!");
    return 1;
}

}  // namespace v62x
