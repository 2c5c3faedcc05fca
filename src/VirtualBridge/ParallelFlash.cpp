#include "VirtualBridge/ParallelFlash.h"

#include <algorithm>
#include <cctype>
#include <utility>

namespace v62x::sim {

const std::vector<ParallelFlashPart>& ParallelFlashCatalogue() {
    // Typical times from the datasheets, in microseconds.
    static const std::vector<ParallelFlashPart> parts = {
        // Decodes A14..A0 for its command cycles at 5555/2AAA; chip erase only.
        {.name = "AT49BV512",
         .typeIndex = 0,
         .size = 0x10000,
         .decodeMask = 0x7FFF,
         .firstCycle = 0x5555,
         .secondCycle = 0x2AAA,
         .byteProgramUs = 30,
         .chipEraseUs = 10'000'000,
         .manufacturerId = 0x1F,
         .deviceId = 0x03},
        // Decodes only A10..A0: its cycles are 555/2AA, and 5555/2AAA reach
        // it as the same addresses.
        {.name = "Pm39LV512",
         .typeIndex = 1,
         .size = 0x10000,
         .decodeMask = 0x07FF,
         .firstCycle = 0x0555,
         .secondCycle = 0x02AA,
         .byteProgramUs = 9,
         .chipEraseUs = 70'000,
         .sectorSize = 0x1000,
         .sectorEraseUs = 55'000,
         .manufacturerId = 0x9D,
         .deviceId = 0x1B},
        // Decodes A14..A0 at 5555/2AAA; 4 KiB sectors.
        {.name = "SST39LF512",
         .typeIndex = 2,
         .size = 0x10000,
         .decodeMask = 0x7FFF,
         .firstCycle = 0x5555,
         .secondCycle = 0x2AAA,
         .byteProgramUs = 14,
         .chipEraseUs = 70'000,
         .sectorSize = 0x1000,
         .sectorEraseUs = 18'000,
         .manufacturerId = 0xBF,
         .deviceId = 0xD4},
    };
    return parts;
}

const ParallelFlashPart* FindParallelFlashPart(const std::string& name) {
    const auto lower = [](std::string text) {
        for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return text;
    };
    for (const ParallelFlashPart& part : ParallelFlashCatalogue()) {
        if (lower(part.name) == lower(name)) return &part;
    }
    return nullptr;
}

ParallelFlash::ParallelFlash(ParallelFlashPart part, const VirtualClock& clock, std::uint8_t fill)
    : part_(std::move(part)), clock_(clock), contents_(part_.size, fill) {}

void ParallelFlash::PowerUp() {
    step_ = Step::Array;
    idMode_ = false;
    LeaveTorn(contents_, running_, clock_.NowUs());
    busyUntilUs_ = 0;
}

void ParallelFlash::Remember(std::uint32_t base, std::uint32_t size, std::uint64_t atUs) {
    running_.base = base;
    running_.before.assign(contents_.begin() + base, contents_.begin() + base + size);
    running_.startUs = atUs;
}

void ParallelFlash::Write(std::uint32_t address, std::uint8_t data, std::uint64_t atUs) {
    if (BusyAt(atUs)) return;  // the embedded algorithm ignores the bus
    const auto decoded = static_cast<std::uint16_t>(address & part_.decodeMask);
    const bool first = decoded == part_.firstCycle;
    const bool second = decoded == part_.secondCycle;
    const Step step = step_;
    step_ = Step::Array;

    switch (step) {
    case Step::Array:
        if (data == 0xF0) {
            idMode_ = false;  // software reset / identification exit
        } else if (first && data == 0xAA) {
            step_ = Step::Unlocked1;
        }
        return;
    case Step::Unlocked1:
        if (second && data == 0x55) step_ = Step::Unlocked2;
        return;
    case Step::Unlocked2:
        if (!first) return;
        if (data == 0xA0) step_ = Step::ProgramArmed;
        if (data == 0x80) step_ = Step::Erase1;
        if (data == 0x90) idMode_ = true;
        if (data == 0xF0) idMode_ = false;
        return;
    case Step::ProgramArmed: {
        const std::uint32_t at = address % part_.size;
        Remember(at, 1, atUs);
        contents_[at] &= data;  // programming only clears bits
        stuck_.Apply(contents_, at);
        programmedData_ = data;
        erasing_ = false;
        busyUntilUs_ = atUs + part_.byteProgramUs;
        running_.endUs = busyUntilUs_;
        return;
    }
    case Step::Erase1:
        if (first && data == 0xAA) step_ = Step::Erase2;
        return;
    case Step::Erase2:
        if (second && data == 0x55) step_ = Step::Erase3;
        return;
    case Step::Erase3:
        if (first && data == 0x10) {
            Remember(0, part_.size, atUs);
            std::fill(contents_.begin(), contents_.end(), 0xFF);
            stuck_.ApplyWithin(contents_, 0, part_.size);
            erasing_ = true;
            busyUntilUs_ = atUs + part_.chipEraseUs;
            running_.endUs = busyUntilUs_;
        } else if (data == 0x30 && part_.sectorSize != 0) {
            const std::uint32_t base = (address % part_.size) / part_.sectorSize * part_.sectorSize;
            Remember(base, part_.sectorSize, atUs);
            std::fill_n(contents_.begin() + base, part_.sectorSize, 0xFF);
            stuck_.ApplyWithin(contents_, base, part_.sectorSize);
            erasing_ = true;
            busyUntilUs_ = atUs + part_.sectorEraseUs;
            running_.endUs = busyUntilUs_;
        }
        return;
    }
}

std::uint8_t ParallelFlash::Read(std::uint32_t address, std::uint64_t atUs) {
    if (BusyAt(atUs)) {
        // Status polling: DQ7 is the complement of the programmed bit (0
        // while erasing), DQ6 toggles on every read.
        toggle_ = !toggle_;
        const std::uint8_t dq7 = erasing_ ? 0x00 : static_cast<std::uint8_t>(~programmedData_ & 0x80);
        return static_cast<std::uint8_t>(dq7 | (toggle_ ? 0x40 : 0x00));
    }
    if (idMode_) return (address & 1) != 0 ? part_.deviceId : part_.manufacturerId;
    return contents_[address % part_.size];
}

}  // namespace v62x::sim
