#include "Fwupdate/PageFlashUpdate.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "Fwupdate/FlashStatusTexts.h"
#include "Fwupdate/NvramKeeper.h"
#include "Fwupdate/ProcedureHelpers.h"
#include "Fwupdate/SerialFlashBlocks.h"
#include "IDEAccess/FlashCommands.h"
#include "IDEAccess/Host.h"
#include "IDEAccess/SerialProgramming.h"
#include "IDEAccess/Transport.h"

namespace v62x {
namespace {

constexpr std::int32_t kPageChunk = 256;       // what one direct command moves on this bridge
constexpr std::uint32_t kPiece = 256;          // the writer's rounding; also the NVRAM check pieces
constexpr std::uint32_t kHalf = 0x8000;        // the second erasable half starts here
constexpr std::uint32_t kMinImage = 0x8000;    // an image covers at least the first half
constexpr std::uint32_t kDotSpan = 2048;       // one progress dot per this many bytes written
constexpr unsigned kAfterEraseMs = 500;

constexpr const char* kEraseFailText = "Erase flash command fail!";

using Nvram = std::array<std::uint8_t, kPageNvramSize>;

void DevTrace(const std::string& text) { CurrentHost().Trace(text); }

// The NVRAM block at 0x8000 as this bridge reaches it, in direct commands
// of 256 bytes: read without touching the status field; written back with
// the first piece asking the bridge to erase the half first.
NvramPlace PageNvramPlace(const std::string& path) {
    NvramPlace place;
    place.size = kPageNvramSize;
    place.read = [path](std::uint8_t* out) {
        for (std::uint32_t at = 0; at < kPageNvramSize; at += kPiece) {
            WaitFlashReady(path);
            if (ReadFlashDirect(path, kPageNvramAddress + at, out + at, static_cast<std::uint16_t>(kPiece)) == 0) {
                return false;
            }
        }
        return true;
    };
    place.write = [path](const std::uint8_t* kept, int, const std::uint8_t*) {
        for (std::uint32_t at = 0; at < kPageNvramSize; at += kPiece) {
            WaitFlashReady(path);
            if (WriteFlashDirectErase(path, kPageNvramAddress + at, kept + at, static_cast<std::uint16_t>(kPiece),
                                      at == 0) == 0) {
                break;
            }
        }
        return true;
    };
    return place;
}

// Programs `size` bytes of the image from address 0, reads them back and
// compares. False with the failing step's status.
bool WriteAndCompare(ProcedureContext& ctx, const std::uint8_t* image, std::uint8_t* readBack, std::uint32_t size) {
    ctx.panel.SetStatus(kProgrammingText);
    ctx.panel.RepaintStatus();
    if (WritePageBlocks(ctx, 0, image, size) == 0) {
        Say(ctx, kWriteBinFailText);
        return false;
    }
    WaitFlashReady(ctx.path);
    if (ReadFlashBlocks(ctx, 0, readBack, size) == 0) {
        Say(ctx, kReadCommandFailText);
        return false;
    }
    if (std::memcmp(image, readBack, size) != 0) {
        Say(ctx, kCompareFailText);
        return false;
    }
    return true;
}

// The programming steps once the firmware is read. False with the status
// set; `kept` is filled when the NVRAM was read and must survive.
bool ProgramFirmware(ProcedureContext& ctx, const FirmwareImage& file, bool& keep, Nvram& kept, std::string& saved) {
    const std::size_t length = file.bytes.size();
    // An empty file would program zeros over the firmware; one past the
    // 24-bit flash addresses cannot be programmed at all.
    if (length == 0 || length > kFlashAddressSpace) {
        DevTrace("The firmware file is empty or larger than the flash addresses; the flash is left as it is\n");
        Say(ctx, kOpenFileText);
        return false;
    }
    const std::uint32_t readCount = std::max(static_cast<std::uint32_t>(length), kMinImage);
    const auto imageSize = static_cast<std::uint32_t>(RoundUp(readCount, kPiece));
    if (imageSize > kFlashAddressSpace) {
        Say(ctx, kOpenFileText);
        return false;
    }

    // An image that ends below 0x8000 leaves the NVRAM where it is; a
    // longer one brings its own bytes for it.
    keep = imageSize == kMinImage;
    // The kept NVRAM is on disk before anything is erased.
    if (keep) {
        saved = ReadAndSaveNvram(ctx, kPageNvramAddress, kept.data(), kept.size());
        if (saved.empty()) {
            keep = false;  // nothing was written: nothing to put back
            return false;
        }
    }

    PaddedBuffer image(imageSize);
    PaddedBuffer readBack(imageSize);
    if (!image.valid() || !readBack.valid()) {
        Say(ctx, kAllocBuffersText);
        return false;
    }
    std::copy(file.bytes.begin(), file.bytes.end(), image.data());
    return WriteAndCompare(ctx, image.data(), readBack.data(), imageSize);
}

// Erase-only after the NVRAM was kept: the two erase writes and the blank
// check. False with the status set.
bool EraseAndCheck(ProcedureContext& ctx, std::uint32_t size) {
    PaddedBuffer blank(kPiece);
    if (!blank.valid()) {
        Say(ctx, kAllocBuffersText);
        return false;
    }
    std::memset(blank.data(), 0xFF, kPiece);
    // A failed first write shows in the blank check below.
    WriteFlashDirectErase(ctx.path, 0, blank.data(), static_cast<std::uint16_t>(kPiece), true);
    CurrentHost().Sleep(kAfterEraseMs);
    if (WriteFlashDirectErase(ctx.path, kHalf, blank.data(), static_cast<std::uint16_t>(kPiece), true) == 0) {
        Say(ctx, kEraseFailText);
        return false;
    }
    // The erase commands went through; the blank check and the NVRAM
    // write-back follow, each with its own text when it fails.
    Say(ctx, kEraseAllSuccessText);

    PaddedBuffer check(size);
    if (!check.valid()) {
        Say(ctx, "Allocate read buffer Error!!");
        return false;
    }
    // A failed read is no evidence of a flash that is not blank.
    if (ReadFlashBlocks(ctx, 0, check.data(), size) != 0 && !AllErased(check.data(), size)) {
        Say(ctx, kNotBlankText);
        return false;
    }
    return true;
}

}  // namespace

int RestorePageNvram(ProcedureContext& ctx, const std::uint8_t* nvram1k) {
    ctx.geometry.ProgramChunk = kPageChunk;
    return PutNvramBack(PageNvramPlace(ctx.path), nvram1k) ? 1 : 0;
}

int PageFlashUpdate(ProcedureContext& ctx) {
    OperatorPanel& panel = ctx.panel;
    ctx.geometry.ProgramChunk = kPageChunk;
    if (panel.RdVersionChecked() && panel.EraseOnlyChecked()) {
        const int result = ErasePageFlash(ctx);
        // The bridge needs its power cycled after an erase run, failed or not.
        panel.ShowMessage("Message", kPowerCycleText);
        return result;
    }
    if (panel.RdVersionChecked() && panel.BackupOnlyChecked()) {
        return BackupFlashToFile(ctx, 0) != 0 ? 1 : 0;
    }
    return ProgramPageFlash(ctx);
}

int WritePageBlocks(ProcedureContext& ctx, std::uint32_t address, const std::uint8_t* source,
                    std::uint32_t length) {
    if (length == 0 || source == nullptr) return 0;
    const std::uint32_t chunk = DirectChunkSize(ctx.geometry);
    const std::uint64_t rounded = RoundUp(length, kPiece);
    if (chunk == 0 || std::uint64_t{address} + rounded > kFlashAddressSpace) return 0;
    PaddedBuffer buffer(static_cast<std::size_t>(rounded));
    if (!buffer.valid()) return 0;
    std::memcpy(buffer.data(), source, length);

    auto remaining = static_cast<std::uint32_t>(rounded);
    std::uint32_t offset = 0;
    bool ok = false;
    while (remaining > 0) {
        const std::uint32_t a = address + offset;
        const std::uint32_t n = std::min(remaining, chunk);
        const bool erase = a == 0 || a == kHalf;
        WaitFlashReady(ctx.path);
        if (WriteFlashDirectErase(ctx.path, a, buffer.data() + offset, static_cast<std::uint16_t>(n), erase) == 0) {
            ok = false;
            break;
        }
        offset += n;
        remaining -= n;
        ok = true;
        ctx.panel.SetProgress(offset, rounded);
        if ((address + offset) % kDotSpan == kPiece) {
            ctx.panel.AppendStatusDot();
            ctx.panel.ProcessPendingEvents();
        }
    }
    return ok ? 1 : 0;
}

int ProgramPageFlash(ProcedureContext& ctx) {
    const FirmwareImage* file = RunFirmware(ctx);
    if (file == nullptr) {
        Say(ctx, kOpenFileText);
        return 0;
    }
    bool keep = false;
    Nvram kept{};
    std::string saved;
    const bool done = ProgramFirmware(ctx, *file, keep, kept, saved);
    if (done) {
        Say(ctx, kProgrammingSuccessText);
    } else if (keep) {
        RestoreKeptNvram(ctx, PageNvramPlace(ctx.path), kept.data(), saved);
    }
    ctx.panel.RepaintStatus();
    // The bridge needs its power cycled after a programming run, failed or not.
    ctx.panel.ShowMessage("Message", kPowerCycleText);
    return done ? 1 : 0;
}

int ErasePageFlash(ProcedureContext& ctx) {
    Say(ctx, "Start Erase only!");
    const std::int32_t firmwareSize = ctx.geometry.FirmwareSize;
    if (firmwareSize <= 0 || static_cast<std::uint64_t>(firmwareSize) > kFlashAddressSpace) {
        DevTrace("Erase only: no usable flash size; the flash is left as it is\n");
        Say(ctx, kEraseFailText);
        return 0;
    }
    const auto size = static_cast<std::uint32_t>(firmwareSize);

    Nvram kept{};
    const std::string saved = ReadAndSaveNvram(ctx, kPageNvramAddress, kept.data(), kept.size());
    if (saved.empty()) return 0;
    const NvramPlace place = PageNvramPlace(ctx.path);
    if (!EraseAndCheck(ctx, size)) {
        // Even an erase that reported failure may have gone through.
        RestoreKeptNvram(ctx, place, kept.data(), saved);
        return 0;
    }
    WaitFlashReady(ctx.path);
    const bool written = WritePageBlocks(ctx, kPageNvramAddress, kept.data(), kPageNvramSize) != 0;
    // Without its NVRAM the bridge loses its settings: no success.
    if (!NvramBackAfterErase(ctx, place, kept.data(), saved, written)) return 0;
    Say(ctx, kEraseAllSuccessText);
    return 1;
}

}  // namespace v62x
