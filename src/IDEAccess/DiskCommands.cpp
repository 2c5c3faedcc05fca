#include "IDEAccess/DiskCommands.h"

#include <vector>

#include "IDEAccess/Bytes.h"
#include "IDEAccess/Transport.h"

namespace v62x {
namespace {

// Every disk-side read asks for a fixed number of bytes: all must arrive.
template <std::size_t N>
int ReadExact(const std::string& path, const std::array<std::uint8_t, N>& cdb,
              std::uint8_t* buffer, std::uint32_t length) {
    return ScsiReadExact(path, cdb.data(), cdb.size(), buffer, length);
}

template <std::size_t N>
int SendOut(const std::string& path, const std::array<std::uint8_t, N>& cdb,
            const std::uint8_t* buffer, std::uint32_t length) {
    std::uint32_t transferred = 0;
    return ScsiPassThroughOut(path, cdb.data(), cdb.size(), buffer, length, transferred);
}

std::uint32_t Be32(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           p[3];
}

std::uint64_t Be64(const std::uint8_t* p) {
    return (std::uint64_t{Be32(p)} << 32) | Be32(p + 4);
}

std::uint16_t Word(const std::uint8_t* identify, int index) {
    return static_cast<std::uint16_t>(identify[2 * index] | (identify[2 * index + 1] << 8));
}

Cdb10 Disk10(std::uint8_t opcode, std::uint32_t lba, std::uint16_t blocks) {
    Cdb10 cdb{opcode};
    PutBe32(&cdb[2], lba);
    PutBe16(&cdb[7], blocks);
    return cdb;
}

Cdb16 Disk16(std::uint8_t opcode, std::uint64_t lba, std::uint32_t blocks) {
    Cdb16 cdb{opcode};
    PutBe32(&cdb[2], static_cast<std::uint32_t>(lba >> 32));
    PutBe32(&cdb[6], static_cast<std::uint32_t>(lba));
    PutBe32(&cdb[10], blocks);
    return cdb;
}

// ATA PASS-THROUGH(16) with the 48-bit registers in the standard's order:
// each pair is the previous (high) and current (low) content of a register.
Cdb16 AtaDmaExt(bool write, std::uint64_t lba, std::uint16_t count) {
    auto bits = [lba](int shift) { return static_cast<std::uint8_t>(lba >> shift); };
    return Cdb16{0x85,
                 static_cast<std::uint8_t>(write ? 0x17 : 0x15),
                 static_cast<std::uint8_t>(write ? 0x03 : 0x0B),
                 0x00,
                 0x00,
                 static_cast<std::uint8_t>(count >> 8),
                 static_cast<std::uint8_t>(count),
                 bits(24),
                 bits(0),
                 bits(32),
                 bits(8),
                 bits(40),
                 bits(16),
                 0x60,
                 static_cast<std::uint8_t>(write ? 0x35 : 0x25),
                 0x00};
}

bool ReadCapacity10(const std::string& path, std::uint8_t* answer8) {
    return ReadExact(path, ReadCapacity10Cdb(), answer8, 8) != 0;
}

std::uint64_t SectorsFrom(const std::string& path, int (*identify)(const std::string&, std::uint8_t*)) {
    std::vector<std::uint8_t> data(512, 0);
    if (identify(path, data.data()) == 0) return 0;
    return IdentifySectorCount(data.data());
}

int IdentifyDirect(const std::string& path, std::uint8_t* buffer512) {
    return ReadExact(path, IdentifyDirectCdb(), buffer512, 512);
}

}  // namespace

Cdb12 ReadCapacity10Cdb() { return Cdb12{0x25}; }

Cdb16 ReadCapacity16Cdb(std::uint8_t length) {
    Cdb16 cdb{0x9E, 0x10};
    cdb[13] = length;
    return cdb;
}

Cdb10 ReadDisk10Cdb(std::uint32_t lba, std::uint16_t blocks) { return Disk10(0x28, lba, blocks); }
Cdb10 WriteDisk10Cdb(std::uint32_t lba, std::uint16_t blocks) { return Disk10(0x2A, lba, blocks); }
Cdb16 ReadDisk16Cdb(std::uint64_t lba, std::uint32_t blocks) { return Disk16(0x88, lba, blocks); }
Cdb16 WriteDisk16Cdb(std::uint64_t lba, std::uint32_t blocks) { return Disk16(0x8A, lba, blocks); }

Cdb12 IdentifyDirectCdb() { return DirectCdb(kDirectRead, 512, 0, 0x0000A0, 0xEC); }

Cdb12 AtaIdentifyCdb() { return Cdb12{0xA1, 0x08, 0x0B, 0, 0, 0, 0, 0, 0x40, 0xEC, 0, 0}; }

Cdb16 AtaReadDmaExtCdb(std::uint64_t lba, std::uint16_t count) { return AtaDmaExt(false, lba, count); }
Cdb16 AtaWriteDmaExtCdb(std::uint64_t lba, std::uint16_t count) { return AtaDmaExt(true, lba, count); }

bool PlausibleBlockSize(std::uint32_t blockSize) {
    return blockSize >= kMinBlockSize && blockSize <= kMaxBlockSize &&
           (blockSize & (blockSize - 1)) == 0;
}

std::uint32_t GetDiskBlockSize(const std::string& path) {
    std::uint8_t answer[8] = {};
    if (!ReadCapacity10(path, answer)) return 512;
    const std::uint32_t blockSize = Be32(answer + 4);
    return PlausibleBlockSize(blockSize) ? blockSize : 0;
}

std::uint32_t GetDiskLastLba(const std::string& path) {
    std::uint8_t answer[8] = {};
    if (!ReadCapacity10(path, answer) || !PlausibleBlockSize(Be32(answer + 4))) return 0;
    return Be32(answer);
}

int ReadCapacity16(const std::string& path, std::uint8_t* buffer, std::uint8_t length) {
    return ReadExact(path, ReadCapacity16Cdb(length), buffer, length);
}

std::uint64_t GetDiskLastLba64(const std::string& path) {
    std::uint8_t answer[16] = {};
    if (ReadCapacity16(path, answer, sizeof answer) == 0) return 0;
    const std::uint64_t last = Be64(answer);
    if (!PlausibleBlockSize(Be32(answer + 8)) || last >= kMaxSectors) return 0;
    return last;
}

namespace {

// The block count of a read: false when bytes are not whole blocks or need
// more blocks than the command's count field holds (the device would then
// deliver fewer bytes than asked, which no read takes).
bool ReadBlocks(std::uint32_t bytes, std::uint32_t blockSize, std::uint32_t maxBlocks,
                std::uint32_t& blocks) {
    if (blockSize == 0 || bytes % blockSize != 0 || bytes / blockSize > maxBlocks) return false;
    blocks = bytes / blockSize;
    return true;
}

// The block count of a write: bytes / blockSize, rounded down; false when it
// does not fit the command's count field (the count would wrap round and
// name far fewer blocks).
bool WriteBlocks(std::uint32_t bytes, std::uint32_t blockSize, std::uint32_t maxBlocks,
                 std::uint32_t& blocks) {
    if (blockSize == 0 || bytes / blockSize > maxBlocks) return false;
    blocks = bytes / blockSize;
    return true;
}

constexpr std::uint32_t kMaxBlocks16Bit = 0xFFFF;
constexpr std::uint32_t kMaxBlocks32Bit = 0xFFFFFFFF;

}  // namespace

int ReadDisk10(const std::string& path, std::uint8_t* buffer, std::uint32_t lba,
               std::uint32_t bytes, std::uint32_t blockSize) {
    std::uint32_t blocks = 0;
    if (!ReadBlocks(bytes, blockSize, kMaxBlocks16Bit, blocks)) return 0;
    return ReadExact(path, ReadDisk10Cdb(lba, static_cast<std::uint16_t>(blocks)), buffer, bytes);
}

int WriteDisk10(const std::string& path, const std::uint8_t* buffer, std::uint32_t lba,
                std::uint32_t bytes, std::uint32_t blockSize) {
    std::uint32_t blocks = 0;
    if (!WriteBlocks(bytes, blockSize, kMaxBlocks16Bit, blocks)) return 0;
    return SendOut(path, WriteDisk10Cdb(lba, static_cast<std::uint16_t>(blocks)), buffer, bytes);
}

int ReadDisk16(const std::string& path, std::uint8_t* buffer, std::uint64_t lba,
               std::uint32_t bytes, std::uint32_t blockSize) {
    std::uint32_t blocks = 0;
    if (!ReadBlocks(bytes, blockSize, kMaxBlocks32Bit, blocks)) return 0;
    return ReadExact(path, ReadDisk16Cdb(lba, blocks), buffer, bytes);
}

int WriteDisk16(const std::string& path, const std::uint8_t* buffer, std::uint64_t lba,
                std::uint32_t bytes, std::uint32_t blockSize) {
    std::uint32_t blocks = 0;
    if (!WriteBlocks(bytes, blockSize, kMaxBlocks32Bit, blocks)) return 0;
    return SendOut(path, WriteDisk16Cdb(lba, blocks), buffer, bytes);
}

std::uint64_t IdentifySectorCount(const std::uint8_t* identify) {
    if (identify == nullptr) return 0;
    const std::uint32_t count28 = (std::uint32_t{Word(identify, 61)} << 16) | Word(identify, 60);
    // Words 60-61 hold a 28-bit count; the top four bits set is no count.
    if (count28 > kMax28BitSectors) return 0;
    if (count28 != kMax28BitSectors) return count28;
    std::uint64_t count48 = 0;
    for (int word = 103; word >= 100; --word) count48 = (count48 << 16) | Word(identify, word);
    return count48 <= kMaxSectors ? count48 : 0;
}

std::uint64_t GetDiskSectorsDirect(const std::string& path) { return SectorsFrom(path, IdentifyDirect); }

int AtaIdentify(const std::string& path, std::uint8_t* buffer512) {
    return ReadExact(path, AtaIdentifyCdb(), buffer512, 512);
}

std::uint64_t GetDiskSectorsAta(const std::string& path) { return SectorsFrom(path, AtaIdentify); }

int AtaReadDmaExt(const std::string& path, std::uint8_t* buffer, std::uint64_t lba,
                  std::uint32_t bytes, std::uint32_t blockSize) {
    std::uint32_t blocks = 0;
    if (!ReadBlocks(bytes, blockSize, kMaxBlocks16Bit, blocks)) return 0;
    return ReadExact(path, AtaReadDmaExtCdb(lba, static_cast<std::uint16_t>(blocks)), buffer,
                     bytes);
}

int AtaWriteDmaExt(const std::string& path, const std::uint8_t* buffer, std::uint64_t lba,
                   std::uint32_t bytes, std::uint32_t blockSize) {
    std::uint32_t blocks = 0;
    if (!WriteBlocks(bytes, blockSize, kMaxBlocks16Bit, blocks)) return 0;
    return SendOut(path, AtaWriteDmaExtCdb(lba, static_cast<std::uint16_t>(blocks)), buffer,
                   bytes);
}

int CheckDiskFirmware(const std::string& path, std::uint8_t chipKind) {
    if (chipKind == 12) return 0;
    if (chipKind == 15) {
        std::uint8_t status[18] = {};
        return GetBridgeStatus(path, status, sizeof status) != 0 && status[16] == 1 ? 1 : 0;
    }
    std::uint8_t mark[4] = {};
    if (ReadBridgeMemory(path, mark, kFirmwareSignature, sizeof mark) == 0) return 0;
    return mark[0] == 0x55 && mark[1] == 0xAA ? 1 : 0;
}

int CheckCapacityFlag(const std::string& path) {
    std::uint8_t status[18] = {};
    return GetBridgeStatus(path, status, sizeof status) != 0 && status[17] == 1 ? 1 : 0;
}

std::uint32_t GetDiskFirmwareLba(const std::string& path, std::uint32_t blockSize,
                                 std::uint8_t chipKind) {
    const std::uint32_t last = GetDiskLastLba(path);
    const int flag = CheckCapacityFlag(path);
    const std::uint64_t sectors = GetDiskSectorsDirect(path);
    const int present = CheckDiskFirmware(path, chipKind);
    const bool large = (sectors >> 32) != 0;
    constexpr std::uint32_t kAreaBlocks = 4;
    constexpr std::uint32_t kRuleOffset = 1 + 0x101;
    // The signature block lies right past the host's end: a 10-byte read
    // reaches it only when the capacity was read (last non-zero) and the
    // blocks and the rule's address below fit 32 bits; never block 0 by
    // wrapping round.
    const bool reachable = large || (last != 0 && last <= 0xFFFFFFFFU - kRuleOffset);

    if (present != 0 && PlausibleBlockSize(blockSize) && reachable) {
        const std::uint32_t bytes = kAreaBlocks * blockSize;  // at most 256 KiB
        std::vector<std::uint8_t> blocks(bytes, 0);
        const int read = large ? ReadDisk16(path, blocks.data(), sectors, bytes, blockSize)
                               : ReadDisk10(path, blocks.data(), last + 1, bytes, blockSize);
        if (read != 0) {
            const std::uint32_t stored = Be32(&blocks[151]);
            // A stored address at or below the host's end would put the
            // firmware over the user's data: it counts as none. A large
            // disk stores only the lower 32 bits, which bound nothing.
            if (stored != 0 && (large || stored > last)) return stored;
            // With no stored address the area starts 0x101 blocks past the
            // drive's end as the host sees it. A large disk is given the
            // same rule on its own sector count (lower 32 bits).
            return large ? static_cast<std::uint32_t>(sectors + 0x101) : last + kRuleOffset;
        }
    }
    const std::uint32_t result = large ? static_cast<std::uint32_t>(sectors - 1) : last;
    return flag == 1 ? result + 1 : result;
}

}  // namespace v62x
