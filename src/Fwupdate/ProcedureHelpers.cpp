#include "Fwupdate/ProcedureHelpers.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <new>

#include "Fwupdate/FlashStatusTexts.h"
#include "Fwupdate/SafeFile.h"
#include "IDEAccess/ChipKinds.h"
#include "IDEAccess/FlashCommands.h"
#include "IDEAccess/FlashIdentify.h"
#include "IDEAccess/Host.h"
#include "IDEAccess/SerialProgramming.h"
#include "IDEAccess/Transport.h"

namespace v62x {
namespace {

constexpr const char* kInitialNotReadyTrace = "0.1 Device initial not ready!!";
constexpr unsigned kAfterEraseMs = 500;

void Dot(ProcedureContext& ctx) {
    ctx.panel.AppendStatusDot();
    ctx.panel.ProcessPendingEvents();
}

// Bytes per block command (ProgramChunk); 0 when the setting is unusable.
std::uint32_t ChunkSize(const FlashGeometry& geometry) {
    const std::int32_t chunk = geometry.ProgramChunk;
    return chunk > 0 ? static_cast<std::uint32_t>(chunk) : 0;
}

// Blocks of `chunk` bytes that cover `length` bytes from `start`; 0 when
// they would not fit the flash address space (or chunk is 0).
std::uint32_t BlocksCovering(std::uint32_t start, std::uint32_t length, std::uint32_t chunk) {
    if (chunk == 0) return 0;
    const std::uint64_t blocks = (std::uint64_t{length} + chunk - 1) / chunk;
    if (std::uint64_t{start} + blocks * chunk > kFlashAddressSpace) return 0;
    return static_cast<std::uint32_t>(blocks);
}

// A flash size setting in bytes; 0 when it is none the flash commands can cover.
std::uint32_t FlashBytes(std::int64_t size) {
    return size > 0 && size <= std::int64_t{kFlashAddressSpace} ? static_cast<std::uint32_t>(size)
                                                                : 0;
}

}  // namespace

const FirmwareImage* RunFirmware(ProcedureContext& ctx, std::string* problem) {
    FirmwareImage& image = ctx.state.firmware;
    const std::string name = ctx.panel.FirmwareFileName();
    if (image.loaded && image.name == name) return &image;
    const ImageLoad load = LoadFirmwareImage(name, image);
    if (load == ImageLoad::Ok) return &image;
    const std::string text = ImageLoadText(load, name);
    CurrentHost().Trace("Firmware file refused: " + text + "\n");
    if (problem != nullptr) *problem = text;
    return nullptr;
}

bool EnableFlashWrites(ProcedureContext& ctx, bool unprotect) {
    const IdentificationState& id = ctx.state.id;
    if (id.AtmelProbe != kNotThatMaker) {
        SpiWriteEnable(ctx.path);
        if (WaitFlashStatusSet(ctx.path, kStatusWriteEnable) == 0) return false;
    }
    if (unprotect && (id.FlashTypeCode == kFlashStEonMxic || id.FlashTypeCode == kFlashMxic)) {
        UnprotectFlash(ctx.path);
    }
    return true;
}

std::unique_ptr<std::uint8_t[]> AllocateBytes(std::size_t size) {
    return std::unique_ptr<std::uint8_t[]>(new (std::nothrow) std::uint8_t[size == 0 ? 1 : size]());
}

int ReadFlashChecked(const std::string& path, std::uint32_t address, std::uint8_t* buffer,
                     std::uint32_t length) {
    if (WaitFlashReady(path) == 0) return 0;
    return ReadFlashData(path, address, buffer, length);
}

std::string RequestLimitText(const std::string& path, std::uint32_t needed) {
    const std::uint32_t limit = CurrentHost().MaxTransferBytes(path);
    const std::uint32_t sectors = (needed + 511) / 512;
    return "The storage driver of " + path + " passes at most " + std::to_string(limit / 1024) +
           " KiB in one request; this command needs " + std::to_string(needed / 1024) +
           " KiB in one. Nothing was written. As root, raise the limit with: echo " +
           std::to_string(sectors) + " > /sys/block/<disk>/device/max_sectors";
}

int ReadFlashRange(ProcedureContext& ctx, std::uint32_t start, std::uint8_t* buffer,
                   std::uint32_t length) {
    if (WaitFlashReady(ctx.path) == 0) CurrentHost().Trace(kInitialNotReadyTrace);
    const std::uint32_t chunk = ChunkSize(ctx.geometry);
    const std::uint32_t blocks = BlocksCovering(start, length, chunk);
    Say(ctx, "ReadFlash...");
    if (blocks == 0 || buffer == nullptr) return 0;

    // Every block is read whole into a block of its own; only the caller's
    // length is copied out, so a length that is not a multiple of the
    // block never writes past the caller's buffer.
    const std::unique_ptr<std::uint8_t[]> block = AllocateBytes(chunk);
    if (!block) return 0;
    for (std::uint32_t k = 0; k < blocks; ++k) {
        const std::uint32_t offset = k * chunk;
        if (ReadFlashChecked(ctx.path, start + offset, block.get(), chunk) == 0) return 0;
        std::memcpy(buffer + offset, block.get(), std::min(chunk, length - offset));
        Dot(ctx);
        ctx.panel.SetProgress(k + 1, blocks);
    }
    return 1;
}

int EraseFlashRange(ProcedureContext& ctx, std::uint32_t length) {
    if (WaitFlashReady(ctx.path) == 0) CurrentHost().Trace(kInitialNotReadyTrace);
    const std::uint32_t chunk = ChunkSize(ctx.geometry);
    const std::uint32_t blocks = BlocksCovering(0, length, chunk);
    Say(ctx, "Erase...");
    for (std::uint32_t k = 0; k < blocks; ++k) {
        WaitFlashReady(ctx.path);
        if (SectorEraseFlash(ctx.path, k * chunk) == 0) return 0;
        if (WaitFlashReady(ctx.path) == 0) CurrentHost().Trace("Not ready after Erase flash success");
        Dot(ctx);
        ctx.panel.SetProgress(k + 1, blocks);
    }
    return blocks > 0 ? 1 : 0;
}

int EraseAllFlash(ProcedureContext& ctx) {
    const IdentificationState& id = ctx.state.id;
    Say(ctx, "Start Erase only!");
    const std::uint32_t size = FlashBytes(ctx.geometry.FirmwareSize);
    if (size == 0) {
        Say(ctx, kEraseCommandFailText);
        return 0;
    }
    WaitFlashReady(ctx.path);

    // A chip erase for ATMEL flash and for the VRB646 series (a second one on
    // a VRB646 whose ATMEL chip erase failed); block by block otherwise.
    const bool chipErased = (id.AtmelProbe != kNotThatMaker && ChipEraseFlash(ctx.path) != 0) ||
                            (id.ChipKind == kKind646 && ChipEraseFlash(ctx.path) != 0);
    if (!chipErased && EraseFlashRange(ctx, size) == 0) {
        Say(ctx, kEraseCommandFailText);
        return 0;
    }

    CurrentHost().Sleep(kAfterEraseMs);
    if (WaitFlashReady(ctx.path) == 0) Say(ctx, "Not ready after Erase flash cmd success");
    if (id.ChipKind == kKind646 && id.FlashTypeCode == kFlashSst) SpiChipErase(ctx.path);

    const std::unique_ptr<std::uint8_t[]> data = AllocateBytes(size);
    if (!data) {
        Say(ctx, "Allocate read buffer Error!!");
        return 0;
    }
    // A flash still busy erasing cannot be checked (it would read 0xFF):
    // ReadFlashChecked takes it as a failed read.
    if (ReadFlashChecked(ctx.path, 0, data.get(), size) == 0) {
        Say(ctx, "Read Back Erased Flash Error!!");
        return 0;
    }
    if (!AllErased(data.get(), size)) {
        Say(ctx, kNotBlankText);
        return 0;
    }
    Say(ctx, kEraseAllSuccessText);
    return 1;
}

int BackupFlashImage(ProcedureContext& ctx, std::uint32_t skip) {
    const IdentificationState& id = ctx.state.id;
    std::string name = ctx.panel.BackupFileName();
    if (name.empty()) {
        name = kDefaultBackupFile;
        ctx.panel.ShowMessage("Message", "Default backup firmware as OldFalsh.bak!");
    }
    const std::uint32_t size = id.ChipKind == kKind646
                                   ? FlashBytes(std::int64_t{id.FlashSizeKB} * 1024)
                                   : FlashBytes(ctx.geometry.FirmwareSize);
    Say(ctx, "Backup ...");
    // Nothing to read, or nothing left after the skip: no backup to write.
    if (size == 0 || skip >= size) {
        Say(ctx, "Read Back to Backup Error!!");
        return 0;
    }

    const std::unique_ptr<std::uint8_t[]> data = AllocateBytes(size);
    if (!data) {
        Say(ctx, "Allocate read buffer Error!!");
        return 0;
    }
    const int read = id.ChipKind == kKind646 ? ReadFlashRange(ctx, 0, data.get(), size)
                                                    : ReadFlashChecked(ctx.path, 0, data.get(), size);
    if (read == 0) {
        Say(ctx, "Read Back to Backup Error!!");
        return 0;
    }
    const std::uint32_t kept = size - skip;
    if (skip > 0) std::memmove(data.get(), data.get() + skip, kept);

    return SaveBackup(ctx, name, data.get(), kept);
}

int SaveBackup(ProcedureContext& ctx, const std::string& name, const std::uint8_t* data, std::size_t size,
               const char* openFailText, const char* writeFailText) {
    // A backup that did not reach the disk whole (disk full, I/O error) is
    // no backup, and the previous file of that name stays as it was.
    const SafeWrite result = WriteFileSafely(name, data, size);
    if (result != SafeWrite::Ok) {
        CurrentHost().Trace("Backup not written: " + SafeWriteText(result, name) + "\n");
        Say(ctx, result == SafeWrite::WriteFailed ? writeFailText : openFailText);
        return 0;
    }
    Say(ctx, "Read flash and backup success!");
    return 1;
}

int FirmwareCrc32(const std::uint8_t* data, std::size_t length, bool bigEndianWords,
                  std::uint32_t& out) {
    // A word fed in and shifted 32 times is its four bytes fed in from the
    // most significant one, a byte at a time through the table.
    static const std::array<std::uint32_t, 256> table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t value = i << 24;
            for (int bit = 0; bit < 8; ++bit) value = (value & 0x80000000U) != 0 ? (value << 1) ^ 0x04C11DB7U : value << 1;
            t[i] = value;
        }
        return t;
    }();
    std::uint32_t state = 0x52325032;
    for (std::size_t at = 0; data != nullptr && length - at >= 4; at += 4) {
        const std::uint8_t* b = data + at;
        for (int i = 0; i < 4; ++i) {
            const std::uint8_t byte = bigEndianWords ? b[i] : b[3 - i];
            state = (state << 8) ^ table[((state >> 24) ^ byte) & 0xFF];
        }
    }
    out = state;
    return 1;
}

}  // namespace v62x
