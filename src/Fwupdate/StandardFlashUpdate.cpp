#include "Fwupdate/StandardFlashUpdate.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <memory>

#include "Fwupdate/FlashStatusTexts.h"
#include "Fwupdate/ProcedureHelpers.h"
#include "IDEAccess/FlashCommands.h"
#include "IDEAccess/FlashIdentify.h"
#include "IDEAccess/Host.h"
#include "IDEAccess/SerialProgramming.h"
#include "IDEAccess/Transport.h"

namespace v62x {
namespace {

constexpr std::uint32_t kShortestImage = 32768;    // shorter files are padded to it
constexpr std::uint32_t kLargestSmallImage = 65536;
constexpr std::uint32_t kNvramAddress = 0x8000;
constexpr std::uint32_t kNvramSize = 512;
constexpr std::uint32_t kAmicUpperSector = 0xF000;
constexpr std::array<std::uint32_t, 4> kAmicLowerSectors = {0x0000, 0x1000, 0x3000, 0x7000};
constexpr unsigned kAfterEraseMs = 500;
constexpr unsigned kBeforeVerifyMs = 1000;

// What ProbeAmicFlash answered: no AMIC flash, or the AMIC part by its
// device code. The parts with small sectors at the bottom are erased sector
// by sector; the others, and flash of other makers, half by half.
enum AmicProbeCode : std::int32_t {
    kNoAmicFlash = kNotThatMaker,
    kAmicDevice12 = 1,
    kAmicDevice11 = 3,
    kAmicDevice20 = 4,
    kAmicDevice10 = 5,
};
constexpr std::uint32_t kLowerHalf = 0x0000;
constexpr std::uint32_t kUpperHalf = 0x8000;

constexpr const char* kNotReadyText = "Not ready after Erase flash success";
constexpr const char* kClosingText = "Please Turn-Off the Power and Turn-On Again !";
constexpr const char* kFileSizeText = "Firmware file size error!!";
constexpr const char* kReadFailText = "Read Fail!!\r\n";

// The image a run programs: the file, padded with zeros to at least 32 KiB
// and to whole blocks of ProgramChunk bytes.
struct Image {
    std::unique_ptr<std::uint8_t[]> bytes;
    std::unique_ptr<std::uint8_t[]> readBack;
    std::uint32_t size = 0;      // bytes programmed
    std::uint32_t chunk = 0;     // bytes per block command
    std::uint32_t blocks = 0;    // block commands that write the image
    std::size_t fileBytes = 0;   // bytes of the file
};

// The NVRAM block a small image keeps, read before the erase.
struct KeptNvram {
    std::array<std::uint8_t, kNvramSize> bytes{};
    bool read = false;
};

bool Failed(ProcedureContext& ctx, const std::string& text) {
    Say(ctx, text);
    return false;
}

int Fail(ProcedureContext& ctx, const std::string& text) {
    Say(ctx, text);
    return 0;
}

// A sector erase at one of the small image's erase addresses, then the
// pause and the ready wait; false when the erase command failed.
bool EraseSectorAndSettle(ProcedureContext& ctx, std::uint32_t address, bool warnWhenBusy) {
    if (SectorEraseFlash(ctx.path, address) == 0) return false;
    CurrentHost().Sleep(kAfterEraseMs);
    if (WaitFlashReady(ctx.path) == 0 && warnWhenBusy) Say(ctx, kNotReadyText);
    return true;
}

// Reads the file into the image. Its size is bounded by what the block
// commands can address, so the block count never wraps. False with the
// status set.
bool LoadImage(ProcedureContext& ctx, Image& out) {
    const FirmwareImage* file = RunFirmware(ctx);
    if (file == nullptr) return Failed(ctx, kOpenFileText);
    const std::size_t fileLength = file->bytes.size();
    const std::int32_t chunkSetting = ctx.geometry.ProgramChunk;
    if (fileLength == 0 || fileLength > kFlashAddressSpace || chunkSetting <= 0) {
        return Failed(ctx, kFileSizeText);
    }
    const auto chunk = static_cast<std::uint32_t>(chunkSetting);
    const auto length = static_cast<std::uint32_t>(fileLength);
    const std::uint64_t padded = RoundUp(std::max(length, kShortestImage), chunk);
    if (padded > kFlashAddressSpace) return Failed(ctx, kFileSizeText);
    out.size = static_cast<std::uint32_t>(padded);
    out.chunk = chunk;
    out.blocks = out.size / chunk;

    out.readBack = AllocateBytes(out.size);
    if (!out.readBack) return Failed(ctx, "Allocate read buffer Error!!");
    out.bytes = AllocateBytes(out.size);  // zero-filled
    if (!out.bytes) return Failed(ctx, "Allocate write buffer Error!!");
    std::copy(file->bytes.begin(), file->bytes.end(), out.bytes.get());
    out.fileBytes = length;
    return true;
}

// A small image: the NVRAM block is read first, then the sectors the image
// covers are erased as the flash part wants. False with the status set.
bool EraseSmallImage(ProcedureContext& ctx, const Image& image, KeptNvram& nvram) {
    nvram.read = ReadFlashChecked(ctx.path, kNvramAddress, nvram.bytes.data(), kNvramSize) != 0;
    CurrentHost().Trace(nvram.read ? "NVRAM O.K.\n" : "NVRAM fail\n");
    const bool upperHalf = image.fileBytes > kShortestImage;
    switch (ctx.state.id.AmicProbe) {
        case kAmicDevice12:
        case kAmicDevice11:
        case kAmicDevice10:
            // A failing erase of these sectors is passed over: the blank
            // check finds what stayed programmed.
            for (std::uint32_t address : kAmicLowerSectors) EraseSectorAndSettle(ctx, address, true);
            if (upperHalf && !EraseSectorAndSettle(ctx, kAmicUpperSector, false)) {
                return Failed(ctx, kEraseCommandFailText);
            }
            return true;
        case kAmicDevice20:
        case kNoAmicFlash:
            if (!EraseSectorAndSettle(ctx, kLowerHalf, true)) return Failed(ctx, kEraseCommandFailText);
            if (upperHalf && !EraseSectorAndSettle(ctx, kUpperHalf, false)) return Failed(ctx, kEraseCommandFailText);
            return true;
        default:
            return Failed(ctx, "Not Support this AMIC Flash Type!!");
    }
}

// Erases what the image covers (a large image by a chip erase) and checks
// it blank. False with the status set.
bool EraseForImage(ProcedureContext& ctx, Image& image, KeptNvram& nvram) {
    if (image.size > kLargestSmallImage) {
        if (ChipEraseFlash(ctx.path) == 0) return Failed(ctx, kEraseCommandFailText);
        CurrentHost().Sleep(kAfterEraseMs);
        if (WaitFlashReady(ctx.path) == 0) Say(ctx, kNotReadyText);
    } else if (!EraseSmallImage(ctx, image, nvram)) {
        return false;
    }
    if (ReadFlashChecked(ctx.path, 0, image.readBack.get(), image.size) == 0) {
        return Failed(ctx, "Read Back Erased Flash Error!!");
    }
    if (!AllErased(image.readBack.get(), image.size)) return Failed(ctx, kNotBlankText);
    return true;
}

// Writes the image block by block, a dot for each, then the kept NVRAM
// block when it goes back: even after a failed write, and a failed
// write-back fails the run like any other write. False with the status set.
bool WriteImage(ProcedureContext& ctx, const Image& image, const KeptNvram& nvram, bool nvramBack) {
    std::string shown = ctx.panel.Status();
    bool writeFailed = false;
    for (std::uint32_t k = 0; k < image.blocks; ++k) {
        const std::uint32_t offset = k * image.chunk;
        if (WriteFlashData(ctx.path, offset, image.bytes.get() + offset, image.chunk) == 0) {
            writeFailed = true;
            break;
        }
        shown += '.';
        Say(ctx, shown);
        ctx.panel.SetProgress(k + 1, image.blocks);
    }
    if (nvramBack) {
        if (WriteFlashData(ctx.path, kNvramAddress, nvram.bytes.data(), kNvramSize) != 0) {
            CurrentHost().Trace("write NVRAM O.K.\n");
        } else {
            writeFailed = true;
        }
    }
    return writeFailed ? Failed(ctx, "Programming Fail!!") : true;
}

// Reads back the image, and the NVRAM block it wrote back, and compares.
// False with the status set.
bool VerifyImage(ProcedureContext& ctx, Image& image, const KeptNvram& nvram, bool nvramBack) {
    CurrentHost().Sleep(kBeforeVerifyMs);
    if (ReadFlashChecked(ctx.path, 0, image.readBack.get(), image.size) == 0) return Failed(ctx, kReadFailText);
    std::array<std::uint8_t, kNvramSize> nvramNow{};
    if (nvramBack && ReadFlashChecked(ctx.path, kNvramAddress, nvramNow.data(), kNvramSize) == 0) {
        return Failed(ctx, kReadFailText);
    }
    if (std::memcmp(image.bytes.get(), image.readBack.get(), image.size) != 0 ||
        (nvramBack && nvramNow != nvram.bytes)) {
        return Failed(ctx, "Compare Fail!!\r\n\r\n");
    }
    return true;
}

}  // namespace

int StandardFlashUpdate(ProcedureContext& ctx) {
    if (!EnableFlashWrites(ctx, true)) return Fail(ctx, kAtmelEnableFailText);

    // The engineering options count only in the RD version.
    if (ctx.panel.RdVersionChecked()) {
        if (ctx.state.id.EraseOnlyFlag != 0) {
            if (EraseAllFlash(ctx) == 0) return 0;
            ctx.panel.ShowMessage("Message", kPowerCycleText);
            return 1;
        }
        if (ctx.panel.BackupOnlyChecked()) return BackupFlashImage(ctx, 0);
    }

    Image image;
    if (!LoadImage(ctx, image)) return 0;
    if (WaitFlashReady(ctx.path) == 0) CurrentHost().Trace("0.1 Device initial not ready!!");

    KeptNvram nvram;
    if (!EraseForImage(ctx, image, nvram)) return 0;
    const bool nvramBack = nvram.read && image.size <= kShortestImage;
    if (!WriteImage(ctx, image, nvram, nvramBack) || !VerifyImage(ctx, image, nvram, nvramBack)) return 0;
    Say(ctx, kProgrammingSuccessText);
    ctx.panel.ShowMessage("Message", kClosingText);
    return 1;
}

}  // namespace v62x
