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

// The block sizes real disks report: a power of two from 512 to 65536
// bytes. Any other READ CAPACITY block length is no answer.
constexpr std::uint32_t kMinBlockSize = 512;
constexpr std::uint32_t kMaxBlockSize = 65536;
bool PlausibleBlockSize(std::uint32_t blockSize);
// Sector counts and block addresses of a disk behind these bridges fit the
// 48-bit addresses of the ATA commands: at most 2^48 sectors.
constexpr std::uint64_t kMaxSectors = std::uint64_t{1} << 48;
constexpr std::uint32_t kMax28BitSectors = 0x0FFFFFFF;

// Bytes per block from READ CAPACITY(10): 512 when it cannot be read (or
// fewer than its 8 bytes arrive), 0 when the device reports a block length
// that PlausibleBlockSize refuses.
std::uint32_t GetDiskBlockSize(const std::string& path);
// The last block address from READ CAPACITY(10); 0 when it cannot be read
// or when the answer's block length is implausible (the answer is then no
// answer at all). 0xFFFFFFFF is an answer: the disk needs READ CAPACITY(16).
std::uint32_t GetDiskLastLba(const std::string& path);
// READ CAPACITY(16) for length bytes; all of them must arrive.
int ReadCapacity16(const std::string& path, std::uint8_t* buffer, std::uint8_t length);
// The last block address from READ CAPACITY(16); 0 when it cannot be read,
// when its block length is implausible or when the address is 2^48 or more.
std::uint64_t GetDiskLastLba64(const std::string& path);

// Transfers of whole blocks: the CDB carries bytes / blockSize blocks
// (rounded down for writes), and a read succeeds only when all bytes
// arrive. A block size of 0, more blocks than the CDB's count field holds
// (16 bits for the 10-byte and ATA forms, 32 bits for the 16-byte form), or
// a read of bytes that are not whole blocks send nothing and fail.
int ReadDisk10(const std::string& path, std::uint8_t* buffer, std::uint32_t lba,
               std::uint32_t bytes, std::uint32_t blockSize);
int WriteDisk10(const std::string& path, const std::uint8_t* buffer, std::uint32_t lba,
                std::uint32_t bytes, std::uint32_t blockSize);
int ReadDisk16(const std::string& path, std::uint8_t* buffer, std::uint64_t lba,
               std::uint32_t bytes, std::uint32_t blockSize);
int WriteDisk16(const std::string& path, const std::uint8_t* buffer, std::uint64_t lba,
                std::uint32_t bytes, std::uint32_t blockSize);

// The drive's own sector count from 512 bytes of ATA identification data:
// words 60-61, or words 100-103 when those read 0x0FFFFFFF. 0 (no count)
// when words 60-61 exceed 28 bits or words 100-103 exceed 2^48.
std::uint64_t IdentifySectorCount(const std::uint8_t* identify512);
// Sector counts by the bridge's direct identification and by ATA
// PASS-THROUGH; 0 when the request fails, fewer than 512 bytes arrive or
// the count is implausible (as IdentifySectorCount).
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
// The block address where the firmware area starts. The signature block
// past the host's end is read only with a plausible block size and, on a
// disk of 32-bit addresses, a read capacity whose end leaves room for the
// area's addresses; otherwise the area counts as absent. A stored address
// at or below the host's last block counts as none stored.
std::uint32_t GetDiskFirmwareLba(const std::string& path, std::uint32_t blockSize,
                                 std::uint8_t chipKind);

}  // namespace v62x
