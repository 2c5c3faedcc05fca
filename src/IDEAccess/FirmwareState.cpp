#include "IDEAccess/FirmwareState.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "IDEAccess/ChipCommands.h"
#include "IDEAccess/FlashCommands.h"
#include "IDEAccess/ChipKinds.h"
#include "IDEAccess/IdentifyChip.h"

namespace v62x {
namespace {

enum class SignatureSource {
    BridgeMemoryC000,  // 10 bytes of bridge memory at 0xC000
    DirectFlash1000,   // direct flash read of 1024 bytes at 0x1000
    BlockFlash4000,    // flash block read of 1024 bytes at 0x4000
    Kind12,            // status byte 19, or the block at flash 0xBFF0
};

struct FirmwareCheck {
    std::vector<std::uint8_t> kinds;
    std::uint16_t flagWord;
    std::uint8_t flagByte;
    std::uint8_t flagMask;
    std::vector<const char*> internalVersions;
    SignatureSource source;
    std::array<std::uint8_t, 4> signature;
    std::vector<const char*> codes;  // empty: the chip code of the kind
};

constexpr std::array<std::uint8_t, 4> kSignatureAA = {0x55, 0xAA, 0xAA, 0x55};
constexpr std::array<std::uint8_t, 4> kSignatureVR = {0x55, 0xAA, 0x56, 0x52};

const std::vector<FirmwareCheck> kFirmwareChecks = {
    {{4}, kFlashFlagWordA, 2, 0x01, {}, SignatureSource::BridgeMemoryC000, kSignatureAA, {"624"}},
    {{6}, kFlashFlagWordA, 2, 0x04, {}, SignatureSource::BridgeMemoryC000, kSignatureAA, {"641"}},
    {{8, 9}, kFlashFlagWordA, 2, 0x04, {"7.07.00.16.00", "11.19.02.16.00", "4.10.02.16.00"},
     SignatureSource::DirectFlash1000, kSignatureAA, {"645", "644"}},
    {{11}, kFlashFlagWordA, 2, 0x10,
     {"9.18.01.16.00", "12.01.02.16.00", "2.05.11.16.00", "4.08.11.16.00", "5.13.11.16.00"},
     SignatureSource::DirectFlash1000, kSignatureAA, {"751"}},
    {{12}, kFlashFlagWordB, 3, 0x01, {"49.48.48.48", "49.48.48.49"}, SignatureSource::Kind12,
     kSignatureAA, {"735"}},
    {{13, 15}, kFlashFlagWordA, 2, 0x01, {"2.00.00", "0.160.144"}, SignatureSource::BlockFlash4000,
     kSignatureVR, {}},
};

const FirmwareCheck* CheckOf(std::uint8_t kind) {
    for (const FirmwareCheck& check : kFirmwareChecks) {
        if (std::find(check.kinds.begin(), check.kinds.end(), kind) != check.kinds.end()) {
            return &check;
        }
    }
    return nullptr;
}

bool SignatureMatches(const std::uint8_t* block, const FirmwareCheck& check, std::uint8_t kind) {
    if (!std::equal(check.signature.begin(), check.signature.end(), block)) return false;
    if (check.codes.empty()) {
        const char* code = ChipKindInfo(kind).code;
        return code != nullptr && std::memcmp(block + 4, code, 3) == 0;
    }
    return std::any_of(check.codes.begin(), check.codes.end(),
                       [block](const char* code) { return std::memcmp(block + 4, code, 3) == 0; });
}

// Reads the 10-byte signature block from the kind's source.
bool ReadSignature(const std::string& path, SignatureSource source, std::uint8_t* block10) {
    std::vector<std::uint8_t> buffer(1024, 0);
    switch (source) {
        case SignatureSource::BridgeMemoryC000:
            return ReadBridgeMemory(path, block10, kFirmwareSignature, 10) != 0;
        case SignatureSource::DirectFlash1000:
            if (ReadFlashDirect(path, 0x1000, buffer.data(), 1024) == 0) return false;
            std::memcpy(block10, buffer.data(), 10);
            return true;
        case SignatureSource::BlockFlash4000:
            if (ReadFlashData(path, 0x4000, buffer.data(), 1024) == 0) return false;
            std::memcpy(block10, buffer.data(), 10);
            return true;
        case SignatureSource::Kind12:
            if (ReadFlashDirect(path, 0xBC00, buffer.data(), 1024) == 0) return false;
            std::memcpy(block10, buffer.data() + 1008, 10);  // flash address 0xBFF0
            return true;
    }
    return false;
}

}  // namespace

int IsFlashFirmwareActive(const std::string& path, std::uint8_t chipKind,
                          const std::string& versionText, int flashTypeCode) {
    const FirmwareCheck* check = CheckOf(chipKind);
    if (check == nullptr) return 1;

    std::uint8_t flags[4] = {};
    if (ReadBridgeMemory(path, flags, check->flagWord, sizeof flags) == 0) return 0;
    if ((flags[check->flagByte] & check->flagMask) == 0) return 0;
    for (const char* internal : check->internalVersions) {
        if (versionText == internal) return 0;
    }

    if (check->source == SignatureSource::Kind12) {
        if (flashTypeCode == 0) return 1;
        std::uint8_t status[20] = {};
        if (GetBridgeStatus(path, status, sizeof status) != 0) return status[19];
    }
    std::uint8_t block[10] = {};
    if (!ReadSignature(path, check->source, block)) return 0;
    return SignatureMatches(block, *check, chipKind) ? 1 : 0;
}

}  // namespace v62x
