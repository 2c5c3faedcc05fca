// A virtual device: a bridge of the family (its identification answers,
// status record and 64 KiB of bridge memory), or an ordinary disk that is no
// bridge and rejects vendor commands with CHECK CONDITION / ILLEGAL REQUEST.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "IDEAccess/Host.h"
#include "VirtualBridge/AttachedDisk.h"
#include "VirtualBridge/BridgeFirmware.h"
#include "VirtualBridge/FaultRule.h"
#include "VirtualBridge/ParallelFlash.h"
#include "VirtualBridge/SerialFlash.h"
#include "VirtualBridge/VirtualClock.h"

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

// The bridge's firmware store: a serial flash chip, or the parallel flash
// behind the internal-ROM loader; neither: the bridge has no flash and
// rejects the flash commands.
struct FlashConfig {
    std::optional<SerialFlashPart> serial;
    std::optional<ParallelFlashPart> parallel;
    std::uint8_t fill = 0xFF;          // every byte at delivery
    std::vector<std::uint8_t> image;   // then these bytes from address 0
};

// The largest data phase one pass-through request may carry unless the
// description says otherwise: the kernel's USB storage driver on a USB 2.0
// bridge passes at most 120 KiB (max_hw_sectors_kb); a larger SG_IO request
// fails with EINVAL and never reaches the device.
constexpr std::uint32_t kMaxRequestBytes = 120 * 1024;

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
    // The hard disk behind the bridge, or the medium of an ordinary disk;
    // absent: no medium (the disk commands end with NOT READY, 3A/00).
    std::optional<DiskConfig> disk;
    // File that keeps the device's firmware store between runs (empty: none);
    // SimulatedHost::AttachImage loads and saves it.
    std::string image;
    FlashConfig flash;
    // The internal code the bridge's silicon carries: it decides at every
    // start whether a firmware in the flash runs (BridgeFirmware.h).
    // MakeBridgeConfig fills it from the chip; None: no flash firmware ever runs.
    FirmwareFamily firmwareFamily = FirmwareFamily::None;
    // The largest data phase the storage driver passes in one request
    // (maxtransfer=); the host refuses larger requests as the kernel does.
    std::uint32_t maxTransfer = kMaxRequestBytes;
    // Faults the host injects into the device's commands from the start
    // (fault= of the description); the host fills in the device's path.
    std::vector<FaultRule> faults;
};

// A bridge configuration for a chip of `kind` and `revision`: the answers of
// AnswersForKind, the variant's stuck scratch byte and the chip's firmware
// family; path, class, bus, INQUIRY strings and flash keep their defaults. False with a reason as AnswersForKind.
bool MakeBridgeConfig(int kind, int revision, const BridgeVariant& variant, DeviceConfig& out,
                      std::string& why);

// Puts the catalogue part `name` (serial or parallel, case-insensitive) on
// the bridge, replacing any other; "none" removes the flash. False with the
// known names when there is no such part.
bool SetFlashPart(FlashConfig& flash, const std::string& name, std::string& why);
// The part a bridge of `kind` on `bus` usually carries; empty for the kinds
// that keep their firmware on the attached disk (5, 14) and for kind 0.
std::string DefaultFlashPartForKind(int kind, Bus bus);

// What the bridge firmware keeps about its flash in RAM; a restart loses it.
struct BridgeFlashState {
    int detectedType = 0;   // flash type code found at power-up from the JEDEC answer
    int flashType = 0;      // in effect: detected, or given with FF 04 24
    std::uint8_t chipEraseOp = 0xC7;
    std::uint8_t blockEraseOp = 0xD8;
    std::uint8_t programOp = 0x02;
    std::uint8_t sectorEraseOp = 0x20;
    std::uint32_t pageSize = 256;
    bool updatePrepared = false;     // FF 04 25
    bool internalRom = false;        // FF 04 05
    std::optional<std::array<std::uint8_t, 18>> romEraseSequence;  // FF 04 04
    bool cycleOpen = false;          // a serial transaction waits for its data phase
    std::vector<std::uint8_t> cycle; // bytes clocked so far in it
    // The internal ROM programs the parallel flash after FF 04 02 returns.
    std::vector<std::uint8_t> romData;
    std::array<std::uint16_t, 3> romCycleAddress{};
    std::array<std::uint8_t, 3> romCycleData{};
    std::size_t romNext = 0;         // next byte to program
    std::uint64_t romNextUs = 0;     // when the ROM code gets to it
};

class VirtualDevice {
public:
    // `clock`: the host's virtual clock; null gives the device a clock of its own.
    explicit VirtualDevice(DeviceConfig config, VirtualClock* clock = nullptr);

    const DeviceConfig& config() const { return config_; }
    const std::string& path() const { return config_.path; }
    void setPath(const std::string& path) { config_.path = path; }

    // Runs one CDB against the device as the disk would (no fault injection,
    // no open checks). data/length are the request's transfer buffer.
    // Known: TEST UNIT READY, INQUIRY, the disk commands of BridgeDiskPaths.h
    // and, on a bridge, the vendor commands; anything else ends with CHECK
    // CONDITION, ILLEGAL REQUEST, 20/00. A data phase offered against the
    // command's direction fails at transport level (completed false, EIO), as
    // the storage transport gives up on it.
    HostReply Execute(const std::uint8_t* cdb, std::size_t cdbLength, DataDirection direction,
                      std::uint8_t* data, std::uint32_t length);

    // Vendor mode as the last vendor-mode command left it (off at power-up).
    bool vendorMode() const { return vendorMode_; }
    // The bridge memory; a stuck scratch byte keeps bit 0 set whatever is
    // written through Execute and reads with bit 0 set.
    std::array<std::uint8_t, 0x10000>& memory() { return memory_; }
    // The attached disk; null when the device has none.
    AttachedDisk* disk() { return disk_ ? &*disk_ : nullptr; }

    // The flash bytes (serial or parallel chip); null without flash.
    std::vector<std::uint8_t>* FlashContents();
    // The flash chips, for faults and inspection; null when absent.
    SerialFlash* serialFlash() { return serialFlash_.get(); }
    ParallelFlash* parallelFlash() { return parallelFlash_.get(); }
    const BridgeFlashState& flashState() const { return flash_; }
    VirtualClock& clock() { return *clock_; }

    // The bridge restarts (FF 04 26 56 52 asks for it): vendor mode, bridge
    // memory, the status record and the flash driver's settings come back as
    // at power-up, the firmware detects its flash again and the internal code
    // decides anew whether a firmware from the flash runs; the flash chip
    // keeps its state.
    void RestartBridge();
    // True once after a command asked the bridge to restart; the host then
    // shows the device leaving and coming back.
    bool TakeRestartRequest() { return std::exchange(restartRequested_, false); }
    // Power removed and restored: a restart, and the flash chip powers up
    // too; an erase or program it was busy with stays partly done, and the
    // ROM code's programming stops where it had got to.
    void PowerCycle();

private:
    DeviceConfig config_;
    bool vendorMode_ = false;
    std::array<std::uint8_t, 0x10000> memory_{};
    std::optional<AttachedDisk> disk_;
    std::unique_ptr<VirtualClock> ownClock_;
    VirtualClock* clock_ = nullptr;
    std::unique_ptr<SerialFlash> serialFlash_;
    std::unique_ptr<ParallelFlash> parallelFlash_;
    BridgeFlashState flash_;
    bool restartRequested_ = false;
    // The status record as the bridge reports it (FF 04 A0): the chip's own
    // bytes, and what the firmware it started adds (BridgeFirmware.cpp).
    std::vector<std::uint8_t> status_;

    // The internal code's start (BridgeFirmware.cpp): the status record as
    // at power-up, then a firmware of the bridge's family from the flash
    // runs when it is valid and marks itself in memory and status.
    void StartBridgeFirmware();

    // The flash paths (BridgeFlashPaths.cpp): nullopt when the CDB is none
    // of the flash commands.
    void InitFlash();
    // Lets the internal ROM code's background programming of the parallel
    // flash catch up with the clock: every byte it got to by `nowUs`.
    void CatchUpRomCode(std::uint64_t nowUs);
    std::optional<HostReply> FlashCommand(const std::uint8_t* cdb, DataDirection direction,
                                          std::uint8_t* data, std::uint32_t length);

    HostReply Inquiry(const std::uint8_t* cdb, DataDirection direction, std::uint8_t* data,
                      std::uint32_t length) const;
    HostReply BridgeCommand(const std::uint8_t* cdb, DataDirection direction, std::uint8_t* data,
                            std::uint32_t length);
};

}  // namespace v62x::sim
