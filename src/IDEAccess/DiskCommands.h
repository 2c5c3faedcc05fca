// Commands on the disk attached to the bridge: capacity, block reads and
// writes, ATA identification and DMA transfers, and the queries that locate
// the firmware area some bridges keep beyond the host-visible end.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "IDEAccess/ChipCommands.h"

namespace v62x {

using Cdb10 = std::array<std::uint8_t, 10>;
using Cdb16 = std::array<std::uint8_t, 16>;

Cdb12 ReadCapacity10Cdb();
Cdb16 ReadCapacity16Cdb(std::uint8_t length);
Cdb10 ReadDisk10Cdb(std::uint32_t lba, std::uint16_t blocks);
Cdb10 WriteDisk10Cdb(std::uint32_t lba, std::uint16_t blocks);
Cdb16 ReadDisk16Cdb(std::uint64_t lba, std::uint32_t blocks);
Cdb16 WriteDisk16Cdb(std::uint64_t lba, std::uint32_t blocks);
Cdb12 IdentifyDirectCdb();
Cdb12 AtaIdentifyCdb();
Cdb16 AtaReadDmaExtCdb(std::uint64_t lba, std::uint16_t count);
Cdb16 AtaWriteDmaExtCdb(std::uint64_t lba, std::uint16_t count);

// Bytes per block from READ CAPACITY(10); 512 when it cannot be read.
std::uint32_t GetDiskBlockSize(const std::string& path);
// The last block address from READ CAPACITY(10); 0 when it cannot be read.
std::uint32_t GetDiskLastLba(const std::string& path);
int ReadCapacity16(const std::string& path, std::uint8_t* buffer, std::uint8_t length);
std::uint64_t GetDiskLastLba64(const std::string& path);

// Transfers of whole blocks: the CDB carries bytes / blockSize blocks.
// A block size of 0 sends nothing and fails.
int ReadDisk10(const std::string& path, std::uint8_t* buffer, std::uint32_t lba,
               std::uint32_t bytes, std::uint32_t blockSize);
int WriteDisk10(const std::string& path, const std::uint8_t* buffer, std::uint32_t lba,
                std::uint32_t bytes, std::uint32_t blockSize);
int ReadDisk16(const std::string& path, std::uint8_t* buffer, std::uint64_t lba,
               std::uint32_t bytes, std::uint32_t blockSize);
int WriteDisk16(const std::string& path, const std::uint8_t* buffer, std::uint64_t lba,
                std::uint32_t bytes, std::uint32_t blockSize);

// The drive's own sector count from 512 bytes of ATA identification data:
// words 60-61, or words 100-103 when those read 0x0FFFFFFF.
std::uint64_t IdentifySectorCount(const std::uint8_t* identify512);
// Sector counts by the bridge's direct identification and by ATA
// PASS-THROUGH; 0 when the request fails.
std::uint64_t GetDiskSectorsDirect(const std::string& path);
int AtaIdentify(const std::string& path, std::uint8_t* buffer512);
std::uint64_t GetDiskSectorsAta(const std::string& path);
int AtaReadDmaExt(const std::string& path, std::uint8_t* buffer, std::uint64_t lba,
                  std::uint32_t bytes, std::uint32_t blockSize);
int AtaWriteDmaExt(const std::string& path, const std::uint8_t* buffer, std::uint64_t lba,
                   std::uint32_t bytes, std::uint32_t blockSize);

// 1 when the bridge reports a firmware area on its disk.
int CheckDiskFirmware(const std::string& path, std::uint8_t chipKind);
// 1 when the bridge's capacity flag (status byte 17) is set.
int CheckCapacityFlag(const std::string& path);
// The block address where the firmware area starts.
std::uint32_t GetDiskFirmwareLba(const std::string& path, std::uint32_t blockSize,
                                 std::uint8_t chipKind);

}  // namespace v62x
