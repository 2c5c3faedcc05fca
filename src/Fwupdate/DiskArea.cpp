#include "Fwupdate/DiskArea.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "Fwupdate/ProcedureHelpers.h"
#include "IDEAccess/DiskCommands.h"

namespace v62x {
namespace {

constexpr std::uint64_t kTenByteLimit = std::uint64_t{1} << 32;
constexpr const char* kBackupFailText = "Read Back to Backup Error!!";

// The range fits the addresses the command set carries.
bool Addressable(const DiskAccess& disk, std::uint64_t lba, std::uint32_t bytes) {
    if (!UsableBlockSize(disk.blockSize) || bytes % disk.blockSize != 0) return false;
    const std::uint64_t blocks = bytes / disk.blockSize;
    if (disk.commands == DiskCommandSet::Scsi10) return lba < kTenByteLimit && blocks <= kTenByteLimit - lba;
    return lba <= UINT64_MAX - blocks;
}

// Runs `command` (block address, bytes done, piece length) for each piece
// of at most kDiskPiece bytes, and no more than the host passes in one
// request; stops at the first that fails.
template <class Command>
int InPieces(const DiskAccess& disk, std::uint64_t lba, std::uint32_t bytes, Command command) {
    if (bytes == 0 || !Addressable(disk, lba, bytes)) return 0;
    const std::uint32_t largest = std::min(kDiskPiece, RequestPiece(disk.path));
    if (largest < disk.blockSize) return 0;
    for (std::uint32_t done = 0; done < bytes;) {
        const std::uint32_t piece = std::min(largest, bytes - done);
        if (command(lba, done, piece) == 0) return 0;
        done += piece;
        lba += piece / disk.blockSize;
    }
    return 1;
}

}  // namespace

bool UsableBlockSize(std::uint32_t blockSize) {
    return blockSize >= 512 && blockSize <= kDiskPiece && (blockSize & (blockSize - 1)) == 0;
}

int ReadDiskArea(const DiskAccess& disk, std::uint64_t lba, std::uint8_t* buffer, std::uint32_t bytes) {
    return InPieces(disk, lba, bytes, [&](std::uint64_t at, std::uint32_t done, std::uint32_t piece) {
        switch (disk.commands) {
            case DiskCommandSet::Scsi10:
                return ReadDisk10(disk.path, buffer + done, static_cast<std::uint32_t>(at), piece, disk.blockSize);
            case DiskCommandSet::Scsi16:
                return ReadDisk16(disk.path, buffer + done, at, piece, disk.blockSize);
            case DiskCommandSet::Ata:
                return AtaReadDmaExt(disk.path, buffer + done, at, piece, disk.blockSize);
        }
        return 0;
    });
}

int WriteDiskArea(const DiskAccess& disk, std::uint64_t lba, const std::uint8_t* buffer,
                  std::uint32_t bytes) {
    return InPieces(disk, lba, bytes, [&](std::uint64_t at, std::uint32_t done, std::uint32_t piece) {
        switch (disk.commands) {
            case DiskCommandSet::Scsi10:
                return WriteDisk10(disk.path, buffer + done, static_cast<std::uint32_t>(at), piece, disk.blockSize);
            case DiskCommandSet::Scsi16:
                return WriteDisk16(disk.path, buffer + done, at, piece, disk.blockSize);
            case DiskCommandSet::Ata:
                return AtaWriteDmaExt(disk.path, buffer + done, at, piece, disk.blockSize);
        }
        return 0;
    });
}

const char* DiskWriteFailText(const DiskAccess& disk) {
    return disk.commands == DiskCommandSet::Scsi10 ? "Write Data To HDD FAIL!!" : "Write Data SCSI16 To HDD FAIL!!";
}

const char* DiskReadFailText(const DiskAccess& disk) {
    return disk.commands == DiskCommandSet::Scsi10 ? "Read Data From HDD FAIL!!" : "Read Data SCSI16 From HDD FAIL!!";
}

int ProgramDiskBlocks(ProcedureContext& ctx, const DiskAccess& disk, std::uint64_t start,
                      const std::uint8_t* image, std::uint64_t blocks, std::uint32_t unit) {
    const auto write = AllocateBytes(unit);
    const auto check = AllocateBytes(unit);
    if (!write || !check) {
        Say(ctx, "Allocate read buffer Error!!");
        return 0;
    }
    std::uint64_t at = start;
    for (std::uint64_t i = 0; i < blocks; ++i) {
        std::memcpy(write.get(), image + i * unit, unit);
        std::memset(check.get(), 0, unit);
        if (WriteDiskArea(disk, at, write.get(), unit) == 0) {
            Say(ctx, DiskWriteFailText(disk));
            return 0;
        }
        if (ReadDiskArea(disk, at, check.get(), unit) == 0) {
            Say(ctx, DiskReadFailText(disk));
            return 0;
        }
        if (std::memcmp(write.get(), check.get(), unit) != 0) {
            Say(ctx, "Compare Data in HDD FAIL!!");
            return 0;
        }
        at += unit / disk.blockSize;
        ctx.panel.SetProgress(i + 1, blocks);
    }
    return 1;
}

int EraseDiskAreaChecked(ProcedureContext& ctx, const DiskAccess& disk, std::uint64_t start,
                         const std::uint8_t* pattern, std::uint8_t* check, std::uint32_t length,
                         const char* writeFailText, const char* readFailText) {
    if (WriteDiskArea(disk, start, pattern, length) == 0) {
        Say(ctx, writeFailText);
        return 0;
    }
    if (ReadDiskArea(disk, start, check, length) == 0) {
        Say(ctx, readFailText);
        return 0;
    }
    if (std::memcmp(pattern, check, length) != 0) {
        Say(ctx, "Compare data in HDD fail!!");
        return 0;
    }
    Say(ctx, "Erase all data in HDD success!!");
    return 1;
}

std::string DiskBackupFileName(ProcedureContext& ctx) {
    std::string name = ctx.panel.BackupFileName();
    if (name.empty()) {
        name = kDiskBackupFile;
        ctx.panel.ShowMessage("Message", "Default backup firmware as OldFalsh.bak!");
    }
    return name;
}

int SaveDiskBackup(ProcedureContext& ctx, const std::string& name, const std::uint8_t* data,
                   std::size_t size) {
    // The previous file of that name stays intact unless the new one is
    // complete; nothing this run did not create is removed.
    if (SaveBackup(ctx, name, data, size) == 0) {
        Say(ctx, kBackupFailText);
        return 0;
    }
    return 1;
}

const FirmwareImage* DiskAreaFirmware(ProcedureContext& ctx) {
    const FirmwareImage* file = RunFirmware(ctx);
    if (file == nullptr) {
        Say(ctx, "Open File Error!!");
        return nullptr;
    }
    if (file->bytes.empty()) {
        Say(ctx, "Firmware file size error!!");
        return nullptr;
    }
    return file;
}

int BackupDiskArea(ProcedureContext& ctx, const DiskAccess& disk, std::uint64_t start, const std::string& name,
                   std::uint32_t length) {
    const auto data = AllocateBytes(length);
    if (!data) {
        Say(ctx, "Allocate read buffer Error!!");
        Say(ctx, kBackupFailText);
        return 0;
    }
    if (ReadDiskArea(disk, start, data.get(), length) == 0) {
        Say(ctx, kBackupFailText);
        return 0;
    }
    return SaveDiskBackup(ctx, name, data.get(), length);
}

}  // namespace v62x
