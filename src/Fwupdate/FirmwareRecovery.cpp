#include "Fwupdate/FirmwareRecovery.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "Fwupdate/ImageChecks.h"
#include "Fwupdate/Procedure.h"
#include "Fwupdate/SerialFlashBlocks.h"
#include "IDEAccess/ChipKinds.h"

namespace v62x {
namespace {

constexpr std::int32_t kMinimumFlashKB = 128;
constexpr int kAttemptModes[] = {kWriteModeLargeUnit, kWriteModeSmallUnit};

// The listed record of the device at `path`; null when none is listed.
DeviceRecord* RecordOf(DeviceTable& devices, const std::string& path) {
    const int listed = std::clamp(devices.ListedCount, 0, static_cast<int>(devices.records.size()));
    for (int i = 0; i < listed; ++i) {
        DeviceRecord& record = devices.records[static_cast<std::size_t>(i)];
        if (record.InterfacePath == path) return &record;
    }
    return nullptr;
}

void ClearStatus(OperatorPanel& panel) {
    panel.SetStatus("");
    panel.ProcessPendingEvents();
}

// One write of `image` to `target` in `mode` and its read-back compare.
bool WriteAndVerify(ProcedureContext& ctx, std::uint32_t target, const std::uint8_t* image,
                    std::uint8_t* readBack, int mode) {
    // The write erases each unit of the target bank before its first piece
    // and nothing outside it.
    PositionEraseCounters(ctx.geometry, target);
    std::memset(readBack, 0, kRecoveryBankSize);
    if (WriteFlashBlocks(ctx, target, image, kRecoveryBankSize, mode) == 0) return false;
    const int read = ReadFlashBlocks(ctx, target, readBack, kRecoveryBankSize);
    ClearStatus(ctx.panel);
    if (read == 0) return false;
    return std::memcmp(readBack, image, kRecoveryBankSize) == 0;
}

// Both banks as the flash holds them: `valid` is the copy of the bank that
// passes the check (when one does). False when a read failed.
struct Banks {
    bool bank0Valid = false;
    bool bank1Valid = false;
};

bool ReadBanks(ProcedureContext& ctx, std::uint8_t chipKind, std::uint8_t* scratch, std::uint8_t* valid,
               Banks& out) {
    for (const std::uint32_t bank : {kRecoveryBank0, kRecoveryBank1}) {
        std::memset(scratch, 0, kRecoveryBankSize);
        const int read = ReadFlashBlocks(ctx, bank, scratch, kRecoveryBankSize);
        ClearStatus(ctx.panel);
        if (read == 0) return false;
        const bool ok = BankImageValid(scratch, chipKind) != 0;
        if (ok) std::memcpy(valid, scratch, kRecoveryBankSize);
        (bank == kRecoveryBank0 ? out.bank0Valid : out.bank1Valid) = ok;
    }
    return true;
}

bool RecoveryDue(const ToolState& state, std::uint8_t chipKind) {
    return chipKind == kKind735 && state.id.FlashSizeKB >= kMinimumFlashKB;
}

}  // namespace

std::string RecoveryPreview(ToolState& state, OperatorPanel& panel, const std::string& path,
                            std::uint8_t chipKind) {
    if (!RecoveryDue(state, chipKind)) return "";
    std::unique_ptr<std::uint8_t[]> a(new (std::nothrow) std::uint8_t[kRecoveryBankSize]);
    std::unique_ptr<std::uint8_t[]> b(new (std::nothrow) std::uint8_t[kRecoveryBankSize]);
    if (!a || !b) return "the firmware banks could not be checked";
    ProcedureContext ctx{state, panel, path};
    Banks banks;
    if (!ReadBanks(ctx, chipKind, a.get(), b.get(), banks)) return "the firmware banks could not be read";
    if (banks.bank0Valid && banks.bank1Valid) return "";
    if (!banks.bank0Valid && !banks.bank1Valid) return "both firmware banks are invalid: nothing to copy";
    return banks.bank0Valid ? "bank 1 is invalid: a run copies bank 0 over it"
                            : "bank 0 is invalid: a run copies bank 1 over it";
}

int RecoverFirmware(ToolState& state, OperatorPanel& panel, const std::string& path,
                    std::uint8_t chipKind, bool* repaired) {
    if (repaired != nullptr) *repaired = false;
    if (!RecoveryDue(state, chipKind)) return 1;
    DeviceRecord* record = RecordOf(state.devices, path);
    if (record != nullptr && record->RecoveryChecked == 1) return 1;

    // Run stays disabled while the banks are read and written.
    RunButtonHold hold(panel);
    std::unique_ptr<std::uint8_t[]> a(new (std::nothrow) std::uint8_t[kRecoveryBankSize]);
    std::unique_ptr<std::uint8_t[]> b(new (std::nothrow) std::uint8_t[kRecoveryBankSize]);
    if (!a || !b) return 0;

    ProcedureContext ctx{state, panel, path};
    Banks banks;
    if (!ReadBanks(ctx, chipKind, a.get(), b.get(), banks)) return 0;
    const bool bank0Valid = banks.bank0Valid;
    const bool bank1Valid = banks.bank1Valid;

    if (record != nullptr) record->RecoveryChecked = 1;

    // Both good or both damaged: there is nothing trustworthy to copy, or
    // no need to.
    if (bank0Valid == bank1Valid) return 1;

    const std::uint32_t target = bank0Valid ? kRecoveryBank1 : kRecoveryBank0;
    if (repaired != nullptr) *repaired = true;
    bool clean = false;
    for (const int mode : kAttemptModes) {
        clean = WriteAndVerify(ctx, target, b.get(), a.get(), mode);
        if (clean) break;
    }
    panel.SetStatus(clean ? kRecoverySuccessText : kRecoveryFailText);
    panel.ProcessPendingEvents();
    return clean ? 1 : 0;
}

}  // namespace v62x
