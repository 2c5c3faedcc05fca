// The three 512 Kbit parallel flash parts that sit behind the internal-ROM
// loader of the VR40621 family, and the model of one such chip on the
// bridge's parallel bus.
//
// A part hears its command cycles only at its own decoded address lines:
// the write of AA at the first cycle address, 55 at the second and then
// A0 (byte program) or 80 AA 55 10 (chip erase) at the first again. Any
// other write in the middle of a sequence returns the part to reading the
// array. A busy part ignores writes; reads then show the toggling status
// bits instead of the array.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "VirtualBridge/FlashOperation.h"
#include "VirtualBridge/StuckBits.h"
#include "VirtualBridge/VirtualClock.h"

namespace v62x::sim {

struct ParallelFlashPart {
    std::string name{};
    int typeIndex = 0;               // the row of the operator's parallel flash list
    std::uint32_t size = 0x10000;
    std::uint16_t decodeMask = 0;    // the address lines the command decoder looks at
    std::uint16_t firstCycle = 0;    // first (and third) command-cycle address, as decoded
    std::uint16_t secondCycle = 0;
    std::uint32_t byteProgramUs = 0;
    std::uint32_t chipEraseUs = 0;
    std::uint32_t sectorSize = 0;    // 0: the part has no sector erase (0x30)
    std::uint32_t sectorEraseUs = 0;
    std::uint8_t manufacturerId = 0; // software identification (0x90)
    std::uint8_t deviceId = 0;
};

// AT49BV512 (ATMEL), Pm39LV512 (PMC), SST39LF512 (SST), in the order of the
// operator's list.
const std::vector<ParallelFlashPart>& ParallelFlashCatalogue();
// Case-insensitive lookup by part name; null when unknown.
const ParallelFlashPart* FindParallelFlashPart(const std::string& name);

class ParallelFlash {
public:
    ParallelFlash(ParallelFlashPart part, const VirtualClock& clock, std::uint8_t fill = 0xFF);

    const ParallelFlashPart& part() const { return part_; }

    // One bus write or read cycle at virtual time `atUs` (the bridge's ROM
    // code may run ahead of the host's clock while it programs in the
    // background); the overloads without a time use the clock.
    void Write(std::uint32_t address, std::uint8_t data, std::uint64_t atUs);
    std::uint8_t Read(std::uint32_t address, std::uint64_t atUs);
    void Write(std::uint32_t address, std::uint8_t data) { Write(address, data, clock_.NowUs()); }
    std::uint8_t Read(std::uint32_t address) { return Read(address, clock_.NowUs()); }

    bool BusyAt(std::uint64_t atUs) const { return neverReady_ || atUs < busyUntilUs_; }
    bool Busy() const { return BusyAt(clock_.NowUs()); }
    // When the running operation ends (meaningless while never ready).
    std::uint64_t ReadyAtUs() const { return busyUntilUs_; }

    std::vector<std::uint8_t>& contents() { return contents_; }
    const std::vector<std::uint8_t>& contents() const { return contents_; }

    // Power removed and restored: back to reading the array; an erase or
    // program still busy is left partly done (see LeaveTorn).
    void PowerUp();

    // Faults, as for the serial parts.
    void AddStuckBit(std::uint32_t address, int bit, bool value) { stuck_.Add(contents_, address, bit, value); }
    void SetNeverReady(bool never) { neverReady_ = never; }

private:
    enum class Step { Array, Unlocked1, Unlocked2, ProgramArmed, Erase1, Erase2, Erase3 };

    ParallelFlashPart part_;
    const VirtualClock& clock_;
    std::vector<std::uint8_t> contents_;
    Step step_ = Step::Array;
    bool idMode_ = false;
    std::uint64_t busyUntilUs_ = 0;
    RunningFlashOperation running_;  // the last erase or program
    bool erasing_ = false;
    std::uint8_t programmedData_ = 0;
    bool toggle_ = false;
    bool neverReady_ = false;
    StuckBits stuck_;

    // Keeps the unit's bytes before an erase or program that starts at `atUs`.
    void Remember(std::uint32_t base, std::uint32_t size, std::uint64_t atUs);
};

}  // namespace v62x::sim
