// Serial (SPI) flash chips as their datasheets describe them, and the model
// of one chip on the bridge's serial bus.
//
// The model works one chip-select cycle at a time: the bytes clocked into
// the chip and the number of bytes clocked after them, with the effect
// (program, erase, status write, latch changes) taking place when chip
// select rises. What a real chip refuses, the model refuses: programming
// only clears bits, an erase sets its whole unit to 0xFF, a program, erase
// or status write without the write-enable latch does nothing, and a busy
// chip ignores everything except read-status until its datasheet time has
// passed on the virtual clock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "VirtualBridge/FlashOperation.h"
#include "VirtualBridge/StuckBits.h"
#include "VirtualBridge/VirtualClock.h"

namespace v62x::sim {

// One erase opcode and what it erases.
struct EraseUnit {
    std::uint8_t opcode = 0;
    std::uint32_t size = 0;    // bytes; the unit holding the address is erased
    std::uint32_t busyUs = 0;  // typical erase time
};

// SST auto-address-increment programming: none, byte-wise with 0xAF (the
// older parts) or word-wise with 0xAD (the newer ones).
enum class AaiKind { None, Byte, Word };

// What enables a write-status (0x01).
enum class StatusWriteEnable {
    Latch,           // the write-enable latch (0x06)
    EwsrOrLatch,     // 0x50 immediately before it, or the write-enable latch
    EwsrOnly,        // 0x50 immediately before it
};

struct SerialFlashPart {
    std::string name{};
    int typeCode = 0;        // the maker's flash type code (1 PMC ... 10 SANYO)
    std::uint32_t size = 0;  // bytes, a power of two

    // Identification answers; empty where the part does not know the opcode
    // (the bus then stays at 0xFF). Each answer repeats while clocking goes on.
    std::vector<std::uint8_t> jedecId{};  // 0x9F, from the byte after the opcode
    std::vector<std::uint8_t> id90{};     // 0x90, after 3 address bytes; address bit 0 set starts at the second byte
    std::vector<std::uint8_t> idAB{};     // 0xAB, after 3 dummy (or address) bytes
    bool idABTakesAddress = false;      // 0xAB is the same address-driven read-ID as 0x90
    std::vector<std::uint8_t> id15{};     // 0x15, from the byte after the opcode

    std::vector<EraseUnit> eraseUnits{};  // ascending size
    std::vector<std::uint8_t> chipEraseOps{};
    std::uint32_t chipEraseUs = 0;

    std::uint32_t pageSize = 256;   // page program (0x02) wraps inside its page
    std::uint32_t programUs = 0;    // busy after one page program (or one byte program)
    bool singleByteProgram = false; // 0x02 programs one byte; further data bytes are ignored

    AaiKind aai = AaiKind::None;
    std::uint32_t aaiUs = 0;        // busy after each byte or word
    bool aaiStatusBit = false;      // status bit 6 reads 1 while auto-address-increment runs

    StatusWriteEnable statusWrite = StatusWriteEnable::Latch;
    std::uint32_t writeStatusUs = 0;
    int protectBits = 2;            // block-protect bits, from status bit 2 up
    std::uint32_t protectBase = 0;  // bytes at the top of the array protected by BP = 1; doubles per step
    bool statusVolatile = false;    // the protection bits come up as powerUpStatus at every power-up
    std::uint8_t powerUpStatus = 0; // protection and bit-7 bits as delivered or at power-up

    // Write-enable, write-disable, erase and write-status execute only when
    // chip select rises right after their last byte.
    bool exactLength = false;
};

// The parts the simulator knows, with their datasheet facts.
const std::vector<SerialFlashPart>& SerialFlashCatalogue();
// Case-insensitive lookup by part name; null when unknown.
const SerialFlashPart* FindSerialFlashPart(const std::string& name);

// Status register bits shared by all parts.
namespace flash_status {
constexpr std::uint8_t kBusy = 0x01;
constexpr std::uint8_t kWriteEnable = 0x02;
constexpr std::uint8_t kAai = 0x40;
}  // namespace flash_status

class SerialFlash {
public:
    // A chip straight after power-up, every byte `fill`.
    SerialFlash(SerialFlashPart part, const VirtualClock& clock, std::uint8_t fill = 0xFF);

    const SerialFlashPart& part() const { return part_; }

    // One chip-select cycle: `out` is clocked into the chip, then `readCount`
    // more bytes while the master holds its output low (0x00). Returns what
    // the chip drives during those last `readCount` bytes; 0xFF where it
    // drives nothing (the bus floats high). Takes effect when chip select
    // rises at the end.
    std::vector<std::uint8_t> Transact(const std::vector<std::uint8_t>& out, std::size_t readCount);

    // The array; writing it directly bypasses the chip (image loading).
    std::vector<std::uint8_t>& contents() { return contents_; }
    const std::vector<std::uint8_t>& contents() const { return contents_; }

    // The status register as a read-status would read it now.
    std::uint8_t Status() const;
    bool Busy() const;

    // Power removed and restored: latch, auto-address-increment and a
    // running operation are gone (an erase or program still busy is left
    // partly done, see LeaveTorn); parts with power-up protection come up
    // protected again.
    void PowerUp();

    // Faults.
    // The bit reads `value` from now on whatever is programmed or erased.
    void AddStuckBit(std::uint32_t address, int bit, bool value) { stuck_.Add(contents_, address, bit, value); }
    // The chip reports busy and ignores commands from now on.
    void SetNeverReady(bool never) { neverReady_ = never; }
    // Write-enable (0x06) no longer sets the latch.
    void SetWriteEnableNeverSets(bool never) { welNeverSets_ = never; }

private:
    SerialFlashPart part_;
    const VirtualClock& clock_;
    std::vector<std::uint8_t> contents_;
    std::uint8_t statusBits_ = 0;  // protection bits and bit 7
    bool wel_ = false;
    bool latchUntilReady_ = false;  // the last operation cleared the latch at its end
    bool ewsrArmed_ = false;
    bool aaiActive_ = false;
    std::uint32_t aaiNext_ = 0;
    std::uint64_t busyUntilUs_ = 0;
    RunningFlashOperation running_;  // the last erase or program
    bool neverReady_ = false;
    bool welNeverSets_ = false;
    StuckBits stuck_;

    void Execute(const std::vector<std::uint8_t>& s, std::vector<std::uint8_t>& in);
    // The cycle while auto-address-increment runs.
    void ExecuteDuringAai(const std::vector<std::uint8_t>& s, std::vector<std::uint8_t>& in);
    // The opcodes every part knows; false for any other.
    bool ExecuteStandard(const std::vector<std::uint8_t>& s, std::vector<std::uint8_t>& in, bool ewsrBefore);
    // The part's own programs and erases; any other opcode does nothing.
    void ExecutePartOwn(const std::vector<std::uint8_t>& s);
    void ReadArray(const std::vector<std::uint8_t>& s, std::vector<std::uint8_t>& in) const;
    void WriteStatus(const std::vector<std::uint8_t>& s, bool ewsrBefore);
    void PageProgram(const std::vector<std::uint8_t>& s);
    void Erase(const EraseUnit& unit, const std::vector<std::uint8_t>& s);
    void ChipErase(const std::vector<std::uint8_t>& s);
    void AaiStart(const std::vector<std::uint8_t>& s);
    void AaiContinue(const std::vector<std::uint8_t>& s);
    void AaiProgram(const std::vector<std::uint8_t>& s, std::size_t at);

    int ProtectLevel() const;
    bool Protected(std::uint32_t address) const;
    std::uint32_t Address(const std::vector<std::uint8_t>& s) const;
    void ProgramByte(std::uint32_t address, std::uint8_t value);
    void Remember(std::uint32_t base, std::uint32_t size);
    void StartBusy(std::uint32_t us);
    void StartWithLatchCleared(std::uint32_t us);
    void FillStatus(std::vector<std::uint8_t>& in) const;
};

}  // namespace v62x::sim
