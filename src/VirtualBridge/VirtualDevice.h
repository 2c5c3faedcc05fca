// A virtual device: a bridge of the family (its identification answers,
// status record and 64 KiB of bridge memory), or an ordinary disk that is no
// bridge and rejects vendor commands with CHECK CONDITION / ILLEGAL REQUEST.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "IDEAccess/Host.h"

namespace v62x::sim {

// Addresses in the 64 KiB bridge memory that the tool reads.
namespace bridge_memory {
constexpr std::uint16_t kScratch = 0x506A;       // one byte the tool writes and reads back
constexpr std::uint16_t kFlashMode = 0x505E;     // 4 bytes: byte 1 == 0 and byte 2 == 1 in flash mode
constexpr std::uint16_t kFlagWordA = 0x7038;     // flag word
constexpr std::uint16_t kFlagWordB = 0x70F0;     // flag word
constexpr std::uint16_t kSignature = 0xC000;     // firmware signature
constexpr std::uint16_t kRevisionReg = 0xFDB0;   // 751 chip: byte 1 >= 0xB4 on revision 5
constexpr std::size_t kSize = 0x10000;
}  // namespace bridge_memory

// Bytes the bridge memory holds at power-up, at one address.
struct MemoryPreset {
    std::uint16_t address = 0;
    std::vector<std::uint8_t> bytes;
};

// What a bridge answers to the identification commands. Everything a chip
// of a kind says about itself is here; the kind is never stored.
struct BridgeAnswers {
    // Bytes 36..39 of the INQUIRY answer (tag letter 0x76 and chip code);
    // absent on bridges that do not carry it.
    std::optional<std::array<std::uint8_t, 4>> inquiryTag;
    std::array<std::uint8_t, 2> chipIdWord{};
    // The chip information record (16 bytes) and how many bytes the bridge
    // delivers (12 or 16); absent: the request is rejected.
    std::optional<std::array<std::uint8_t, 16>> chipInfo;
    std::uint32_t chipInfoLength = 16;
    // The chip tag (at least 8 bytes); absent: the request is rejected.
    std::optional<std::vector<std::uint8_t>> chipTag;
    // The bridge status record (byte 8 is what the status command returns).
    std::vector<std::uint8_t> statusRecord = std::vector<std::uint8_t>(32, 0);
    // Bridge memory contents at power-up (everything else reads 0).
    std::vector<MemoryPreset> memory;
};

// Variants a real chip of a kind may come in.
struct BridgeVariant {
    bool inquiryTag = false;         // code in INQUIRY bytes 36..39
    bool code644 = false;            // 644 instead of 645 for kinds 8 and 9
    std::uint32_t chipInfoLength = 16;
    bool stuck506A = false;          // bridge byte 0x506A reads 1 whatever is written
    std::uint8_t versionMajor = 1;   // firmware version numbers in the record
    std::uint8_t versionMinor = 7;
    // Kind 17 only: a 623 chip whose information record carries the marker
    // and the chip text "623" plus its revision digit, instead of the older
    // record without the marker (which can only report revision 0).
    bool chipText623 = false;
};

// The answers a real chip of `kind` (1..20) and `revision` gives. Returns
// false with a reason when no chip of the family can identify as that
// kind/revision pair.
bool AnswersForKind(int kind, int revision, const BridgeVariant& variant, BridgeAnswers& out,
                    std::string& why);

// False with a reason when no chip of the family identifies as `kind` at
// all (kind 9, kinds outside 1..20), whatever its revision.
bool KindIsReachable(int kind, std::string& why);

struct DeviceConfig {
    std::string path;  // empty: assigned by the host
    DeviceClass cls = DeviceClass::Disk;
    Bus bus = Bus::Usb;
    std::string vendor = "Velmora ";           // INQUIRY bytes 8..15
    std::string product = "External Disk   ";  // INQUIRY bytes 16..31
    std::string productRevision = "0100";      // INQUIRY bytes 32..35
    bool isBridge = true;
    BridgeAnswers answers;
    bool stuck506A = false;
    std::vector<std::string> mountPoints;  // volumes mounted from this disk
    bool permissionDenied = false;         // the host refuses to open it (EACCES)
};

// A bridge configuration for a chip of `kind` and `revision`: the answers of
// AnswersForKind and the variant's stuck scratch byte; path, class, bus and
// INQUIRY strings keep their defaults. False with a reason as AnswersForKind.
bool MakeBridgeConfig(int kind, int revision, const BridgeVariant& variant, DeviceConfig& out,
                      std::string& why);

class VirtualDevice {
public:
    explicit VirtualDevice(DeviceConfig config);

    const DeviceConfig& config() const { return config_; }
    const std::string& path() const { return config_.path; }
    void setPath(const std::string& path) { config_.path = path; }

    // Runs one CDB against the device as the disk would (no fault injection,
    // no open checks). data/length are the request's transfer buffer.
    // Known: TEST UNIT READY, INQUIRY and, on a bridge, the vendor commands;
    // anything else ends with CHECK CONDITION, ILLEGAL REQUEST, 20/00. A data
    // phase offered against the command's direction fails at transport level
    // (completed false, EIO), as the storage transport gives up on it.
    HostReply Execute(const std::uint8_t* cdb, std::size_t cdbLength, DataDirection direction,
                      std::uint8_t* data, std::uint32_t length);

    // Vendor mode as the last vendor-mode command left it (off at power-up).
    bool vendorMode() const { return vendorMode_; }
    // The bridge memory; a stuck scratch byte keeps bit 0 set whatever is
    // written through Execute and reads with bit 0 set.
    std::array<std::uint8_t, 0x10000>& memory() { return memory_; }

private:
    DeviceConfig config_;
    bool vendorMode_ = false;
    std::array<std::uint8_t, 0x10000> memory_{};

    HostReply Inquiry(const std::uint8_t* cdb, DataDirection direction, std::uint8_t* data,
                      std::uint32_t length) const;
    HostReply BridgeCommand(const std::uint8_t* cdb, DataDirection direction, std::uint8_t* data,
                            std::uint32_t length);
};

}  // namespace v62x::sim
