#include "Fwupdate/SerialFlashUpdate.h"

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
#include "Fwupdate/SerialFlashBlocks.h"
#include "IDEAccess/ChipKinds.h"
#include "IDEAccess/FlashCommands.h"
#include "IDEAccess/FlashIdentify.h"
#include "IDEAccess/Host.h"
#include "IDEAccess/SerialProgramming.h"
#include "IDEAccess/Transport.h"

namespace v62x {
namespace {

constexpr std::uint32_t kNvramSize = 4096;
constexpr std::uint32_t kImageUnit = 256;
constexpr std::uint32_t kBufferUnit = 8192;
constexpr std::int32_t kProgramChunk = 8192;
constexpr unsigned kAfterEraseMs = 500;
constexpr int kAttempts = 3;

constexpr std::uint32_t kAtmelSecondHalf = 0x8000;

using Nvram = std::array<std::uint8_t, kNvramSize>;

void DevTrace(const std::string& text) { CurrentHost().Trace(text); }

std::uint32_t NvramAddress(const IdentificationState& id) { return id.ChipKind == kKind735 ? kBankCodeSize : 0; }

// The NVRAM block at `address` as these bridges reach it: read in one
// direct command, without touching the status field; written back in one
// direct command that erases its 4 KiB unit first (at address 0 on MXIC
// flash with the MXIC erase flag).
NvramPlace SerialNvramPlace(ProcedureContext& ctx, std::uint32_t address) {
    std::uint8_t code = static_cast<std::uint8_t>(kWriteModeSmallUnit);
    if (address == 0 && ctx.state.id.FlashTypeCode == kFlashMxic) code |= kMxicEraseFlag;
    NvramPlace place;
    place.size = kNvramSize;
    place.read = [path = ctx.path, address](std::uint8_t* out) {
        WaitFlashReady(path);
        return ReadFlashDirect(path, address, out, static_cast<std::uint16_t>(kNvramSize)) != 0;
    };
    place.write = [path = ctx.path, address, code](const std::uint8_t* kept, int, const std::uint8_t*) {
        WaitFlashReady(path);
        WriteFlashDirect(path, address, kept, static_cast<std::uint16_t>(kNvramSize), code);
        return true;
    };
    return place;
}

// The end of a successful run: kind 12 restarts itself, the others need
// their power cycled.
void FinishSuccessfully(ProcedureContext& ctx) {
    if (ctx.state.id.ChipKind == kKind735) {
        ResetBridge(ctx.path);
        ctx.panel.ShowMessage("Message", kAutoResetText);
    } else {
        ctx.panel.ShowMessage("Message", kPowerCycleText);
    }
}

// Erase-only after the NVRAM was kept: erase, check blank, second erase
// when needed. False with the status set.
bool EraseAndCheck(ProcedureContext& ctx, std::uint32_t size, const std::uint8_t* blank) {
    const IdentificationState& id = ctx.state.id;
    // The erase the blank write at address 0 asks for: the whole chip (on
    // MXIC flash with its erase flag), on EON and ATMEL flash a large unit.
    std::uint8_t eraseByte = kWriteModeChip;
    if (id.FlashTypeCode == kFlashMxic) eraseByte = kWriteModeChip | kMxicEraseFlag;
    if (id.FlashTypeCode == kFlashEon || id.FlashTypeCode == kFlashAtmel) eraseByte = kWriteModeLargeUnit;

    if (!ctx.panel.EraseOnlyChecked() ||
        WriteFlashDirect(ctx.path, 0, blank, static_cast<std::uint16_t>(kNvramSize), eraseByte) == 0) {
        Say(ctx, kEraseCommandFailText);
        return false;
    }
    CurrentHost().Sleep(kAfterEraseMs);
    if (id.FlashTypeCode == kFlashAtmel) {
        WriteFlashDirect(ctx.path, kAtmelSecondHalf, blank, static_cast<std::uint16_t>(kNvramSize), eraseByte);
        CurrentHost().Sleep(kAfterEraseMs);
    }

    PaddedBuffer check(size);
    if (!check.valid()) {
        Say(ctx, "Allocate read buffer Error!!");
        return false;
    }
    // A failed read is no evidence of a flash that is not blank.
    if (ReadFlashBlocks(ctx, 0, check.data(), size) == 0 || AllErased(check.data(), size)) return true;

    if (id.FlashTypeCode == kFlashMxic) {
        if (WriteFlashDirect(ctx.path, 0, blank, static_cast<std::uint16_t>(kNvramSize), kWriteModeChip) != 0) {
            CurrentHost().Sleep(kAfterEraseMs);
            Say(ctx, kEraseAllSuccessText);
        }
    } else if (EraseByWriting(ctx, size) != 0) {
        CurrentHost().Sleep(kAfterEraseMs);
        Say(ctx, kEraseAllSuccessText);
    }
    if (ReadFlashBlocks(ctx, 0, check.data(), size) != 0 && !AllErased(check.data(), size)) {
        Say(ctx, kNotBlankText);
        return false;
    }
    return true;
}

// Reads the whole firmware file into the image buffer laid out for the
// flash. False with the status set.
struct Image {
    PaddedBuffer bytes;
    PaddedBuffer readBack;
    std::uint32_t fileSize = 0;
    std::uint32_t size = 0;  // bytes programmed per pass
};

bool LoadImage(ProcedureContext& ctx, bool keep, const Nvram& kept, Image& out) {
    const IdentificationState& id = ctx.state.id;
    const FirmwareImage* file = RunFirmware(ctx);
    if (file == nullptr) {
        Say(ctx, kOpenFileText);
        return false;
    }
    const std::size_t length = file->bytes.size();
    // An empty file holds nothing to program; one past the 24-bit flash
    // addresses cannot be programmed.
    if (length == 0 || length > kFlashAddressSpace) {
        DevTrace("The firmware file is empty or larger than the flash addresses; the flash is left as it is\n");
        Say(ctx, kOpenFileText);
        return false;
    }
    const auto fileSize = static_cast<std::uint32_t>(length);
    std::uint64_t imageSize = RoundUp(fileSize, kImageUnit);
    // The kept NVRAM and, on kind 12, the checksum lie inside the image
    // whatever the file's length: a short file is padded with zeros.
    if (keep) imageSize = std::max<std::uint64_t>(imageSize, NvramAddress(id) + kNvramSize);
    if (id.ChipKind == kKind735) imageSize = std::max<std::uint64_t>(imageSize, kBankSize);
    const std::uint64_t bufferSize = RoundUp(imageSize, kBufferUnit);

    out.bytes = PaddedBuffer(static_cast<std::size_t>(bufferSize));
    out.readBack = PaddedBuffer(static_cast<std::size_t>(bufferSize));
    if (!out.bytes.valid() || !out.readBack.valid()) {
        Say(ctx, kAllocBuffersText);
        return false;
    }
    std::uint8_t* image = out.bytes.data();
    std::copy(file->bytes.begin(), file->bytes.end(), image);
    if (keep) std::memcpy(image + NvramAddress(id), kept.data(), kNvramSize);

    if (id.ChipKind == kKind735) {
        const std::uint16_t crc = ImageCrc16(image, kBankCrcCovered, 0);
        // A longer file carries its own checksum bytes.
        if (fileSize <= kBankSize) {
            image[kBankCrcAt] = static_cast<std::uint8_t>(crc >> 8);
            image[kBankCrcAt + 1] = static_cast<std::uint8_t>(crc & 0xFF);
        }
        imageSize = std::min<std::uint64_t>(imageSize, kBankSize);
    }
    out.fileSize = fileSize;
    out.size = static_cast<std::uint32_t>(imageSize);
    return true;
}

// Reads and saves the NVRAM at `address` unless "Include 4K NVRAM" is
// ticked (`keep` then false). False, with the status set, when it was to
// be kept and could not be.
bool KeepNvram(ProcedureContext& ctx, std::uint32_t address, bool& keep, Nvram& kept, std::string& saved) {
    keep = !ctx.panel.IncludeNvramChecked();
    if (!keep) return true;
    saved = ReadAndSaveNvram(ctx, address, kept.data(), kept.size());
    return !saved.empty();
}

// On MXIC flash a first direct write at address 0 erases a large unit
// before the passes begin.
void PreEraseMxic(ProcedureContext& ctx, const std::uint8_t* bytes) {
    if (ctx.state.id.FlashTypeCode != kFlashMxic) return;
    WaitFlashReady(ctx.path);
    if (WriteFlashDirect(ctx.path, 0, bytes, static_cast<std::uint16_t>(kNvramSize), kWriteModeLargeUnit) != 0) {
        CurrentHost().Sleep(kAfterEraseMs);
    }
}

// One write of the image at `base` in `mode`, read back and compared.
// False with the failing step's status.
bool WriteAndCompare(ProcedureContext& ctx, Image& image, std::uint32_t base, int mode) {
    std::uint8_t* bytes = image.bytes.data();
    std::uint8_t* readBack = image.readBack.data();
    if (WriteFlashBlocks(ctx, base, bytes, image.size, mode) == 0) {
        Say(ctx, kWriteBinFailText);
        return false;
    }
    WaitFlashReady(ctx.path);
    std::memset(readBack, 0, image.size);
    if (ReadFlashBlocks(ctx, base, readBack, image.size) == 0) {
        Say(ctx, kReadCommandFailText);
        return false;
    }
    if (std::memcmp(bytes, readBack, image.size) != 0) {
        Say(ctx, kCompareFailText);
        return false;
    }
    return true;
}

// One pass at `base`: up to three attempts, each in the mode the last
// failure left (large units, then small units, then the whole chip).
bool ProgramPass(ProcedureContext& ctx, Image& image, int pass, std::uint32_t base, int& mode) {
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        Say(ctx, kProgrammingText);
        if (pass == 1 && image.fileSize >= 2 * kBankSize) {
            std::memcpy(image.bytes.data(), image.bytes.data() + kBankSize, kBankSize);
        }
        // Every attempt erases its units anew: with the counters left
        // where the last attempt stopped, a repeated mode would write
        // over flash it never erased.
        PositionEraseCounters(ctx.geometry, base);
        if (WriteAndCompare(ctx, image, base, mode)) return true;
        DevTrace("Programming attempt " + std::to_string(attempt + 1) + " at " + std::to_string(base) +
                 " failed: " + ctx.panel.Status() + "\n");
        mode = attempt == 1 ? kWriteModeChip : kWriteModeSmallUnit;
    }
    return false;
}

}  // namespace

int RestoreSerialNvram(ProcedureContext& ctx, const std::uint8_t* nvram4k) {
    return PutNvramBack(SerialNvramPlace(ctx, NvramAddress(ctx.state.id)), nvram4k) ? 1 : 0;
}

int SerialFlashUpdate(ProcedureContext& ctx) {
    OperatorPanel& panel = ctx.panel;
    ctx.geometry.ProgramChunk = kProgramChunk;
    if (panel.RdVersionChecked() && panel.EraseOnlyChecked()) {
        if (EraseSerialFlash(ctx) == 0) return 0;
        FinishSuccessfully(ctx);
        return 1;
    }
    if (panel.RdVersionChecked() && panel.BackupOnlyChecked()) {
        return BackupFlashToFile(ctx, panel.IncludeNvramChecked() ? 0 : kNvramSize) != 0 ? 1 : 0;
    }
    return ProgramSerialFlash(ctx);
}

int EraseSerialFlash(ProcedureContext& ctx) {
    const IdentificationState& id = ctx.state.id;
    Say(ctx, "Start Erase only!");
    const std::int32_t firmwareSize = ctx.geometry.FirmwareSize;
    std::uint32_t size = firmwareSize > 0 ? static_cast<std::uint32_t>(firmwareSize) : 0;
    PositionEraseCounters(ctx.geometry, 0);
    if (id.ChipKind == kKind751) PrepareFlashUpdate(ctx.path);
    const std::uint32_t nvramAddress = NvramAddress(id);
    if (id.ChipKind == kKind735 && id.FlashSizeKB > 64) size = kBankFlashSize;
    if (size < kNvramSize || size > kFlashAddressSpace) {
        DevTrace("Erase only: no usable flash size; the flash is left as it is\n");
        Say(ctx, kEraseCommandFailText);
        return 0;
    }

    PaddedBuffer blank(size);
    if (!blank.valid()) {
        Say(ctx, kAllocBuffersText);
        return 0;
    }
    std::memset(blank.data(), 0xFF, size);

    bool keep = false;
    Nvram kept{};
    std::string saved;
    // The kept NVRAM is on disk before anything is erased.
    if (!KeepNvram(ctx, nvramAddress, keep, kept, saved)) return 0;
    const NvramPlace place = SerialNvramPlace(ctx, nvramAddress);

    if (!EraseAndCheck(ctx, size, blank.data())) {
        // Even an erase that reported failure may have gone through.
        if (keep) RestoreKeptNvram(ctx, place, kept.data(), saved);
        return 0;
    }
    if (keep) {
        WaitFlashReady(ctx.path);
        const bool written = WriteFlashBlocks(ctx, nvramAddress, kept.data(), kNvramSize, kWriteModeNone) != 0;
        // The flash is erased: without its NVRAM the bridge loses its
        // settings, so this is no success.
        if (!NvramBackAfterErase(ctx, place, kept.data(), saved, written)) return 0;
    }
    Say(ctx, kEraseAllSuccessText);
    return 1;
}

int ProgramSerialFlash(ProcedureContext& ctx) {
    const IdentificationState& id = ctx.state.id;
    OperatorPanel& panel = ctx.panel;

    if (id.ChipKind == kKind751) PrepareFlashUpdate(ctx.path);
    const std::uint32_t nvramAddress = NvramAddress(id);
    bool keep = false;
    Nvram kept{};
    std::string saved;
    if (!KeepNvram(ctx, nvramAddress, keep, kept, saved)) return 0;
    Image image;
    if (!LoadImage(ctx, keep, kept, image)) return 0;
    const int passes = id.ChipKind == kKind735 && id.FlashSizeKB >= 128 ? 2 : 1;

    panel.SetStatus(kProgrammingText);
    panel.RepaintStatus();
    PositionEraseCounters(ctx.geometry, 0);
    PreEraseMxic(ctx, image.bytes.data());

    int mode = kWriteModeLargeUnit;  // the default: each large unit erased before its first piece
    std::uint32_t base = 0;
    std::string failure;  // the last failure text of the first pass that failed
    for (int pass = 0; pass < passes; ++pass) {
        if (!ProgramPass(ctx, image, pass, base, mode) && failure.empty()) failure = panel.Status();
        base = kBankSize;
        PositionEraseCounters(ctx.geometry, base);
    }

    const bool done = failure.empty();
    if (done) {
        Say(ctx, kProgrammingSuccessText);
        FinishSuccessfully(ctx);
    } else {
        ctx.panel.SetStatus(failure);
        if (keep) RestoreKeptNvram(ctx, SerialNvramPlace(ctx, nvramAddress), kept.data(), saved);
    }
    panel.RepaintStatus();
    return done ? 1 : 0;
}

}  // namespace v62x
