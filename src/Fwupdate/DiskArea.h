// Moving the firmware area of a bridge that keeps its firmware on the
// attached disk: whole-block reads and writes at 64-bit block addresses with
// the command pair the area is reached by, in pieces of at most 64 KiB, and
// the backup file the area is saved to.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "Fwupdate/Procedure.h"
#include "IDEAccess/Transport.h"

namespace v62x {

// Bytes one data command moves at most.
constexpr std::uint32_t kDiskPiece = kLargestRequest;

// The status text of an area whose place on the disk cannot be worked out
// (the disk's geometry could not be read, or the place would lie below the
// first block).
constexpr const char* kAreaNotFoundText = "HDD firmware area not found!!";

enum class DiskCommandSet {
    Scsi10,  // READ/WRITE (10): 32-bit block addresses
    Scsi16,  // READ/WRITE (16)
    Ata,     // READ/WRITE DMA EXT through ATA PASS-THROUGH
};

struct DiskAccess {
    std::string path;
    DiskCommandSet commands = DiskCommandSet::Scsi10;
    std::uint32_t blockSize = 512;
};

// A block size the area rules can work with: a power of two from 512 to
// 65536 bytes, so that every piece and every alignment is whole blocks.
bool UsableBlockSize(std::uint32_t blockSize);

// bytes at block lba, in pieces of at most kDiskPiece; bytes must be whole
// blocks. Fails without sending anything when the range does not fit the
// command set's addresses.
int ReadDiskArea(const DiskAccess& disk, std::uint64_t lba, std::uint8_t* buffer, std::uint32_t bytes);
int WriteDiskArea(const DiskAccess& disk, std::uint64_t lba, const std::uint8_t* buffer,
                  std::uint32_t bytes);

// The failure texts of a data command on the area: the 16-byte and the ATA
// commands share the "SCSI16" texts.
const char* DiskWriteFailText(const DiskAccess& disk);
const char* DiskReadFailText(const DiskAccess& disk);

// Programs `blocks` blocks of `unit` bytes of `image` upward from block
// `start`, each written, read back and compared. Shows the text of the step
// that failed ("Allocate read buffer Error!!", the write or read failure,
// "Compare Data in HDD FAIL!!"); blocks before a failing one stay written.
int ProgramDiskBlocks(ProcedureContext& ctx, const DiskAccess& disk, std::uint64_t start,
                      const std::uint8_t* image, std::uint64_t blocks, std::uint32_t unit);

// Writes `pattern` (`length` bytes) over the area from block `start`,
// reads it back into `check` and compares. Shows "Erase all data in HDD
// success!!" when the area holds the pattern; else writeFailText,
// readFailText or "Compare data in HDD fail!!". A write or a read that
// failed verifies nothing.
int EraseDiskAreaChecked(ProcedureContext& ctx, const DiskAccess& disk, std::uint64_t start,
                         const std::uint8_t* pattern, std::uint8_t* check, std::uint32_t length,
                         const char* writeFailText, const char* readFailText);

// The backup file's name: BackupFileEdit, or the default with its message.
std::string DiskBackupFileName(ProcedureContext& ctx);

// The geometry `gather` reports when it reports the same twice in a row
// (at most three asks): several queries fall back to a default when their
// command fails, and one failed command must not move the firmware area.
// False when no two agree.
template <class Gather, class Geometry>
bool SteadyGeometry(Gather gather, Geometry& out) {
    Geometry first = gather();
    out = gather();
    if (out == first) return true;
    first = out;
    out = gather();
    return out == first;
}

// Writes the backup file. Shows "Open Backup File Error!!" or "Write Backup
// File Error!!" (a partly written file is removed), each followed by "Read
// Back to Backup Error!!", or "Read flash and backup success!".
int SaveDiskBackup(ProcedureContext& ctx, const std::string& name, const std::uint8_t* data,
                   std::size_t size);

// The run's firmware for a disk area; null, with "Open File Error!!" or
// "Firmware file size error!!" (an empty file), when there is none to
// program.
const FirmwareImage* DiskAreaFirmware(ProcedureContext& ctx);

// Reads `length` bytes of the area from block `start` and saves them as the
// backup file `name` (SaveDiskBackup). A read that fails writes no file:
// its zeros would look like an erased area. Shows "Allocate read buffer
// Error!!" (followed by "Read Back to Backup Error!!") when memory is
// short.
int BackupDiskArea(ProcedureContext& ctx, const DiskAccess& disk, std::uint64_t start, const std::string& name,
                   std::uint32_t length);

}  // namespace v62x
