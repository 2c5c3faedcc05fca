// The bridge's start-up: its internal code decides whether a firmware in the
// flash runs. Everything a family's internal code knows about its firmware
// is one row of kHomes below; the device keeps only which family its silicon
// carries (DeviceConfig::firmwareFamily), never a kind.
//
// Decisions where a real bridge leaves room:
// - The internal code accepts a firmware by its tag block (signature and
//   chip code, not the revision character) and, on the two-bank chips, by
//   the bank's CRC-16; it does not check the 8-bit sum the image carries.
// - The two-bank chips start from bank 0 when it is valid, else from bank 1
//   (at 0x10000, when the flash holds it).
// - The start-up reads the flash with ordinary serial reads (or parallel
//   bus reads): a chip still busy with an erase or a program ignores them,
//   so a bridge restarted in the middle of one finds no firmware.
// - A kind-12 bridge whose status record says it runs its firmware from
//   the attached disk (byte 8 0xD0 or more) does not look at its flash: it
//   reads its disk copy, runs it when its tag and CRC-32 agree (marking
//   itself as a firmware from the flash does) and sets status byte 19 to
//   the outcome. Without a disk the copy counts as invalid.
#include "VirtualBridge/BridgeFirmware.h"

#include <algorithm>
#include <array>
#include <numeric>

#include "VirtualBridge/DiskFirmwareArea.h"
#include "VirtualBridge/VirtualDevice.h"

namespace v62x::sim {
namespace {

constexpr std::uint32_t KiB = 1024;
constexpr std::size_t kTagBytes = 10;
constexpr std::uint32_t kUnitMax = 64 * KiB;   // an image, or one bank of the two-bank chips
constexpr std::uint32_t kSumUnitMin = 32 * KiB;
constexpr std::uint32_t kBankCode = 0xC000;    // two-bank chips: code, then the 4 KiB NVRAM
constexpr std::uint32_t kBankNvram = 4 * KiB;
constexpr std::uint32_t kCrcCovered = 0xBFFC;
constexpr std::uint32_t kCrcAt = 0xBFFE;

constexpr std::array<std::uint8_t, 4> kSignatureAA = {0x55, 0xAA, 0xAA, 0x55};
constexpr std::array<std::uint8_t, 4> kSignatureVR = {0x55, 0xAA, 0x56, 0x52};

// One family's firmware as its internal code sees it.
struct FirmwareHome {
    FirmwareFamily family;
    std::vector<int> kinds;                  // the chips (by the kind they identify as) that carry it
    std::uint32_t tagAt;                     // flash address of the tag block (within each bank)
    std::array<std::uint8_t, 4> signature;
    std::vector<const char*> codes;          // chip codes accepted in the tag; the first is written
    char tagFourth = 0;                      // fourth tag character; 0: a revision digit
    int revisionBase = 0;                    // that digit: '0' + revision + revisionBase
    bool revisionByte = false;               // tag byte 8 repeats the digit
    bool leadingNvram = false;               // the 4 KiB NVRAM block sits in front of the code
    bool banks = false;                      // two banks, each code + CRC-16 + NVRAM at 0xC000
    std::uint16_t flagWord = 0;              // the flag the running firmware sets in bridge memory
    std::uint8_t flagByte = 0;
    std::uint8_t flagMask = 0;
    bool headerToMemory = false;             // it copies its tag block to bridge memory 0xC000
    bool reportsValid = false;               // it sets status byte 19
    bool diskFirmware = false;               // the bridge may run its firmware from the disk instead
};

const FirmwareHome kHomes[] = {
    {.family = FirmwareFamily::Vr40624, .kinds = {4}, .tagAt = 0x0000, .signature = kSignatureAA,
     .codes = {"624"}, .revisionBase = -1,
     .flagWord = bridge_memory::kFlagWordA, .flagByte = 2, .flagMask = 0x01,
     .headerToMemory = true},
    {.family = FirmwareFamily::Vrb641, .kinds = {6}, .tagAt = 0x1000, .signature = kSignatureAA,
     .codes = {"641"}, .revisionBase = -1, .revisionByte = true, .leadingNvram = true,
     .flagWord = bridge_memory::kFlagWordA, .flagByte = 2, .flagMask = 0x04,
     .headerToMemory = true},
    {.family = FirmwareFamily::Vrb645, .kinds = {8}, .tagAt = 0x1000, .signature = kSignatureAA,
     .codes = {"645", "644"}, .leadingNvram = true,
     .flagWord = bridge_memory::kFlagWordA, .flagByte = 2, .flagMask = 0x04},
    {.family = FirmwareFamily::Vrs751, .kinds = {11}, .tagAt = 0x1000, .signature = kSignatureAA,
     .codes = {"751"}, .leadingNvram = true,
     .flagWord = bridge_memory::kFlagWordA, .flagByte = 2, .flagMask = 0x10},
    {.family = FirmwareFamily::Vrs735, .kinds = {12}, .tagAt = 0xBFF0, .signature = kSignatureAA,
     .codes = {"735"}, .banks = true,
     .flagWord = bridge_memory::kFlagWordB, .flagByte = 3, .flagMask = 0x01,
     .reportsValid = true, .diskFirmware = true},
    {.family = FirmwareFamily::Vrb715, .kinds = {13}, .tagAt = 0x4000, .signature = kSignatureVR,
     .codes = {"715"},
     .flagWord = bridge_memory::kFlagWordA, .flagByte = 2, .flagMask = 0x01},
    {.family = FirmwareFamily::Vr40624Serial, .kinds = {15}, .tagAt = 0x4000,
     .signature = kSignatureVR, .codes = {"624"}, .tagFourth = 'E',
     .flagWord = bridge_memory::kFlagWordA, .flagByte = 2, .flagMask = 0x01},
};

// The MSB-first CRC-32 register after eight shifts, for each top byte.
constexpr std::array<std::uint32_t, 256> DiskCopyCrcTable() {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t crc = i << 24;
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 0x80000000U) ? (crc << 1) ^ 0x04C11DB7U : crc << 1;
        table[i] = crc;
    }
    return table;
}

constexpr std::array<std::uint32_t, 256> kDiskCopyCrcTable = DiskCopyCrcTable();

// MSB-first CRC-32 (polynomial 0x04C11DB7, start 0x52325032, no final XOR)
// over 32-bit words assembled least significant byte first. The 32 shifts
// per word go eight at a time through the table: the bridge checks its copy
// at every start.
std::uint32_t DiskCopyCrc(const std::uint8_t* bytes, std::size_t length) {
    std::uint32_t crc = 0x52325032;
    for (std::size_t at = 0; at + 4 <= length; at += 4) {
        crc ^= std::uint32_t{bytes[at]} | std::uint32_t{bytes[at + 1]} << 8 |
               std::uint32_t{bytes[at + 2]} << 16 | std::uint32_t{bytes[at + 3]} << 24;
        for (int step = 0; step < 4; ++step) crc = (crc << 8) ^ kDiskCopyCrcTable[crc >> 24];
    }
    return crc;
}

constexpr std::uint32_t kDiskCopyCrcAt = 0xBFFC;

const FirmwareHome* HomeOf(FirmwareFamily family) {
    for (const FirmwareHome& home : kHomes) {
        if (home.family == family) return &home;
    }
    return nullptr;
}

std::string KindsWithFirmware() {
    std::string list;
    for (const FirmwareHome& home : kHomes) {
        for (int kind : home.kinds) list += (list.empty() ? "" : ", ") + std::to_string(kind);
    }
    return list;
}

bool TagAccepted(const std::uint8_t* tag, const FirmwareHome& home) {
    if (!std::equal(home.signature.begin(), home.signature.end(), tag)) return false;
    return std::any_of(home.codes.begin(), home.codes.end(), [tag](const char* code) {
        return std::equal(code, code + 3, tag + 4);
    });
}

// The CRC-16 register after eight shifts of each top byte.
constexpr std::array<std::uint16_t, 256> BankCrcTable() {
    std::array<std::uint16_t, 256> table{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        auto crc = static_cast<std::uint16_t>(i << 8);
        for (int bit = 0; bit < 8; ++bit) {
            crc = static_cast<std::uint16_t>((crc & 0x8000) != 0 ? (crc << 1) ^ 0x1021 : crc << 1);
        }
        table[i] = crc;
    }
    return table;
}

constexpr std::array<std::uint16_t, 256> kBankCrcTable = BankCrcTable();

// CRC-16 with polynomial 0x1021 from 0, no final XOR; the bytes go in four
// at a time as a little-endian word, most significant bit first. A trailing
// group of fewer than four bytes is not covered. A byte at a time through
// the table: the bridge checks its banks at every start.
std::uint16_t BankCrc(const std::uint8_t* bytes, std::size_t length) {
    std::uint16_t crc = 0;
    for (std::size_t group = 0; group + 4 <= length; group += 4) {
        for (std::size_t i = 4; i-- > 0;) {
            crc = static_cast<std::uint16_t>((crc << 8) ^ kBankCrcTable[((crc >> 8) ^ bytes[group + i]) & 0xFF]);
        }
    }
    return crc;
}

bool BankCrcOk(const std::vector<std::uint8_t>& code) {
    const auto stored = static_cast<std::uint16_t>((code[kCrcAt] << 8) | code[kCrcAt + 1]);
    return BankCrc(code.data(), kCrcCovered) == stored;
}

// The flash addresses where the family's firmware may start.
std::vector<std::uint32_t> Starts(const FirmwareHome& home, std::uint32_t flashSize) {
    if (home.banks && flashSize >= 2 * kUnitMax) return {0, kUnitMax};
    return {0};
}

// The bridge's start-up reads of its flash: serial reads (0x03), or bus
// reads of the parallel part; a busy chip gives what a busy chip gives.
std::vector<std::uint8_t> ReadAtStart(SerialFlash* serial, ParallelFlash* parallel,
                                      std::uint32_t address, std::size_t count) {
    if (serial != nullptr) {
        return serial->Transact({0x03, static_cast<std::uint8_t>(address >> 16),
                                 static_cast<std::uint8_t>(address >> 8),
                                 static_cast<std::uint8_t>(address)},
                                count);
    }
    std::vector<std::uint8_t> bytes(count, 0xFF);
    if (parallel != nullptr) {
        for (std::size_t i = 0; i < count; ++i) {
            bytes[i] = parallel->Read(address + static_cast<std::uint32_t>(i));
        }
    }
    return bytes;
}

}  // namespace

FirmwareFamily FirmwareFamilyOfKind(int kind) {
    for (const FirmwareHome& home : kHomes) {
        if (std::find(home.kinds.begin(), home.kinds.end(), kind) != home.kinds.end()) {
            return home.family;
        }
    }
    return FirmwareFamily::None;
}

bool MinimalFirmwareImage(FirmwareFamily family, int revision, std::uint32_t flashSize,
                          std::vector<std::uint8_t>& out, std::string& why) {
    const FirmwareHome* home = HomeOf(family);
    if (home == nullptr) {
        why = "the simulator knows the flash firmware of kinds " + KindsWithFirmware() +
              " only";
        return false;
    }
    const std::uint32_t unit = std::min(flashSize, kUnitMax);
    const std::uint32_t needed = home->banks ? kBankCode + kBankNvram
                                             : home->tagAt + static_cast<std::uint32_t>(kTagBytes);
    if (unit < needed) {
        why = "a flash of " + std::to_string(flashSize) + " bytes cannot hold this chip's firmware";
        return false;
    }
    const std::vector<std::uint32_t> starts = Starts(*home, flashSize);
    std::vector<std::uint8_t> image(unit * starts.size(), 0xFF);
    const char digit = static_cast<char>('0' + std::max(revision, 1) + home->revisionBase);
    for (const std::uint32_t start : starts) {
        std::uint8_t* bytes = image.data() + start;
        std::uint8_t* tag = bytes + home->tagAt;
        std::copy(home->signature.begin(), home->signature.end(), tag);
        std::copy(home->codes.front(), home->codes.front() + 3, tag + 4);
        tag[7] = static_cast<std::uint8_t>(home->tagFourth != 0 ? home->tagFourth : digit);
        tag[8] = home->revisionByte ? static_cast<std::uint8_t>(digit) : 0x00;
        tag[9] = 0x00;
        if (home->banks) {
            const std::uint16_t crc = BankCrc(bytes, kCrcCovered);
            bytes[kCrcAt] = static_cast<std::uint8_t>(crc >> 8);
            bytes[kCrcAt + 1] = static_cast<std::uint8_t>(crc);
        }
        if (!home->leadingNvram && unit >= kSumUnitMin) {
            bytes[unit - 1] = std::accumulate(bytes, bytes + unit - 1, std::uint8_t{0},
                                              [](std::uint8_t sum, std::uint8_t b) {
                                                  return static_cast<std::uint8_t>(sum + b);
                                              });
        }
    }
    out = std::move(image);
    return true;
}

bool KeepsFirmwareCopyOnDisk(FirmwareFamily family) {
    const FirmwareHome* home = HomeOf(family);
    return home != nullptr && home->diskFirmware;
}

bool DiskFirmwareCopyStart(std::uint64_t sectors, std::uint32_t blockSize, std::uint64_t& start) {
    if (blockSize == 0 || sectors == 0) return false;
    const std::uint64_t align = (1024 * KiB) / blockSize;
    const std::uint64_t back = (2048 * KiB) / blockSize;
    const std::uint64_t last = (sectors - 1) / align * align;
    if (last < back) return false;
    start = last - back;
    return true;
}

std::vector<std::uint8_t> MinimalDiskFirmwareCopy(int revision) {
    const FirmwareHome* home = HomeOf(FirmwareFamily::Vrs735);
    std::vector<std::uint8_t> copy(kDiskCopySize, 0x00);
    std::fill(copy.begin(), copy.begin() + kBankCode, 0xFF);
    std::uint8_t* tag = copy.data() + home->tagAt;
    std::copy(home->signature.begin(), home->signature.end(), tag);
    std::copy(home->codes.front(), home->codes.front() + 3, tag + 4);
    tag[7] = static_cast<std::uint8_t>('0' + std::max(revision, 1) + home->revisionBase);
    const std::uint32_t crc = DiskCopyCrc(copy.data(), kDiskCopyCrcAt);
    for (std::uint32_t i = 0; i < 4; ++i) copy[kDiskCopyCrcAt + i] = static_cast<std::uint8_t>(crc >> (8 * i));
    return copy;
}

bool DiskFirmwareCopyValid(const std::uint8_t* copy) {
    const FirmwareHome* home = HomeOf(FirmwareFamily::Vrs735);
    if (!TagAccepted(copy + home->tagAt, *home)) return false;
    const std::uint32_t stored = std::uint32_t{copy[kDiskCopyCrcAt]} | std::uint32_t{copy[kDiskCopyCrcAt + 1]} << 8 |
                                 std::uint32_t{copy[kDiskCopyCrcAt + 2]} << 16 |
                                 std::uint32_t{copy[kDiskCopyCrcAt + 3]} << 24;
    return stored == DiskCopyCrc(copy, kDiskCopyCrcAt);
}

void VirtualDevice::StartBridgeFirmware() {
    status_ = config_.answers.statusRecord;
    const FirmwareHome* home = HomeOf(config_.firmwareFamily);
    if (home == nullptr || !config_.isBridge) return;

    const auto run = [&](const std::uint8_t* tag) {
        memory_[static_cast<std::size_t>(home->flagWord) + home->flagByte] |= home->flagMask;
        if (home->headerToMemory && tag != nullptr) {
            std::copy_n(tag, kTagBytes, memory_.begin() + bridge_memory::kSignature);
        }
        if (home->reportsValid) {
            if (status_.size() <= status_byte::kRunningFirmwareValid) {
                status_.resize(status_byte::kRunningFirmwareValid + 1, 0);
            }
            status_[status_byte::kRunningFirmwareValid] = 1;
        }
    };

    const auto statusByte = [this](std::size_t index) -> std::uint8_t {
        return index < status_.size() ? status_[index] : 0;
    };
    if (home->diskFirmware && statusByte(status_byte::kDiskFirmware) >= kDiskFirmwareIndicator) {
        bool valid = false;
        std::uint64_t start = 0;
        if (disk_ && DiskFirmwareCopyStart(disk_->sectors(), disk_->blockSize(), start)) {
            std::vector<std::uint8_t> copy(kDiskCopySize);
            valid = disk_->Read(start, kDiskCopySize / disk_->blockSize(), copy.data()) &&
                    DiskFirmwareCopyValid(copy.data());
        }
        if (status_.size() <= status_byte::kRunningFirmwareValid) {
            status_.resize(status_byte::kRunningFirmwareValid + 1, 0);
        }
        status_[status_byte::kRunningFirmwareValid] = valid ? 1 : 0;
        if (valid) run(nullptr);
        return;
    }

    const std::vector<std::uint8_t>* flash = FlashContents();
    if (flash == nullptr) return;
    const auto flashSize = static_cast<std::uint32_t>(flash->size());
    for (const std::uint32_t start : Starts(*home, flashSize)) {
        if (start + home->tagAt + kTagBytes > flashSize) continue;
        const std::vector<std::uint8_t> tag = ReadAtStart(serialFlash_.get(), parallelFlash_.get(),
                                                          start + home->tagAt, kTagBytes);
        if (!TagAccepted(tag.data(), *home)) continue;
        if (home->banks) {
            if (start + kBankCode > flashSize) continue;
            const std::vector<std::uint8_t> code =
                ReadAtStart(serialFlash_.get(), parallelFlash_.get(), start, kBankCode);
            if (!BankCrcOk(code)) continue;
        }
        run(tag.data());
        return;
    }
}

}  // namespace v62x::sim
