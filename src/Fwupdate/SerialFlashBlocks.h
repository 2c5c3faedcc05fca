// Block transfer for bridges whose firmware drives a serial flash itself
// through the direct flash read and write: pieces of ProgramChunk bytes
// (the piece at flash address 0 at most 4 KiB), one progress dot per piece,
// and the erase bookkeeping on the run's FlashGeometry that lets the bridge erase each
// unit once, just before the first piece that lands in it. Also the backup
// file and erase-by-writing built on them. Each int function returns
// non-zero for success.
#pragma once

#include <cstdint>

#include "Fwupdate/Procedure.h"

namespace v62x {

// Write modes: which erase the bridge is asked for, and where pieces are cut.
//   0        never erase
//   1, 4     erase each small unit (SectorEraseSize) before its first piece
//   2, 5     erase each large unit (BlockEraseSize) before its first piece
//   3, 6, 7  erase the whole chip before the piece at address 0
// Bit 7 of a mode is ignored.
constexpr int kWriteModeNone = 0;
constexpr int kWriteModeSmallUnit = 1;
constexpr int kWriteModeLargeUnit = 2;
constexpr int kWriteModeChip = 3;

// Erase-byte flag of the direct write for MXIC flash (kFlashMxic),
// sent only with the piece at flash address 0.
constexpr std::uint8_t kMxicEraseFlag = 0x80;

// Bytes per direct command (ProgramChunk); 0 when the setting is unusable
// (none, or more than the command's 16-bit length carries).
std::uint32_t DirectChunkSize(const FlashGeometry& geometry);

// The erase code (0..7) for the piece that starts at `address` in `mode`.
// Opening a new unit advances NextSectorIndex or NextBlockIndex; the
// counters must match the start of the run (0 from address 0, start / unit
// size from another unit boundary).
std::uint8_t SelectEraseCode(FlashGeometry& geometry, std::uint32_t address, int mode);
// Puts the erase counters at `base`, a unit boundary, for a run that starts
// there: each unit from `base` on is erased before its first piece.
void PositionEraseCounters(FlashGeometry& geometry, std::uint32_t base);
// The piece length `length` cut at the end of the erase unit the piece at
// `address` lies in (per the counters as SelectEraseCode left them).
std::uint32_t ClipToEraseUnit(FlashGeometry& geometry, std::uint32_t address, std::uint32_t length, int mode);

// Reads `length` bytes from flash `address` into `destination`, rounded up
// to 512 bytes per transfer. After a failed piece the destination holds what
// was read, then zeros. A length of 0 sends nothing and fails.
int ReadFlashBlocks(ProcedureContext& ctx, std::uint32_t address, std::uint8_t* destination,
                    std::uint32_t length);
// Writes `length` bytes of `source` to flash `address` in `mode` (the
// transfer is padded with zeros to 512 bytes). A length of 0 fails.
int WriteFlashBlocks(ProcedureContext& ctx, std::uint32_t address, const std::uint8_t* source,
                     std::uint32_t length, int mode);
// Erases `length` bytes from address 0 by writing 0xFF in mode 1, with the
// erase counters as the caller left them.
int EraseByWriting(ProcedureContext& ctx, std::uint32_t length);
// Reads the flash (FirmwareSize; 128 KiB for a kind-12 chip with more than
// 64 KiB) and writes it to the backup file. skip 4096 leaves the NVRAM out:
// the first 4 KiB, or for kind 12 everything from 0xC000 on.
int BackupFlashToFile(ProcedureContext& ctx, std::uint32_t skip);

}  // namespace v62x
