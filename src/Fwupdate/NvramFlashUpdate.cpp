#include "Fwupdate/NvramFlashUpdate.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "Fwupdate/FlashStatusTexts.h"
#include "Fwupdate/ImageChecks.h"
#include "Fwupdate/NvramKeeper.h"
#include "Fwupdate/ProcedureHelpers.h"
#include "IDEAccess/ChipKinds.h"
#include "IDEAccess/FlashCommands.h"
#include "IDEAccess/FlashIdentify.h"
#include "IDEAccess/Host.h"
#include "IDEAccess/SerialProgramming.h"
#include "IDEAccess/Transport.h"

namespace v62x {
namespace {

// Flash layout of these bridges.
constexpr std::uint32_t kNvramSize = 4096;     // at flash address 0
constexpr std::uint32_t kBlockSize = 16384;    // one write, one read-back
constexpr std::uint32_t kEraseUnit = 32768;    // checked blank as two blocks
constexpr std::uint32_t kCarryStart = kBlockSize - kNvramSize;  // chunk bytes pushed to the next block
// Kind 10: the settings area behind the E9 AC 67 tag block, taken from the
// file into the kept NVRAM.
constexpr std::size_t kSettingsStart = 128;
constexpr std::size_t kSettingsEnd = 208;


constexpr const char* kErasingText = "Erasing";
constexpr const char* kEraseReadText = "Read back after erase fail!!";
constexpr const char* kWriteFailText = "Write command fail!";

using Nvram = std::array<std::uint8_t, kNvramSize>;

// These procedures redraw only the status field after each change.
void ShowStatus(ProcedureContext& ctx, const char* text) {
    ctx.panel.SetStatus(text);
    ctx.panel.RepaintStatus();
}

void Dot(ProcedureContext& ctx) {
    ctx.panel.AppendStatusDot();
    ctx.panel.RepaintStatus();
}

void DevTrace(const std::string& text) { CurrentHost().Trace(text); }

// The firmware file, read whole before the flash is touched: a file that
// cannot be read to its end then never leaves a half-programmed flash.
struct FirmwareFile {
    PaddedBuffer bytes;
    std::size_t length = 0;
};

enum class Loaded { Ok, OpenFailed, NoMemory, TooLarge };

Loaded LoadFirmware(ProcedureContext& ctx, FirmwareFile& out) {
    const FirmwareImage* file = RunFirmware(ctx);
    if (file == nullptr) return Loaded::OpenFailed;
    const std::size_t size = file->bytes.size();
    // Past the flash addresses there is nothing to program it into.
    if (size > kFlashAddressSpace) return Loaded::TooLarge;
    PaddedBuffer bytes(std::max<std::size_t>(size, 1));
    if (!bytes.valid()) return Loaded::NoMemory;
    std::copy(file->bytes.begin(), file->bytes.end(), bytes.data());
    out.bytes = std::move(bytes);
    out.length = size;
    return Loaded::Ok;
}

// The run's firmware carries the leading NVRAM block (a file that cannot be
// read carries none; the run then stops at its load).
bool RunImageHasNvramBlock(ProcedureContext& ctx) {
    const FirmwareImage* image = RunFirmware(ctx);
    return image != nullptr && ImageHasNvramBlock(image->bytes.data(), image->bytes.size(), ctx.state.id.ChipKind) != 0;
}

// The block buffers of a run; firstBlock keeps block 0 as written.
struct Blocks {
    PaddedBuffer readBack{kBlockSize};
    PaddedBuffer write{kBlockSize};
    PaddedBuffer chunk{kBlockSize};
    PaddedBuffer firstBlock{kBlockSize};
    bool valid() const { return readBack.valid() && write.valid() && chunk.valid() && firstBlock.valid(); }
};

// Loads the file and the buffers; false with the status set.
bool PrepareRun(ProcedureContext& ctx, FirmwareFile& file, Blocks& blocks) {
    switch (LoadFirmware(ctx, file)) {
        case Loaded::OpenFailed:
            ShowStatus(ctx, kOpenFileText);
            return false;
        case Loaded::NoMemory:
            ShowStatus(ctx, kAllocBuffersText);
            return false;
        case Loaded::TooLarge:
            DevTrace("The firmware file does not fit the flash addresses; the flash is left as it is\n");
            ShowStatus(ctx, kOpenFileText);
            return false;
        case Loaded::Ok:
            break;
    }
    if (!blocks.valid()) {
        ShowStatus(ctx, kAllocBuffersText);
        return false;
    }
    return true;
}

// Refuses, before anything is erased, an image that holds no code to
// program or that the 24-bit flash addresses cannot reach.
bool ImageIsProgrammable(ProcedureContext& ctx, const FirmwareFile& file, std::size_t codeStart,
                         std::uint64_t imageLength) {
    if (file.length <= codeStart) {
        DevTrace("The firmware file holds no code to program; the flash is left as it is\n");
        ShowStatus(ctx, kOpenFileText);
        return false;
    }
    if (imageLength > kFlashAddressSpace) {
        DevTrace("The firmware file does not fit the flash addresses; the flash is left as it is\n");
        ShowStatus(ctx, kOpenFileText);
        return false;
    }
    return true;
}

// Erases `units` units from address 0 and checks each blank, half by half.
bool EraseUnits(ProcedureContext& ctx, std::uint32_t units, std::uint8_t* readBack) {
    for (std::uint32_t u = 0; u < units; ++u) {
        const std::uint32_t address = u * kEraseUnit;
        WaitFlashReady(ctx.path);
        if (SectorEraseFlash(ctx.path, address) == 0) {
            ShowStatus(ctx, kEraseCommandFailText);
            return false;
        }
        Dot(ctx);
        ctx.panel.SetProgress(u + 1, units);
        for (std::uint32_t half = 0; half < kEraseUnit / kBlockSize; ++half) {
            if (ReadFlashChecked(ctx.path, address + half * kBlockSize, readBack, kBlockSize) == 0) {
                ShowStatus(ctx, kEraseReadText);
                return false;
            }
            if (!AllErased(readBack, kBlockSize)) {
                ShowStatus(ctx, kNotBlankText);
                return false;
            }
        }
    }
    return true;
}

enum class Writer {
    BlockCommand,  // the bridge firmware programs the flash
    SerialTyped,   // the tool drives the serial flash in the form of its type
};

// Writes length bytes at address, reads them back and compares.
bool WriteVerified(ProcedureContext& ctx, Writer writer, std::uint32_t address,
                   const std::uint8_t* data, std::uint32_t length, std::uint8_t* readBack) {
    const IdentificationState& id = ctx.state.id;
    WaitFlashReady(ctx.path);
    int written = 0;
    if (writer == Writer::SerialTyped) {
        written = SpiProgramRange(ctx.path, address, data, length, id.FlashTypeCode, id.SstSerialFlag != 0);
        ctx.panel.ProcessPendingEvents();
    } else {
        written = WriteFlashData(ctx.path, address, data, length);
    }
    if (written == 0) {
        ShowStatus(ctx, kWriteFailText);
        return false;
    }
    if (ReadFlashChecked(ctx.path, address, readBack, length) == 0) {
        ShowStatus(ctx, kWriteFailText);
        return false;
    }
    if (std::memcmp(data, readBack, length) != 0) {
        ShowStatus(ctx, kCompareFailText);
        return false;
    }
    return true;
}

// An image longer than the flash wraps round to address 0, where a later
// block can overwrite the first one and still read back as written. The
// first block is read once more at the end to catch that.
bool FirstBlockIntact(ProcedureContext& ctx, const std::uint8_t* firstBlock, std::uint8_t* readBack) {
    if (ReadFlashChecked(ctx.path, 0, readBack, kBlockSize) == 0) {
        ShowStatus(ctx, kWriteFailText);
        return false;
    }
    if (std::memcmp(firstBlock, readBack, kBlockSize) != 0) {
        DevTrace("Flash block 0 changed after it was written: the image runs past the end of the flash\n");
        ShowStatus(ctx, kCompareFailText);
        return false;
    }
    return true;
}

// True when programming `wanted` over `present` gives `wanted` (programming
// only clears bits).
bool Programmable(const std::uint8_t* present, const std::uint8_t* wanted, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        if ((present[i] & wanted[i]) != wanted[i]) return false;
    }
    return true;
}

// The traces of a failed run name the address the NVRAM goes back to.
constexpr NvramBackTraces kKeepingTraces = {
    "Run failed; the kept NVRAM is still in place at flash address 0\n",
    "Run failed; the kept NVRAM was written back at flash address 0\n",
    "Run failed; the kept NVRAM could NOT be put back and checked at flash address 0\n",
};

// The kept NVRAM at flash address 0 as these bridges reach it: read from a
// ready flash with a complete reply; written with the block command, its
// erase unit erased first when the flash holds bytes it cannot be
// programmed over, and on the second try in any case.
NvramPlace KeepingNvramPlace(const std::string& path) {
    NvramPlace place;
    place.size = kNvramSize;
    place.traces = kKeepingTraces;
    place.read = [path](std::uint8_t* out) { return ReadFlashChecked(path, 0, out, kNvramSize) != 0; };
    place.write = [path](const std::uint8_t* kept, int attempt, const std::uint8_t* seen) {
        if (attempt > 0 || seen == nullptr || !Programmable(seen, kept, kNvramSize)) {
            if (SectorEraseFlash(path, 0) == 0) return false;
            WaitFlashReady(path);
        }
        WriteFlashData(path, 0, kept, kNvramSize);
        return true;
    };
    return place;
}

// The erase-only option of the NVRAM-keeping procedure.
int EraseOnlyKeeping(ProcedureContext& ctx, bool includeNvram, const Nvram& kept, const std::string& savedFile) {
    if (ctx.state.id.ChipKind == kKind751) PrepareFlashUpdate(ctx.path);
    int result = EraseAllFlash(ctx);
    if (!includeNvram) {
        if (WriteNvramBack(KeepingNvramPlace(ctx.path), kept.data()) == NvramBack::Failed) {
            DevTrace("Erase only: the NVRAM could not be written back at flash address 0\n");
            ShowStatus(ctx, kWriteNvramBackFailText);
            ReportNvramNotRestored(ctx, savedFile);
            result = 0;
        }
    }
    if (result != 0) ctx.panel.ShowMessage("Message", kPowerCycleText);
    return result != 0 ? 1 : 0;
}

// What a run writes, and how.
struct ImagePlan {
    bool keep = false;            // the bridge's NVRAM goes in front of the code
    std::size_t codeStart = 0;    // first file byte written after the flash's NVRAM block
    bool settingsFromFile = false;  // kind 10: bytes 128..207 of the kept NVRAM from the file
    std::uint32_t imageLength = 0;  // the image's length, in whole blocks
    std::uint32_t units = 0;        // erase units the image covers
    Writer writer = Writer::BlockCommand;
    bool chipEraseFirst = false;    // a serial chip erase before the units are erased
};

// Steps "Erasing" to the last compare; false with the failing step's status.
bool ProgramImage(ProcedureContext& ctx, const ImagePlan& plan, const FirmwareFile& file,
                  const Nvram& kept, Blocks& blocks) {
    std::uint8_t* readBack = blocks.readBack.data();
    std::uint8_t* block = blocks.write.data();
    std::uint8_t* chunk = blocks.chunk.data();
    std::uint8_t* firstBlock = blocks.firstBlock.data();

    ShowStatus(ctx, kErasingText);
    if (plan.chipEraseFirst) SpiChipErase(ctx.path);
    if (!EraseUnits(ctx, plan.units, readBack)) return false;

    ShowStatus(ctx, kProgrammingText);
    // The kept NVRAM heads block 0; later the carry heads every next block.
    Nvram carry = kept;
    if (plan.settingsFromFile) {
        const std::size_t end = std::min(kSettingsEnd, file.length);
        if (end > kSettingsStart) {
            std::memcpy(carry.data() + kSettingsStart, file.bytes.data() + kSettingsStart, end - kSettingsStart);
        }
    }
    std::uint32_t w = 0;
    std::size_t at = plan.codeStart;
    while (at < file.length) {
        const std::size_t n = std::min<std::size_t>(kBlockSize, file.length - at);
        if (plan.keep) {
            std::memset(chunk, 0, kBlockSize);
            std::memcpy(chunk, file.bytes.data() + at, n);
            std::memcpy(block, carry.data(), kNvramSize);
            std::memcpy(block + kNvramSize, chunk, kCarryStart);
        } else {
            std::memset(block, 0, kBlockSize);
            std::memcpy(block, file.bytes.data() + at, n);
        }
        at += n;
        if (!WriteVerified(ctx, plan.writer, w, block, kBlockSize, readBack)) return false;
        if (w == 0) std::memcpy(firstBlock, block, kBlockSize);
        Dot(ctx);
        ctx.panel.SetProgress(at, file.length);
        if (plan.keep) std::memcpy(carry.data(), chunk + kCarryStart, kNvramSize);
        w += kBlockSize;
    }
    // The last chunk's tail, carried behind the last full block.
    if (plan.keep && w < plan.imageLength) {
        if (!WriteVerified(ctx, plan.writer, w, carry.data(), kNvramSize, readBack)) return false;
    }
    return FirstBlockIntact(ctx, firstBlock, readBack);
}

// The end of a programming run: on success the status and the power-cycle
// message.
int FinishRun(ProcedureContext& ctx, bool done) {
    if (done) {
        ShowStatus(ctx, kProgrammingSuccessText);
        ctx.panel.ShowMessage("Message", kPowerCycleText);
    }
    ctx.panel.RepaintStatus();
    return done ? 1 : 0;
}

// The bridge's NVRAM as it is before anything changes. Only a ready flash
// and a complete reply count: a busy flash reads as 0xFF, and keeping that
// would erase the settings for good. False with the status set.
bool ReadKeptNvram(ProcedureContext& ctx, Nvram& kept) {
    if (ReadFlashChecked(ctx.path, 0, kept.data(), kNvramSize) != 0) return true;
    ShowStatus(ctx, kBackupNvramFailText);
    return false;
}

// Saves the kept NVRAM to a file; without that copy nothing is erased.
// False with the status set.
bool SaveNvramCopy(ProcedureContext& ctx, const Nvram& kept, std::string& saved) {
    saved = SaveKeptNvram(ctx, kept.data(), kept.size());
    if (!saved.empty()) return true;
    ShowStatus(ctx, kBackupNvramFailText);
    return false;
}

// Lets the flash be written; the protection stays on kind 10. False with
// the status set.
bool LetFlashBeWritten(ProcedureContext& ctx) {
    if (EnableFlashWrites(ctx, ctx.state.id.ChipKind != kKind646)) return true;
    ShowStatus(ctx, kAtmelEnableFailText);
    return false;
}

// Loads the file, lays out the image around the kept NVRAM and programs
// it; a failure after the first erase puts the kept NVRAM back.
int ProgramKeepingRun(ProcedureContext& ctx, ImagePlan plan, const Nvram& kept, const std::string& savedNvram) {
    const IdentificationState& id = ctx.state.id;
    FirmwareFile file;
    Blocks blocks;
    if (!PrepareRun(ctx, file, blocks)) return 0;
    // With the file's NVRAM block replaced by the bridge's, the file keeps
    // its length; with the bridge's put in front of a file without one, the
    // image grows by the block.
    const bool nvramInImage = id.NvramInImage != 0;
    plan.codeStart = plan.keep && nvramInImage ? kNvramSize : 0;
    plan.settingsFromFile = plan.keep && nvramInImage && id.ChipKind == kKind646;
    const std::uint64_t counted = std::max<std::uint64_t>(file.length, kBlockSize);
    const std::uint64_t image = RoundUp(counted + (plan.keep && !nvramInImage ? kNvramSize : 0), kBlockSize);
    if (!ImageIsProgrammable(ctx, file, plan.codeStart, image)) return 0;
    plan.imageLength = static_cast<std::uint32_t>(image);
    plan.units = (plan.imageLength + kEraseUnit - 1) / kEraseUnit;

    if (id.ChipKind == kKind751) PrepareFlashUpdate(ctx.path);

    const bool done = ProgramImage(ctx, plan, file, kept, blocks);
    if (!done && plan.keep) RestoreKeptNvram(ctx, KeepingNvramPlace(ctx.path), kept.data(), savedNvram);
    return FinishRun(ctx, done);
}

}  // namespace

int NvramKeepingFlashUpdate(ProcedureContext& ctx) {
    IdentificationState& id = ctx.state.id;
    OperatorPanel& panel = ctx.panel;

    id.NvramInImage = id.ChipKind == kKind751 || id.ChipKind == kKind735
                          ? 1
                          : (RunImageHasNvramBlock(ctx) ? 1 : 0);
    const bool includeNvram = panel.IncludeNvramChecked();
    ImagePlan plan;
    plan.keep = !(id.NvramInImage != 0 && includeNvram);

    Nvram kept{};
    if (plan.keep && !ReadKeptNvram(ctx, kept)) return 0;
    // A run that writes saves the kept NVRAM to a file before anything is
    // erased.
    const bool eraseOnly = panel.RdVersionChecked() && id.EraseOnlyFlag != 0;
    const bool backupOnly = !eraseOnly && panel.RdVersionChecked() && panel.BackupOnlyChecked();
    std::string savedNvram;
    if (plan.keep && !backupOnly && !SaveNvramCopy(ctx, kept, savedNvram)) return 0;
    if (!LetFlashBeWritten(ctx)) return 0;

    if (eraseOnly) return EraseOnlyKeeping(ctx, includeNvram, kept, savedNvram);
    if (backupOnly) {
        return BackupFlashImage(ctx, includeNvram ? 0 : kNvramSize) != 0 ? 1 : 0;
    }
    return ProgramKeepingRun(ctx, plan, kept, savedNvram);
}

int RestoreKeepingNvram(ProcedureContext& ctx, const std::uint8_t* nvram4k) {
    return WriteNvramBack(KeepingNvramPlace(ctx.path), nvram4k) != NvramBack::Failed ? 1 : 0;
}

int FullImageFlashUpdate(ProcedureContext& ctx) {
    const IdentificationState& id = ctx.state.id;
    OperatorPanel& panel = ctx.panel;
    const std::string& path = ctx.path;

    // The NVRAM always comes from the file.
    panel.SetIncludeNvramChecked(true);
    if (id.FlashTypeCode == kFlashMxic) UnprotectFlash(path);

    if (panel.RdVersionChecked() && id.EraseOnlyFlag != 0) {
        const int result = EraseAllFlash(ctx);
        if (result != 0) panel.ShowMessage("Message", kPowerCycleText);
        return result != 0 ? 1 : 0;
    }
    if (panel.RdVersionChecked() && panel.BackupOnlyChecked()) return BackupFlashImage(ctx, 0) != 0 ? 1 : 0;

    FirmwareFile file;
    Blocks blocks;
    if (!PrepareRun(ctx, file, blocks)) return 0;
    const std::uint64_t image = RoundUp(std::max<std::uint64_t>(file.length, kBlockSize), kBlockSize);
    if (!ImageIsProgrammable(ctx, file, 0, image)) return 0;
    // The whole file through the serial-flash writer of the flash type.
    ImagePlan plan;
    plan.imageLength = static_cast<std::uint32_t>(image);
    plan.units = (plan.imageLength + kEraseUnit - 1) / kEraseUnit;
    plan.writer = Writer::SerialTyped;
    plan.chipEraseFirst = id.ChipKind == kKind646 && id.FlashTypeCode == kFlashSst;
    return FinishRun(ctx, ProgramImage(ctx, plan, file, Nvram{}, blocks));
}

}  // namespace v62x
