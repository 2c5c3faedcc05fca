// Pieces every update procedure shares: block-wise flash read and erase with
// progress dots, erase-all with its blank check, the backup file, and the
// word-wise CRC-32 of the firmware kept on the attached disk. Each returns
// non-zero for success.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "Fwupdate/Procedure.h"

namespace v62x {

// The backup file written when the operator names none.
constexpr const char* kDefaultBackupFile = "oldflash.bak";
// The same default as the serial-flash and disk-firmware procedures spell it.
constexpr const char* kDiskBackupFile = "oldFlash.bak";

// The flash block commands carry 24-bit addresses: nothing at or past this
// address can be reached.
constexpr std::uint32_t kFlashAddressSpace = 0x1000000;

// The firmware a run programs: the image the chip check accepted, when it
// is of the file the panel names; else that file read now, once, whole
// (procedures started without a check). Null when the file cannot be read;
// *problem then says why, and so does the trace. The procedures program
// these bytes and never open the file again, so a file replaced after the
// check changes nothing.
const FirmwareImage* RunFirmware(ProcedureContext& ctx, std::string* problem = nullptr);

// Shows a status text and lets the window catch up.
inline void Say(ProcedureContext& ctx, const std::string& text) {
    ctx.panel.SetStatus(text);
    ctx.panel.ProcessPendingEvents();
}

// value rounded up to a multiple of unit (unit > 0).
inline std::uint64_t RoundUp(std::uint64_t value, std::uint32_t unit) {
    return (value + unit - 1) / unit * unit;
}

// Every byte reads 0xFF, as an erased flash does.
inline bool AllErased(const std::uint8_t* bytes, std::size_t count) {
    return std::all_of(bytes, bytes + count, [](std::uint8_t b) { return b == 0xFF; });
}

// The status text of an ATMEL flash whose write enable did not take.
constexpr const char* kAtmelEnableFailText = "Enable ATMEL flash write enable fail!!";

// Lets the flash be written: on ATMEL flash the write enable (only the
// status latch tells whether it took), then, when `unprotect`, the write
// protection lifted on ST and MXIC flash. False, with nothing lifted and no
// status shown, when the write enable did not take.
bool EnableFlashWrites(ProcedureContext& ctx, bool unprotect);

// A zero-filled byte buffer of its own, or null when the memory cannot be had.
std::unique_ptr<std::uint8_t[]> AllocateBytes(std::size_t size);

// ReadFlashData that trusts only a flash that is ready (a busy flash ignores
// reads and the bus reads 0xFF) and a reply that delivered all length bytes.
int ReadFlashChecked(const std::string& path, std::uint32_t address, std::uint8_t* buffer,
                     std::uint32_t length);

// Why a command of `needed` data bytes that cannot be split was not sent to
// path: the host's limit per request, and how root raises it.
std::string RequestLimitText(const std::string& path, std::uint32_t needed);

// Reads length bytes from flash address start in blocks of ProgramChunk
// (any length: the last block is read whole and only its part is copied).
int ReadFlashRange(ProcedureContext& ctx, std::uint32_t start, std::uint8_t* buffer,
                   std::uint32_t length);
// Erases the flash from address 0 over length bytes, block by block.
int EraseFlashRange(ProcedureContext& ctx, std::uint32_t length);
// Erases the whole flash (FirmwareSize bytes) and checks it blank.
int EraseAllFlash(ProcedureContext& ctx);
// Reads the flash and writes it, less the first `skip` bytes, to the backup file.
int BackupFlashImage(ProcedureContext& ctx, std::uint32_t skip);
// Writes a backup file safely (SafeFile.h) and ends with "Read flash and
// backup success!"; on failure shows openFailText (the name is no regular
// file, or nothing can be created there) or writeFailText.
int SaveBackup(ProcedureContext& ctx, const std::string& name, const std::uint8_t* data, std::size_t size,
               const char* openFailText = "Open Backup File Error!!",
               const char* writeFailText = "Write Backup File Error!!");
// MSB-first CRC-32 (0x04C11DB7) over 32-bit words, start 0x52325032, no final XOR.
int FirmwareCrc32(const std::uint8_t* data, std::size_t length, bool bigEndianWords,
                  std::uint32_t& out);

}  // namespace v62x
