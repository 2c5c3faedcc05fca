#include "Fwupdate/Vrs735DiskFirmwareUpdate.h"

#include <algorithm>
#include <cstring>

#include "Fwupdate/DiskArea.h"
#include "Fwupdate/ProcedureHelpers.h"
#include "IDEAccess/DiskCommands.h"
#include "IDEAccess/FlashCommands.h"
#include "IDEAccess/Transport.h"

namespace v62x {
namespace {

constexpr std::uint64_t kAlignBytes = 1048576;
constexpr std::uint64_t kBackOffBytes = 2097152;
constexpr std::uint32_t kImageUnit = 256;

constexpr const char* kAllocText = "Allocate read buffer Error!!";
constexpr const char* kEraseFailText = "Erase data in HDD fail!!";

// Bytes an operation handles: the whole area, or the code part only when
// "Include 4K NVRAM" is not ticked (the NVRAM then stays as it is).
std::uint32_t HandledLength(ProcedureContext& ctx) {
    return ctx.panel.IncludeNvramChecked() ? kVrs735AreaSize : kVrs735CodeSize;
}

// The area with the commands that reach it; false (status shown) when its
// place cannot be worked out.
bool LocateArea(ProcedureContext& ctx, DiskAccess& disk, std::uint64_t& start) {
    Vrs735DiskGeometry geometry;
    const bool steady = SteadyGeometry([&] { return GatherVrs735DiskGeometry(ctx.path); }, geometry);
    bool ata = false;
    if (!steady || !Vrs735AreaStart(geometry, start, ata)) {
        Say(ctx, kAreaNotFoundText);
        return false;
    }
    disk.path = ctx.path;
    disk.blockSize = geometry.blockSize;
    disk.commands = ata ? DiskCommandSet::Ata : DiskCommandSet::Scsi16;
    return true;
}

// After a successful erase or programming the bridge restarts itself and
// comes back with the new area.
int RestartBridge(ProcedureContext& ctx) {
    ResetBridge(ctx.path);
    ctx.panel.ShowMessage("Message", kAutoResetText);
    return 1;
}

}  // namespace

Vrs735DiskGeometry GatherVrs735DiskGeometry(const std::string& path) {
    Vrs735DiskGeometry geometry;
    geometry.blockSize = GetDiskBlockSize(path);
    geometry.ataSectors = GetDiskSectorsAta(path);
    geometry.scsiLastLba = GetDiskLastLba64(path);
    return geometry;
}

bool Vrs735AreaStart(const Vrs735DiskGeometry& geometry, std::uint64_t& start, bool& ata) {
    if (!UsableBlockSize(geometry.blockSize)) return false;
    ata = geometry.ataSectors != 0;
    std::uint64_t last = 0;
    if (ata) {
        last = geometry.ataSectors - 1;
    } else if (geometry.scsiLastLba != 0) {
        last = geometry.scsiLastLba;
    } else {
        return false;  // neither query answered
    }
    const std::uint64_t align = kAlignBytes / geometry.blockSize;
    const std::uint64_t backOff = kBackOffBytes / geometry.blockSize;
    last &= ~(align - 1);
    if (last < backOff) return false;  // a disk this small has no room below its end
    start = last - backOff;
    return true;
}

int VRS735DiskFirmwareUpdate(ProcedureContext& ctx) {
    if (ctx.panel.RdVersionChecked() && ctx.panel.EraseOnlyChecked()) {
        return EraseVRS735DiskFirmware(ctx) != 0 ? RestartBridge(ctx) : 0;
    }
    if (ctx.panel.RdVersionChecked() && ctx.panel.BackupOnlyChecked()) return BackupVRS735DiskFirmware(ctx);
    return ProgramVRS735DiskFirmware(ctx) != 0 ? RestartBridge(ctx) : 0;
}

int EraseVRS735DiskFirmware(ProcedureContext& ctx) {
    const std::uint32_t length = HandledLength(ctx);
    DiskAccess disk;
    std::uint64_t start = 0;
    if (!LocateArea(ctx, disk, start)) return 0;
    const auto zeros = AllocateBytes(length);
    const auto check = AllocateBytes(length);
    if (!zeros || !check) {
        Say(ctx, kAllocText);
        return 0;
    }
    // The erase is reported only when the area reads back as zeros.
    return EraseDiskAreaChecked(ctx, disk, start, zeros.get(), check.get(), length, kEraseFailText, kEraseFailText);
}

int BackupVRS735DiskFirmware(ProcedureContext& ctx) {
    DiskAccess disk;
    std::uint64_t start = 0;
    if (!LocateArea(ctx, disk, start)) return 0;
    const std::string name = DiskBackupFileName(ctx);
    Say(ctx, "Backup ...");
    return BackupDiskArea(ctx, disk, start, name, HandledLength(ctx));
}

int ProgramVRS735DiskFirmware(ProcedureContext& ctx) {
    DiskAccess disk;
    std::uint64_t start = 0;
    if (!LocateArea(ctx, disk, start)) return 0;

    const FirmwareImage* file = DiskAreaFirmware(ctx);
    if (file == nullptr) return 0;
    const std::size_t length = file->bytes.size();
    // The area holds 64 KiB; of a longer file only a part would be written.
    if (length > kVrs735AreaSize) {
        Say(ctx, "Firmware file is bigger than 64KB!!");
        return 0;
    }
    const auto image = AllocateBytes(kVrs735AreaSize);
    if (!image) {
        Say(ctx, kAllocText);
        return 0;
    }
    std::copy(file->bytes.begin(), file->bytes.end(), image.get());

    std::uint32_t crc = 0;
    FirmwareCrc32(image.get(), kVrs735CrcOffset, false, crc);
    for (std::uint32_t i = 0; i < 4; ++i) image[kVrs735CrcOffset + i] = static_cast<std::uint8_t>(crc >> (8 * i));

    ctx.panel.SetStatus("Programming");
    ctx.panel.RepaintStatus();

    // A file of at most 64 KiB is one block of `unit` bytes.
    const std::uint32_t unit = HandledLength(ctx);
    const std::uint64_t blocks = RoundUp(RoundUp(length, kImageUnit), kVrs735AreaSize) / kVrs735AreaSize;
    if (ProgramDiskBlocks(ctx, disk, start, image.get(), blocks, unit) == 0) return 0;
    Say(ctx, "Programming Success!!");
    return 1;
}

}  // namespace v62x
