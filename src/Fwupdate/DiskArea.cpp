#include "Fwupdate/DiskArea.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "Fwupdate/ProcedureHelpers.h"
#include "IDEAccess/DiskCommands.h"

namespace v62x {
namespace {

constexpr std::uint64_t kTenByteLimit = std::uint64_t{1} << 32;

// The range fits the addresses the command set carries.
bool Addressable(const DiskAccess& disk, std::uint64_t lba, std::uint32_t bytes) {
    if (!UsableBlockSize(disk.blockSize) || bytes % disk.blockSize != 0) return false;
    const std::uint64_t blocks = bytes / disk.blockSize;
    if (disk.commands == DiskCommandSet::Scsi10) return lba < kTenByteLimit && blocks <= kTenByteLimit - lba;
    return lba <= UINT64_MAX - blocks;
}

}  // namespace

bool UsableBlockSize(std::uint32_t blockSize) {
    return blockSize >= 512 && blockSize <= kDiskPiece && (blockSize & (blockSize - 1)) == 0;
}

int ReadDiskArea(const DiskAccess& disk, std::uint64_t lba, std::uint8_t* buffer, std::uint32_t bytes) {
    if (bytes == 0 || !Addressable(disk, lba, bytes)) return 0;
    for (std::uint32_t done = 0; done < bytes;) {
        const std::uint32_t piece = std::min(kDiskPiece, bytes - done);
        int ok = 0;
        switch (disk.commands) {
            case DiskCommandSet::Scsi10:
                ok = ReadDisk10(disk.path, buffer + done, static_cast<std::uint32_t>(lba), piece, disk.blockSize);
                break;
            case DiskCommandSet::Scsi16:
                ok = ReadDisk16(disk.path, buffer + done, lba, piece, disk.blockSize);
                break;
            case DiskCommandSet::Ata:
                ok = AtaReadDmaExt(disk.path, buffer + done, lba, piece, disk.blockSize);
                break;
        }
        if (ok == 0) return 0;
        done += piece;
        lba += piece / disk.blockSize;
    }
    return 1;
}

int WriteDiskArea(const DiskAccess& disk, std::uint64_t lba, const std::uint8_t* buffer,
                  std::uint32_t bytes) {
    if (bytes == 0 || !Addressable(disk, lba, bytes)) return 0;
    for (std::uint32_t done = 0; done < bytes;) {
        const std::uint32_t piece = std::min(kDiskPiece, bytes - done);
        int ok = 0;
        switch (disk.commands) {
            case DiskCommandSet::Scsi10:
                ok = WriteDisk10(disk.path, buffer + done, static_cast<std::uint32_t>(lba), piece, disk.blockSize);
                break;
            case DiskCommandSet::Scsi16:
                ok = WriteDisk16(disk.path, buffer + done, lba, piece, disk.blockSize);
                break;
            case DiskCommandSet::Ata:
                ok = AtaWriteDmaExt(disk.path, buffer + done, lba, piece, disk.blockSize);
                break;
        }
        if (ok == 0) return 0;
        done += piece;
        lba += piece / disk.blockSize;
    }
    return 1;
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
    }
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
    FilePtr file(std::fopen(name.c_str(), "wb"));
    if (!file) {
        Say(ctx, "Open Backup File Error!!");
        Say(ctx, "Read Back to Backup Error!!");
        return 0;
    }
    // A backup that did not reach the file (disk full, I/O error) is no
    // backup; what part of it was written goes again.
    const bool written = std::fwrite(data, 1, size, file.get()) == size;
    const bool closed = std::fclose(file.release()) == 0;
    if (!written || !closed) {
        std::remove(name.c_str());
        Say(ctx, "Write Backup File Error!!");
        Say(ctx, "Read Back to Backup Error!!");
        return 0;
    }
    Say(ctx, "Read flash and backup success!");
    return 1;
}

}  // namespace v62x
