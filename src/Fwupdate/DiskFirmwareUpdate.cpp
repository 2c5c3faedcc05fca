#include "Fwupdate/DiskFirmwareUpdate.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "Fwupdate/DiskArea.h"
#include "Fwupdate/ProcedureHelpers.h"
#include "IDEAccess/DiskCommands.h"
#include "IDEAccess/Transport.h"

namespace v62x {
namespace {

constexpr std::uint64_t kAreaAlignment = 256;  // blocks
constexpr std::uint32_t kBlock = 65536;        // bytes per verified block
constexpr std::uint32_t kImageUnit = 256;      // the file is padded to this first

constexpr const char* kAllocText = "Allocate read buffer Error!!";
constexpr const char* kBackupFailText = "Read Back to Backup Error!!";
constexpr const char* kTooLongText = "Firmware file is bigger than HDD firmware area!!";

// The area with the commands that reach it; false (status shown) when its
// place cannot be worked out.
bool LocateArea(ProcedureContext& ctx, std::uint8_t chipKind, DiskAreaGeometry& geometry,
                DiskAccess& disk, std::uint64_t& start) {
    const bool steady = SteadyGeometry([&] { return GatherDiskAreaGeometry(ctx.path, chipKind); }, geometry);
    if (!steady || !DiskAreaStart(geometry, start)) {
        Say(ctx, kAreaNotFoundText);
        return false;
    }
    disk.path = ctx.path;
    disk.blockSize = geometry.blockSize;
    disk.commands = geometry.sectorsHigh != 0 ? DiskCommandSet::Scsi16 : DiskCommandSet::Scsi10;
    return true;
}

}  // namespace

DiskAreaGeometry GatherDiskAreaGeometry(const std::string& path, std::uint8_t chipKind) {
    DiskAreaGeometry geometry;
    geometry.blockSize = GetDiskBlockSize(path);
    geometry.lastLba = GetDiskLastLba(path);
    geometry.firmwareLba = GetDiskFirmwareLba(path, geometry.blockSize, chipKind);
    geometry.sectorsHigh = static_cast<std::uint32_t>(GetDiskSectorsDirect(path) >> 32);
    geometry.capacityFlag = CheckCapacityFlag(path);
    return geometry;
}

std::uint64_t DiskAreaEnd(const DiskAreaGeometry& geometry) {
    return (std::uint64_t{geometry.sectorsHigh} << 32) | geometry.firmwareLba;
}

bool DiskAreaStart(const DiskAreaGeometry& geometry, std::uint64_t& start) {
    if (!UsableBlockSize(geometry.blockSize)) return false;
    if (geometry.lastLba == 0) return false;
    if (geometry.lastLba == 0xFFFFFFFFU && geometry.sectorsHigh == 0) return false;
    std::uint64_t x = DiskAreaEnd(geometry);
    if (geometry.capacityFlag == 0) {
        if (x == 0) return false;
        x -= 1;
    }
    x &= ~(kAreaAlignment - 1);
    // A firmware block address this low (as when the capacity queries
    // fail) would put the area below block 0.
    if (x < kAreaAlignment) return false;
    start = x - kAreaAlignment;
    return true;
}

void PutDiskSignature(std::uint8_t* image, std::uint32_t firmwareLba) {
    std::uint8_t* signature = image + kDiskSignatureOffset;
    signature[0] = 0x55;
    signature[1] = static_cast<std::uint8_t>(firmwareLba >> 24);
    signature[2] = static_cast<std::uint8_t>(firmwareLba >> 16);
    signature[3] = static_cast<std::uint8_t>(firmwareLba >> 8);
    signature[4] = static_cast<std::uint8_t>(firmwareLba);
    signature[5] = 0xAA;
}

int DiskFirmwareUpdate(ProcedureContext& ctx) {
    const std::uint8_t kind = ctx.state.id.ChipKind;
    if (ctx.panel.RdVersionChecked() && ctx.panel.EraseOnlyChecked()) {
        if (EraseDiskFirmware(ctx, kind) == 0) return 0;
        ctx.panel.ShowMessage("Message", kPowerCycleText);
        return 1;
    }
    if (ctx.panel.RdVersionChecked() && ctx.panel.BackupOnlyChecked()) return BackupDiskFirmware(ctx, kind);
    if (ProgramDiskFirmware(ctx, kind) == 0) return 0;
    ctx.panel.ShowMessage("Message", kPowerCycleText);
    return 1;
}

int EraseDiskFirmware(ProcedureContext& ctx, std::uint8_t chipKind) {
    DiskAreaGeometry geometry;
    DiskAccess disk;
    std::uint64_t start = 0;
    if (!LocateArea(ctx, chipKind, geometry, disk, start)) return 0;

    const auto pattern = AllocateBytes(kBlock);
    const auto check = AllocateBytes(kBlock);
    if (!pattern || !check) {
        Say(ctx, kAllocText);
        return 0;
    }
    // The signature the bridge finds its area by survives the erase. When it
    // cannot be read, nothing is written: zeros in its place would lose it.
    // A failed query reads as "no area", so a "no" is asked once more.
    if (CheckDiskFirmware(ctx.path, chipKind) != 0 || CheckDiskFirmware(ctx.path, chipKind) != 0) {
        if (ReadDiskArea(disk, start, check.get(), geometry.blockSize) == 0) {
            Say(ctx, DiskReadFailText(disk));
            return 0;
        }
        std::memcpy(pattern.get() + kDiskSignatureOffset, check.get() + kDiskSignatureOffset,
                    kDiskSignatureSize);
        std::memset(check.get(), 0, kBlock);
    }
    // A write or a read-back that failed verifies nothing: the zeroed check
    // buffer would compare equal to the zero pattern.
    return EraseDiskAreaChecked(ctx, disk, start, pattern.get(), check.get(), kBlock, DiskWriteFailText(disk),
                                DiskReadFailText(disk));
}

int BackupDiskFirmware(ProcedureContext& ctx, std::uint8_t chipKind) {
    const std::int32_t size = ctx.geometry.FirmwareSize;
    DiskAreaGeometry geometry;
    DiskAccess disk;
    std::uint64_t start = 0;
    if (!LocateArea(ctx, chipKind, geometry, disk, start)) return 0;
    const std::string name = DiskBackupFileName(ctx);
    Say(ctx, "Backup ...");

    // A size the disk cannot deliver in whole blocks reads nothing.
    if (size <= 0 || static_cast<std::uint32_t>(size) % geometry.blockSize != 0) {
        Say(ctx, kBackupFailText);
        return 0;
    }
    return BackupDiskArea(ctx, disk, start, name, static_cast<std::uint32_t>(size));
}

int ProgramDiskFirmware(ProcedureContext& ctx, std::uint8_t chipKind) {
    DiskAreaGeometry geometry;
    DiskAccess disk;
    std::uint64_t start = 0;
    if (!LocateArea(ctx, chipKind, geometry, disk, start)) return 0;

    const FirmwareImage* file = DiskAreaFirmware(ctx);
    if (file == nullptr) return 0;
    const std::uint64_t total = RoundUp(RoundUp(file->bytes.size(), kImageUnit), kBlock);
    // The blocks go upward from the area start; they must stay below the
    // firmware block address, where the area ends.
    if (total / geometry.blockSize > DiskAreaEnd(geometry) - start) {
        Say(ctx, kTooLongText);
        return 0;
    }
    const auto blocks = static_cast<std::uint32_t>(total / kBlock);
    const auto image = AllocateBytes(static_cast<std::size_t>(total));
    if (!image) {
        Say(ctx, kAllocText);
        return 0;
    }
    std::copy(file->bytes.begin(), file->bytes.end(), image.get());

    ctx.panel.SetStatus("Programming");
    ctx.panel.RepaintStatus();
    PutDiskSignature(image.get(), geometry.firmwareLba);

    if (ProgramDiskBlocks(ctx, disk, start, image.get(), blocks, kBlock) == 0) return 0;
    Say(ctx, "Programming Success!!");
    return 1;
}

}  // namespace v62x
