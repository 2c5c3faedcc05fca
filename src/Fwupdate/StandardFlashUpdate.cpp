#include "Fwupdate/StandardFlashUpdate.h"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <memory>

#include "Fwupdate/ProcedureHelpers.h"
#include "IDEAccess/FlashCommands.h"
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

constexpr const char* kEraseFailText = "Erase command fail!!";
constexpr const char* kNotReadyText = "Not ready after Erase flash success";
constexpr const char* kClosingText = "Please Turn-Off the Power and Turn-On Again !";

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

}  // namespace

int StandardFlashUpdate(ProcedureContext& ctx) {
    const IdentificationState& id = ctx.state.id;
    const std::string& path = ctx.path;

    // Preparation.
    if (id.AtmelProbe != -1) {
        SpiWriteEnable(path);  // only the latch tells whether it took
        if (WaitFlashStatusSet(path, kStatusWriteEnable) == 0) {
            return Fail(ctx, "Enable ATMEL flash write enable fail!!");
        }
    }
    if (id.FlashTypeCode == 3 || id.FlashTypeCode == 5) UnprotectFlash(path);

    // The engineering options count only in the RD version.
    if (ctx.panel.RdVersionChecked()) {
        if (id.EraseOnlyFlag != 0) {
            if (EraseAllFlash(ctx) == 0) return 0;
            ctx.panel.ShowMessage("Message", kPowerCycleText);
            return 1;
        }
        if (ctx.panel.BackupOnlyChecked()) return BackupFlashImage(ctx, 0);
    }

    // The image: the file, padded with zeros to at least 32 KiB and to whole
    // blocks. Its size is bounded by what the block commands can address,
    // so the block count below never wraps.
    FilePtr file = OpenRunFirmware(ctx);
    if (!file) return Fail(ctx, "Open File Error!!");
    const long fileLength = FileLength(file.get());
    if (fileLength < 0) return Fail(ctx, "Open File Error!!");
    const std::int32_t chunkSetting = Geometry().ProgramChunk;
    if (fileLength == 0 || fileLength > static_cast<long>(kFlashAddressSpace) || chunkSetting <= 0) {
        return Fail(ctx, "Firmware file size error!!");
    }
    const auto chunk = static_cast<std::uint32_t>(chunkSetting);
    const auto length = static_cast<std::uint32_t>(fileLength);
    const std::uint64_t padded =
        (std::uint64_t{std::max(length, kShortestImage)} + chunk - 1) / chunk * chunk;
    if (padded > kFlashAddressSpace) return Fail(ctx, "Firmware file size error!!");
    const auto size = static_cast<std::uint32_t>(padded);
    const std::uint32_t blocks = size / chunk;

    const std::unique_ptr<std::uint8_t[]> readBack = AllocateBytes(size);
    if (!readBack) return Fail(ctx, "Allocate read buffer Error!!");
    const std::unique_ptr<std::uint8_t[]> image = AllocateBytes(size);  // zero-filled
    if (!image) return Fail(ctx, "Allocate write buffer Error!!");
    // A file that delivers fewer bytes than its length would be programmed
    // with zeros in place of the missing part.
    const std::size_t fileRead = std::fread(image.get(), 1, length, file.get());
    file.reset();
    if (fileRead != length) return Fail(ctx, "Read File Error!!");

    if (WaitFlashReady(path) == 0) CurrentHost().Trace("0.1 Device initial not ready!!");

    // Erase.
    const bool largeImage = size > kLargestSmallImage;
    const bool upperHalf = fileRead > kShortestImage;
    std::array<std::uint8_t, kNvramSize> nvram{};
    bool nvramSaved = false;
    if (largeImage) {
        if (ChipEraseFlash(path) == 0) return Fail(ctx, kEraseFailText);
        CurrentHost().Sleep(kAfterEraseMs);
        if (WaitFlashReady(path) == 0) Say(ctx, kNotReadyText);
    } else {
        nvramSaved = ReadFlashChecked(path, kNvramAddress, nvram.data(), kNvramSize) != 0;
        CurrentHost().Trace(nvramSaved ? "NVRAM O.K.\n" : "NVRAM fail\n");
        switch (id.AmicProbe) {
            case 1:
            case 3:
            case 5:
                // A failing erase of these sectors is passed over: the blank
                // check below finds what stayed programmed.
                for (std::uint32_t address : kAmicLowerSectors) EraseSectorAndSettle(ctx, address, true);
                if (upperHalf && !EraseSectorAndSettle(ctx, kAmicUpperSector, false)) {
                    return Fail(ctx, kEraseFailText);
                }
                break;
            case 4:
            case -1:
                if (!EraseSectorAndSettle(ctx, 0x0000, true)) return Fail(ctx, kEraseFailText);
                if (upperHalf && !EraseSectorAndSettle(ctx, 0x8000, false)) {
                    return Fail(ctx, kEraseFailText);
                }
                break;
            default:
                return Fail(ctx, "Not Support this AMIC Flash Type!!");
        }
    }

    // Blank check.
    if (ReadFlashChecked(path, 0, readBack.get(), size) == 0) {
        return Fail(ctx, "Read Back Erased Flash Error!!");
    }
    if (std::any_of(readBack.get(), readBack.get() + size, [](std::uint8_t b) { return b != 0xFF; })) {
        return Fail(ctx, "Data not 0xff !!");
    }

    // Write block by block, a dot for each.
    std::string shown = ctx.panel.Status();
    bool writeFailed = false;
    for (std::uint32_t k = 0; k < blocks; ++k) {
        const std::uint32_t offset = k * chunk;
        if (WriteFlashData(path, offset, image.get() + offset, chunk) == 0) {
            writeFailed = true;
            break;
        }
        shown += '.';
        Say(ctx, shown);
        ctx.panel.SetProgress(k + 1, blocks);
    }
    // The NVRAM block goes back even after a failed write, and a failed
    // write-back fails the run like any other write.
    const bool nvramBack = nvramSaved && size <= kShortestImage;
    if (nvramBack) {
        if (WriteFlashData(path, kNvramAddress, nvram.data(), kNvramSize) != 0) {
            CurrentHost().Trace("write NVRAM O.K.\n");
        } else {
            writeFailed = true;
        }
    }
    if (writeFailed) return Fail(ctx, "Programming Fail!!");

    // Verify: the image, and the NVRAM block it wrote back.
    CurrentHost().Sleep(kBeforeVerifyMs);
    if (ReadFlashChecked(path, 0, readBack.get(), size) == 0) return Fail(ctx, "Read Fail!!\r\n");
    std::array<std::uint8_t, kNvramSize> nvramNow{};
    if (nvramBack && ReadFlashChecked(path, kNvramAddress, nvramNow.data(), kNvramSize) == 0) {
        return Fail(ctx, "Read Fail!!\r\n");
    }
    if (std::memcmp(image.get(), readBack.get(), size) != 0 || (nvramBack && nvramNow != nvram)) {
        return Fail(ctx, "Compare Fail!!\r\n\r\n");
    }
    Say(ctx, "Programming Success!!");
    ctx.panel.ShowMessage("Message", kClosingText);
    return 1;
}

}  // namespace v62x
