#include "VirtualBridge/SerialFlash.h"

#include <algorithm>
#include <cctype>
#include <utility>

namespace v62x::sim {
namespace {

constexpr std::uint8_t kWriteStatus = 0x01;
constexpr std::uint8_t kPageProgram = 0x02;
constexpr std::uint8_t kRead = 0x03;
constexpr std::uint8_t kWriteDisable = 0x04;
constexpr std::uint8_t kReadStatus = 0x05;
constexpr std::uint8_t kWriteEnable = 0x06;
constexpr std::uint8_t kFastRead = 0x0B;
constexpr std::uint8_t kAtmelReadId = 0x15;
constexpr std::uint8_t kEnableWriteStatus = 0x50;
constexpr std::uint8_t kReadId90 = 0x90;
constexpr std::uint8_t kJedecId = 0x9F;
constexpr std::uint8_t kReadIdAB = 0xAB;
constexpr std::uint8_t kAaiWord = 0xAD;
constexpr std::uint8_t kAaiByte = 0xAF;

constexpr std::uint8_t kBit7 = 0x80;

// Output of an answer that repeats, from stream byte `from` on.
void FillRepeating(std::vector<std::uint8_t>& in, std::size_t from,
                   const std::vector<std::uint8_t>& answer, std::size_t start) {
    if (answer.empty()) return;
    for (std::size_t i = from; i < in.size(); ++i) {
        in[i] = answer[(start + i - from) % answer.size()];
    }
}

// The part's auto-address-increment opcode, when it has that mode.
bool IsAaiOpcode(const SerialFlashPart& part, std::uint8_t op) {
    return (part.aai == AaiKind::Byte && op == kAaiByte) || (part.aai == AaiKind::Word && op == kAaiWord);
}

}  // namespace

SerialFlash::SerialFlash(SerialFlashPart part, const VirtualClock& clock, std::uint8_t fill)
    : part_(std::move(part)), clock_(clock), contents_(part_.size, fill) {
    statusBits_ = part_.powerUpStatus;
}

std::vector<std::uint8_t> SerialFlash::Transact(const std::vector<std::uint8_t>& out,
                                                std::size_t readCount) {
    std::vector<std::uint8_t> stream(out);
    stream.resize(out.size() + readCount, 0x00);
    std::vector<std::uint8_t> in(stream.size(), 0xFF);
    if (!stream.empty()) Execute(stream, in);
    return std::vector<std::uint8_t>(in.end() - static_cast<std::ptrdiff_t>(readCount), in.end());
}

bool SerialFlash::Busy() const { return neverReady_ || clock_.NowUs() < busyUntilUs_; }

std::uint8_t SerialFlash::Status() const {
    std::uint8_t status = statusBits_;
    if (Busy()) status |= flash_status::kBusy;
    // The latch reads set until the operation that clears it has finished.
    if (wel_ || (latchUntilReady_ && Busy())) status |= flash_status::kWriteEnable;
    if (aaiActive_ && part_.aaiStatusBit) status |= flash_status::kAai;
    return status;
}

void SerialFlash::PowerUp() {
    wel_ = false;
    latchUntilReady_ = false;
    ewsrArmed_ = false;
    aaiActive_ = false;
    LeaveTorn(contents_, running_, clock_.NowUs());
    busyUntilUs_ = 0;
    if (part_.statusVolatile) statusBits_ = part_.powerUpStatus;
}

void SerialFlash::ProgramByte(std::uint32_t address, std::uint8_t value) {
    contents_[address] &= value;  // programming only clears bits
    stuck_.Apply(contents_, address);
}

// Keeps the unit's bytes before an erase or program changes them.
void SerialFlash::Remember(std::uint32_t base, std::uint32_t size) {
    running_.base = base;
    running_.before.assign(contents_.begin() + base, contents_.begin() + base + size);
    running_.startUs = clock_.NowUs();
}

void SerialFlash::StartBusy(std::uint32_t us) {
    busyUntilUs_ = clock_.NowUs() + us;
    running_.endUs = busyUntilUs_;
}

void SerialFlash::StartWithLatchCleared(std::uint32_t us) {
    wel_ = false;
    latchUntilReady_ = true;
    StartBusy(us);
}

std::uint32_t SerialFlash::Address(const std::vector<std::uint8_t>& s) const {
    const std::uint32_t address = (static_cast<std::uint32_t>(s[1]) << 16) |
                                  (static_cast<std::uint32_t>(s[2]) << 8) | s[3];
    // Address bits above the array are not decoded.
    return address & (part_.size - 1);
}

int SerialFlash::ProtectLevel() const {
    const int mask = (1 << part_.protectBits) - 1;
    return (statusBits_ >> 2) & mask;
}

bool SerialFlash::Protected(std::uint32_t address) const {
    const int level = ProtectLevel();
    if (level == 0) return false;
    std::uint64_t protectedBytes = part_.protectBase;
    for (int i = 1; i < level && protectedBytes < part_.size; ++i) protectedBytes *= 2;
    if (protectedBytes >= part_.size) return true;
    return address >= part_.size - protectedBytes;
}

void SerialFlash::FillStatus(std::vector<std::uint8_t>& in) const {
    const std::uint8_t status = Status();
    for (std::size_t i = 1; i < in.size(); ++i) in[i] = status;
}

void SerialFlash::Execute(const std::vector<std::uint8_t>& s, std::vector<std::uint8_t>& in) {
    const std::uint8_t op = s[0];
    const bool ewsrBefore = ewsrArmed_;
    ewsrArmed_ = false;  // "immediately before": any cycle ends it

    if (Busy()) {
        // An erase or program is running: only read-status is heard.
        if (op == kReadStatus) FillStatus(in);
        return;
    }
    if (aaiActive_) {
        ExecuteDuringAai(s, in);
        return;
    }
    if (!ExecuteStandard(s, in, ewsrBefore)) ExecutePartOwn(s);
}

void SerialFlash::ExecuteDuringAai(const std::vector<std::uint8_t>& s, std::vector<std::uint8_t>& in) {
    // Auto-address-increment accepts only its own opcode, read-status and
    // write-disable; everything else is ignored.
    const std::uint8_t op = s[0];
    if (op == kReadStatus) {
        FillStatus(in);
    } else if (op == kWriteDisable) {
        aaiActive_ = false;
        wel_ = false;
    } else if (IsAaiOpcode(part_, op)) {
        AaiContinue(s);
    }
}

bool SerialFlash::ExecuteStandard(const std::vector<std::uint8_t>& s, std::vector<std::uint8_t>& in,
                                  bool ewsrBefore) {
    const std::uint8_t op = s[0];
    const std::size_t n = s.size();
    switch (op) {
    case kReadStatus:
        FillStatus(in);
        return true;
    case kWriteEnable:
        if (part_.exactLength && n != 1) return true;
        if (!welNeverSets_) wel_ = true;
        return true;
    case kWriteDisable:
        if (part_.exactLength && n != 1) return true;
        wel_ = false;
        return true;
    case kEnableWriteStatus:
        if (part_.statusWrite != StatusWriteEnable::Latch) ewsrArmed_ = n == 1;
        return true;
    case kWriteStatus:
        WriteStatus(s, ewsrBefore);
        return true;
    case kRead:
    case kFastRead:
        ReadArray(s, in);
        return true;
    case kJedecId:
        FillRepeating(in, 1, part_.jedecId, 0);
        return true;
    case kReadId90:
        if (n > 4) FillRepeating(in, 4, part_.id90, s[3] & 0x01);
        return true;
    case kReadIdAB:
        if (n > 4) FillRepeating(in, 4, part_.idAB, part_.idABTakesAddress ? (s[3] & 0x01) : 0);
        return true;
    case kAtmelReadId:
        FillRepeating(in, 1, part_.id15, 0);
        return true;
    case kPageProgram:
        PageProgram(s);
        return true;
    default:
        return false;
    }
}

void SerialFlash::ReadArray(const std::vector<std::uint8_t>& s, std::vector<std::uint8_t>& in) const {
    const std::size_t header = s[0] == kRead ? 4 : 5;
    if (s.size() <= header) return;
    const std::uint32_t start = Address(s);
    for (std::size_t i = header; i < s.size(); ++i) {
        in[i] = contents_[(start + (i - header)) % part_.size];  // wraps at the end
    }
}

void SerialFlash::ExecutePartOwn(const std::vector<std::uint8_t>& s) {
    const std::uint8_t op = s[0];
    if (IsAaiOpcode(part_, op)) {
        AaiStart(s);
        return;
    }
    for (const EraseUnit& unit : part_.eraseUnits) {
        if (unit.opcode == op) {
            Erase(unit, s);
            return;
        }
    }
    if (std::find(part_.chipEraseOps.begin(), part_.chipEraseOps.end(), op) != part_.chipEraseOps.end()) {
        ChipErase(s);
    }
    // Any other opcode is unknown to the part: nothing happens.
}

void SerialFlash::WriteStatus(const std::vector<std::uint8_t>& s, bool ewsrBefore) {
    if (s.size() < 2) return;
    if (part_.exactLength && s.size() != 2) return;
    bool enabled = false;
    switch (part_.statusWrite) {
    case StatusWriteEnable::Latch:
        enabled = wel_;
        break;
    case StatusWriteEnable::EwsrOrLatch:
        enabled = wel_ || ewsrBefore;
        break;
    case StatusWriteEnable::EwsrOnly:
        enabled = ewsrBefore;
        break;
    }
    if (!enabled) return;
    const auto protectMask = static_cast<std::uint8_t>(((1 << part_.protectBits) - 1) << 2);
    statusBits_ = static_cast<std::uint8_t>(s[1] & (protectMask | kBit7));
    running_ = RunningFlashOperation{};  // the array is not touched
    StartWithLatchCleared(part_.writeStatusUs);
}

void SerialFlash::PageProgram(const std::vector<std::uint8_t>& s) {
    if (s.size() < 5 || !wel_) return;  // needs the address and at least one data byte
    const std::uint32_t address = Address(s);
    if (Protected(address)) return;
    if (part_.singleByteProgram) {
        Remember(address, 1);
        ProgramByte(address, s[4]);
        StartWithLatchCleared(part_.programUs);
        return;
    }
    // The address counter wraps inside the page; of more than a page of
    // data only the last page-size bytes stay latched.
    const std::uint32_t page = part_.pageSize;
    const std::uint32_t base = address - address % page;
    const std::uint32_t column = address % page;
    const std::size_t count = s.size() - 4;
    const std::size_t first = count > page ? count - page : 0;
    Remember(base, page);
    for (std::size_t i = first; i < count; ++i) {
        ProgramByte(base + static_cast<std::uint32_t>((column + i) % page), s[4 + i]);
    }
    StartWithLatchCleared(part_.programUs);
}

void SerialFlash::Erase(const EraseUnit& unit, const std::vector<std::uint8_t>& s) {
    if (s.size() < 4 || !wel_) return;
    if (part_.exactLength && s.size() != 4) return;
    const std::uint32_t base = Address(s) - Address(s) % unit.size;
    if (Protected(base + unit.size - 1)) return;  // protection covers the top of the array
    Remember(base, unit.size);
    for (std::uint32_t a = base; a < base + unit.size; ++a) contents_[a] = 0xFF;
    stuck_.ApplyWithin(contents_, base, unit.size);
    StartWithLatchCleared(unit.busyUs);
}

void SerialFlash::ChipErase(const std::vector<std::uint8_t>& s) {
    if (!wel_) return;
    if (part_.exactLength && s.size() != 1) return;
    if (ProtectLevel() != 0) return;  // not executed while any block is protected
    Remember(0, part_.size);
    std::fill(contents_.begin(), contents_.end(), 0xFF);
    stuck_.ApplyWithin(contents_, 0, part_.size);
    StartWithLatchCleared(part_.chipEraseUs);
}

void SerialFlash::AaiProgram(const std::vector<std::uint8_t>& s, std::size_t at) {
    const std::size_t width = part_.aai == AaiKind::Word ? 2 : 1;
    Remember(aaiNext_, static_cast<std::uint32_t>(width));
    for (std::size_t i = 0; i < width; ++i) ProgramByte(aaiNext_ + static_cast<std::uint32_t>(i), s[at + i]);
    aaiNext_ += static_cast<std::uint32_t>(width);
    StartBusy(part_.aaiUs);
    // There is no wrap: at the end of the array, or at a protected
    // address, the sequence ends and the latch is reset.
    if (aaiNext_ >= part_.size || Protected(aaiNext_)) {
        aaiActive_ = false;
        wel_ = false;
    }
}

void SerialFlash::AaiStart(const std::vector<std::uint8_t>& s) {
    const std::size_t width = part_.aai == AaiKind::Word ? 2 : 1;
    if (s.size() < 4 + width || !wel_) return;
    std::uint32_t address = Address(s);
    if (part_.aai == AaiKind::Word) address &= ~1U;
    if (Protected(address)) return;
    aaiActive_ = true;
    aaiNext_ = address;
    AaiProgram(s, 4);  // data bytes beyond the first byte or word are ignored
}

void SerialFlash::AaiContinue(const std::vector<std::uint8_t>& s) {
    const std::size_t width = part_.aai == AaiKind::Word ? 2 : 1;
    if (s.size() < 1 + width) return;
    AaiProgram(s, 1);
}

const SerialFlashPart* FindSerialFlashPart(const std::string& name) {
    const auto lower = [](std::string text) {
        for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return text;
    };
    const std::string wanted = lower(name);
    for (const SerialFlashPart& part : SerialFlashCatalogue()) {
        if (lower(part.name) == wanted) return &part;
    }
    return nullptr;
}

}  // namespace v62x::sim
