#include "Fwupdate/InternalRomFlashUpdate.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "Fwupdate/ProcedureHelpers.h"
#include "IDEAccess/FlashCommands.h"
#include "IDEAccess/Transport.h"

namespace v62x {
namespace {

constexpr const char* kAllocateFailed = "Allocate read buffer Error!!";
constexpr const char* kPreEraseFailed = "Error pre-erase command!!";
constexpr const char* kEraseStatusFailed = "Erase command ok,status fail!!";
constexpr const char* kEraseOk = "Erase command ok!!";
constexpr const char* kNotErased = "Not Erase correctly!";

// One run's buffer of the whole flash, zero-filled; null when memory is short.
using FlashBuffer = std::unique_ptr<std::uint8_t[]>;

FlashBuffer AllocateFlashBuffer() { return AllocateBytes(kInternalRomFlashSize); }

// Status texts are redrawn at once; these runs process no window events.
void Show(ProcedureContext& ctx, const std::string& text) {
    ctx.panel.SetStatus(text);
    ctx.panel.RepaintStatus();
}

enum class RomImage { Loaded, Unreadable, Empty, TooLarge };

// Reads the run's firmware into `image` (kInternalRomFlashSize bytes).
// A file that cannot be read, an empty one and one longer than the flash
// are refused, so nothing is erased for a file that cannot be programmed in
// full.
RomImage LoadRomImage(ProcedureContext& ctx, std::uint8_t* image) {
    const FirmwareImage* file = RunFirmware(ctx);
    if (file == nullptr) return RomImage::Unreadable;
    if (file->bytes.empty()) return RomImage::Empty;
    if (file->bytes.size() > kInternalRomFlashSize) return RomImage::TooLarge;
    std::copy(file->bytes.begin(), file->bytes.end(), image);
    return RomImage::Loaded;
}

// Loads the file into `image`; false with the status of a refused file.
bool LoadNewRom(ProcedureContext& ctx, std::uint8_t* image) {
    switch (LoadRomImage(ctx, image)) {
        case RomImage::Loaded:
            return true;
        case RomImage::Unreadable:
            Show(ctx, "Open New ROM File Error!!");
            return false;
        case RomImage::Empty:
            Show(ctx, "New ROM File is empty!!");
            return false;
        case RomImage::TooLarge:
            Show(ctx, "New ROM File is bigger than 64KB!!");
            return false;
    }
    return false;
}

// Erases the flash before programming. An erase that does not confirm
// does not stop the run: the image is programmed anyway and the compare
// decides. False, with the status set, when the loader refused the erase
// or a confirmed erase left the flash not blank.
bool EraseBeforeProgramming(ProcedureContext& ctx, int flashTypeIndex, std::uint8_t* readBack) {
    const std::string& path = ctx.path;
    if (LoadRomEraseSequence(path, flashTypeIndex) == 0) {
        Show(ctx, kPreEraseFailed);
        return false;
    }
    if (StartRomErase(path) <= 0) return true;
    if (WaitRomIdle(path) == 0) {
        Show(ctx, kEraseStatusFailed);
        return true;
    }
    Show(ctx, kEraseOk);
    if (ReadRom(path, 0, readBack, kInternalRomFlashSize) != 0 && !AllErased(readBack, kInternalRomFlashSize)) {
        Show(ctx, kNotErased);
        return false;
    }
    return true;
}

// Programs the image (the bytes read rounded up to whole 64 KiB: for any
// accepted file the whole flash, the part past the file's end as 0x00),
// reads it back and compares. False with the status set.
bool ProgramAndCompare(ProcedureContext& ctx, int flashTypeIndex, std::uint8_t* image, std::uint8_t* readBack) {
    const std::string& path = ctx.path;
    const std::uint32_t programmedSize = kInternalRomFlashSize;
    WaitRomIdle(path);
    if (ProgramRom(path, image, programmedSize, flashTypeIndex) <= 0) {
        Show(ctx, "Programming Fail!!");
        return false;
    }
    // Nothing is a success before the flash has been read back: the
    // operator sees the compare step, then its outcome.
    Show(ctx, "Programming done, compare ...");

    // The ROM code programs in the background after the command returns.
    WaitRomIdle(path);
    if (ReadRom(path, 0, readBack, programmedSize) == 0) {
        Show(ctx, "Read Fail!!");
        return false;
    }
    if (std::memcmp(readBack, image, programmedSize) != 0) {
        Show(ctx, "Compare Fail!!");
        return false;
    }
    return true;
}

}  // namespace

int WaitRomIdle(const std::string& path) {
    for (int round = 0; round < kRomIdleRounds; ++round) {
        for (int poll = 0; poll < kRomIdlePollsPerRound; ++poll) {
            if (ReadRomBusy(path) == 0) return 1;
        }
    }
    return 0;
}

int InternalRomFlashUpdate(ProcedureContext& ctx, int flashTypeIndex) {
    const std::string& path = ctx.path;

    // The A1 chip starts in its internal ROM and takes no switch command.
    if (!ctx.panel.A1ChipChecked() && SwitchToInternalRom(path) == 0) {
        Show(ctx, "Can't switch to internal ROM");
        return 0;
    }
    if (ctx.state.id.EraseOnlyFlag != 0) return EraseInternalRomFlash(ctx, flashTypeIndex);
    if (ctx.panel.BackupOnlyChecked()) return BackupInternalRomFlash(ctx);
    // The ROM code takes the whole image in one command, which cannot be
    // split: refused before the erase when the storage driver passes less.
    if (!FitsOneRequest(path, kInternalRomFlashSize)) {
        Show(ctx, RequestLimitText(path, kInternalRomFlashSize));
        return 0;
    }

    FlashBuffer readBack = AllocateFlashBuffer();
    FlashBuffer image = AllocateFlashBuffer();
    if (!readBack || !image) {
        Show(ctx, kAllocateFailed);
        return 0;
    }
    // The file is loaded and checked before the erase: a file that cannot
    // be programmed in full must not cost the bridge its firmware.
    if (!LoadNewRom(ctx, image.get())) return 0;
    if (!EraseBeforeProgramming(ctx, flashTypeIndex, readBack.get())) return 0;
    if (!ProgramAndCompare(ctx, flashTypeIndex, image.get(), readBack.get())) return 0;

    Show(ctx, "Programming & Compare Success!!");
    ctx.panel.ShowMessage("Message", kPowerCycleText);
    return 1;
}

int EraseInternalRomFlash(ProcedureContext& ctx, int flashTypeIndex) {
    const std::string& path = ctx.path;

    Show(ctx, "Start Erase only!");
    if (LoadRomEraseSequence(path, flashTypeIndex) == 0) {
        Show(ctx, kPreEraseFailed);
        return 0;
    }
    // Only a flash that reads back blank counts as erased; every other end
    // is a failure and gets no power-cycle message.
    if (StartRomErase(path) <= 0) {
        Show(ctx, "Erase command fail!!");
        return 0;
    }
    if (WaitRomIdle(path) == 0) {
        Show(ctx, kEraseStatusFailed);
        return 0;
    }
    Show(ctx, kEraseOk);

    FlashBuffer readBack = AllocateFlashBuffer();
    if (!readBack) {
        Show(ctx, kAllocateFailed);
        return 0;
    }
    if (ReadRom(path, 0, readBack.get(), kInternalRomFlashSize) == 0) {
        Show(ctx, "Read Back after Erase fail!!");
        return 0;
    }
    if (!AllErased(readBack.get(), kInternalRomFlashSize)) {
        Show(ctx, kNotErased);
        return 0;
    }

    Show(ctx, "Erase All success!!");
    ctx.panel.ShowMessage("Message", kPowerCycleText);
    return 1;
}

int BackupInternalRomFlash(ProcedureContext& ctx) {
    std::string fileName = ctx.panel.BackupFileName();
    if (fileName.empty()) {
        fileName = kDefaultBackupFile;
        ctx.panel.ShowMessage("Message", "Default backup firmware as OldFalsh.bak!");
    }
    Show(ctx, "Backup ...");

    FlashBuffer data = AllocateFlashBuffer();
    if (!data) {
        Show(ctx, kAllocateFailed);
        return 0;
    }
    if (ReadRom(ctx.path, 0, data.get(), kInternalRomFlashSize) == 0) {
        Show(ctx, "Read ROM fail!!");
        return 0;
    }

    // The backup file is the raw flash: 65,536 bytes, nothing else. A write
    // or close that fails counts as a failed save.
    const char* saveFailed = "Read ROM Suceess, but save to file fail!!";
    const int saved = SaveBackup(ctx, fileName, data.get(), kInternalRomFlashSize, saveFailed, saveFailed);
    ctx.panel.RepaintStatus();
    return saved;
}

}  // namespace v62x
