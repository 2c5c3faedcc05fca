// The bridge firmware's flash paths: the internal-ROM loader that drives the
// parallel flash, the flash block commands and the direct read and write
// with which the firmware drives a serial flash itself, and the serial
// transactions it passes to the chip byte for byte.
//
// The bridge firmware knows only what a real one can know: the chip's JEDEC
// answer read once at power-up (0x9F; the flash type code it reports with
// FF 04 23), the opcodes and page size the host gives it (FF 04 24, FF 04 0F,
// FF 04 25 02) and, until then, the opcodes it uses for the maker it
// detected. Everything else the chip decides: an opcode the chip does not
// know does nothing, a program without the write-enable latch does nothing,
// and so on.
//
// Decisions where a real bridge leaves room:
// - Erase codes of the direct write (bits 0..2 of CDB byte 1): 1 erases the
//   small units (sector-erase opcode, stepped in 4 KiB) that cover the data,
//   2 the large units (block-erase opcode, stepped in 32 KiB), 3 the whole
//   chip; 0 and 4..7 erase nothing (the firmware compares the code with 1, 2
//   and 3 only). On the IEEE 1394 bridge, whose firmware erases 32 KiB halves
//   of its 64 KiB flash, code 1 uses the block-erase opcode.
// - Bit 7 of the direct write's mode (MXIC flash): opcodes C7 / D8 / 20 / 02
//   and 32-byte pages for that command.
// - A maker detected as SST (BF): the firmware clears the protection bits
//   (0x50, then 0x01 00) before it erases or programs, and programs byte by
//   byte with 0x02 unless it was given 0xAF or 0xAD (auto-address-increment).
// - The ROM loader's program command returns once the data has arrived; the
//   ROM code then programs byte by byte (three command cycles and the data
//   byte, then waiting for the part to finish) and reports busy until done.
// - Reads do not wait for a busy chip (the chip then ignores them and the
//   bus reads 0xFF); erases and programs wait for ready before they start and
//   the firmware gives up after 30 s of busy.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <limits>

#include "VirtualBridge/DeviceReplies.h"
#include "VirtualBridge/VirtualDevice.h"

namespace v62x::sim {
namespace {

using Cdb = std::array<std::uint8_t, 16>;

constexpr std::uint64_t kSpiBytesPerUs = 2;               // the bridge clocks its serial bus at 16 MHz
constexpr std::uint64_t kBusyLimitUs = 30'000'000;        // the firmware's wait for a busy flash
constexpr std::uint64_t kRomBusCyclesUs = 2;              // the ROM code's bus cycles for one byte
constexpr std::uint32_t kIeee1394DirectLimit = 256;       // bytes per direct command on IEEE 1394
constexpr std::uint32_t kSmallStep = 4 * 1024;
constexpr std::uint32_t kLargeStep = 32 * 1024;

constexpr std::uint8_t kOpVendor = 0xFF;
constexpr std::uint8_t kOpDirect = 0xDF;
constexpr std::uint8_t kTargetFlashRead = 0xFA;
constexpr std::uint8_t kTargetFlashWrite = 0xFB;



HostReply SequenceError() { return CheckCondition(scsi::kSenseIllegalRequest, 0x2C); }
HostReply InProgress() { return CheckCondition(scsi::kSenseNotReady, 0x04, 0x07); }
HostReply WriteError() { return CheckCondition(scsi::kSenseMediumError, 0x0C); }


HostReply SendData(const std::uint8_t* answer, std::size_t available, DataDirection direction,
                   std::uint8_t* data, std::uint32_t length) {
    if (direction == DataDirection::Out && length > 0) return PhaseError();
    const std::size_t n = std::min<std::size_t>(available, length);
    if (n > 0) std::memcpy(data, answer, n);
    return Good(static_cast<std::uint32_t>(n));
}

std::uint32_t Be24(const Cdb& cdb, std::size_t at) {
    return (static_cast<std::uint32_t>(cdb[at]) << 16) | (static_cast<std::uint32_t>(cdb[at + 1]) << 8) |
           cdb[at + 2];
}

std::vector<std::uint8_t> WithAddress(std::uint8_t op, std::uint32_t address) {
    return {op, static_cast<std::uint8_t>(address >> 16), static_cast<std::uint8_t>(address >> 8),
            static_cast<std::uint8_t>(address)};
}

// The maker the firmware reads from the JEDEC answer at power-up.
int DetectedType(const std::vector<std::uint8_t>& id) {
    if (id[0] == 0x7F && id[1] == 0x9D) return 1;
    if ((id[0] == 0x7F && id[1] == 0x37) || id[0] == 0x37) return 7;
    switch (id[0]) {
    case 0xBF: return 2;
    case 0x20: return 3;
    case 0x1F: return 4;
    case 0xC2: return 5;
    case 0xEF: return 6;
    case 0x1C: return 8;
    case 0x8C: return 9;
    case 0x62: return 10;
    default: return 0;
    }
}

// The opcodes the firmware uses for a maker until the host gives others.
void UseMakerOpcodes(BridgeFlashState& state, int type) {
    state.chipEraseOp = 0xC7;
    state.blockEraseOp = 0xD8;
    state.programOp = 0x02;
    state.sectorEraseOp = 0x20;
    state.pageSize = 256;
    if (type == 1 || type == 10) state.sectorEraseOp = 0xD7;
    if (type == 2) {
        state.chipEraseOp = 0x60;
        state.blockEraseOp = 0x52;
    }
}

// The flash driver as the firmware starts it: it reads the JEDEC answer
// once (a chip that is still busy ignores that read, and the firmware then
// finds no maker) and takes the opcodes of the maker it found.
void StartFlashDriver(BridgeFlashState& state, SerialFlash* chip) {
    state = BridgeFlashState{};
    if (chip == nullptr) return;
    state.detectedType = DetectedType(chip->Transact({0x9F}, 3));
    state.flashType = state.detectedType;
    UseMakerOpcodes(state, state.flashType);
}

// The opcodes of one flash operation.
struct Opcodes {
    std::uint8_t chipErase;
    std::uint8_t blockErase;
    std::uint8_t sectorErase;
    std::uint8_t program;
    std::uint32_t pageSize;
    bool sst;
};

Opcodes InEffect(const BridgeFlashState& state) {
    return {state.chipEraseOp, state.blockEraseOp, state.sectorEraseOp, state.programOp,
            state.pageSize == 0 ? 256 : state.pageSize, state.flashType == 2};
}

// The firmware's serial flash driver on top of its serial bus.
class SerialDriver {
public:
    SerialDriver(SerialFlash& chip, VirtualClock& clock, const Opcodes& ops)
        : chip_(chip), clock_(clock), ops_(ops) {}

    std::vector<std::uint8_t> Cycle(const std::vector<std::uint8_t>& out, std::size_t read = 0) {
        std::vector<std::uint8_t> in = chip_.Transact(out, read);
        clock_.Advance((out.size() + read + kSpiBytesPerUs - 1) / kSpiBytesPerUs);
        return in;
    }

    std::uint8_t Status() { return Cycle({0x05}, 1)[0]; }

    // Polls read-status, more slowly the longer the chip stays busy.
    bool WaitReady() {
        const std::uint64_t start = clock_.NowUs();
        std::uint64_t interval = 10;
        for (;;) {
            if ((Status() & flash_status::kBusy) == 0) return true;
            if (clock_.NowUs() - start >= kBusyLimitUs) return false;
            clock_.Advance(interval);
            interval = std::min<std::uint64_t>(interval * 2, 1000);
        }
    }

    // Ready, and on SST flash unprotected, before an erase or a program.
    bool Prepare() {
        if (!WaitReady()) return false;
        if (ops_.sst) {
            Cycle({0x50});
            Cycle({0x01, 0x00});
            if (!WaitReady()) return false;
        }
        return true;
    }

    void EraseAt(std::uint8_t op, std::uint32_t address) {
        Cycle({0x06});
        Cycle(WithAddress(op, address));
    }

    void ChipErase() {
        Cycle({0x06});
        Cycle({ops_.chipErase});
    }

    // Erases with `op` at every `step` boundary the data covers; waits for each.
    bool EraseCovering(std::uint8_t op, std::uint32_t step, std::uint32_t address, std::uint32_t count) {
        const std::uint32_t end = address + std::max<std::uint32_t>(count, 1);
        for (std::uint32_t at = address - address % step; at < end; at += step) {
            if (!WaitReady()) return false;
            EraseAt(op, at);
        }
        return WaitReady();
    }

    bool Program(std::uint32_t address, const std::uint8_t* data, std::size_t count) {
        if (count == 0) return true;
        if (ops_.program == 0xAF || ops_.program == 0xAD) return ProgramAai(address, data, count);
        if (ops_.sst) {
            // One byte per program command: SST parts program a single byte with 0x02.
            for (std::size_t i = 0; i < count; ++i) {
                if (!WaitReady()) return false;
                Cycle({0x06});
                std::vector<std::uint8_t> out = WithAddress(ops_.program, address + static_cast<std::uint32_t>(i));
                out.push_back(data[i]);
                Cycle(out);
            }
            return WaitReady();
        }
        std::size_t done = 0;
        while (done < count) {
            const std::uint32_t at = address + static_cast<std::uint32_t>(done);
            const std::size_t room = ops_.pageSize - at % ops_.pageSize;
            const std::size_t n = std::min(room, count - done);
            if (!WaitReady()) return false;
            Cycle({0x06});
            // The opcode and address, then the page's data, in one cycle.
            const std::vector<std::uint8_t> head = WithAddress(ops_.program, at);
            std::vector<std::uint8_t> out(head.size() + n);
            std::copy(head.begin(), head.end(), out.begin());
            std::copy(data + done, data + done + n, out.begin() + static_cast<long>(head.size()));
            Cycle(out);
            done += n;
        }
        return WaitReady();
    }

    std::vector<std::uint8_t> Read(std::uint32_t address, std::size_t count) {
        return Cycle(WithAddress(0x03, address), count);
    }

private:
    SerialFlash& chip_;
    VirtualClock& clock_;
    Opcodes ops_;

    bool ProgramAai(std::uint32_t address, const std::uint8_t* data, std::size_t count) {
        const std::size_t width = ops_.program == 0xAD ? 2 : 1;
        std::vector<std::uint8_t> bytes(data, data + count);
        if (bytes.size() % width != 0) bytes.push_back(0xFF);
        if (!WaitReady()) return false;
        Cycle({0x06});
        for (std::size_t i = 0; i < bytes.size(); i += width) {
            std::vector<std::uint8_t> out =
                i == 0 ? WithAddress(ops_.program, address) : std::vector<std::uint8_t>{ops_.program};
            out.insert(out.end(), bytes.begin() + static_cast<std::ptrdiff_t>(i),
                       bytes.begin() + static_cast<std::ptrdiff_t>(i + width));
            if (i > 0 && !WaitReady()) return false;
            Cycle(out);
        }
        const bool ready = WaitReady();
        Cycle({0x04});
        return ready;
    }
};

}  // namespace

bool SetFlashPart(FlashConfig& flash, const std::string& name, std::string& why) {
    std::string lower;
    for (char c : name) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (lower == "none") {
        flash.serial.reset();
        flash.parallel.reset();
        return true;
    }
    if (const SerialFlashPart* part = FindSerialFlashPart(name)) {
        flash.serial = *part;
        flash.parallel.reset();
        return true;
    }
    if (const ParallelFlashPart* part = FindParallelFlashPart(name)) {
        flash.parallel = *part;
        flash.serial.reset();
        return true;
    }
    why = "not a flash part the simulator knows (";
    for (const SerialFlashPart& part : SerialFlashCatalogue()) why += part.name + ", ";
    for (const ParallelFlashPart& part : ParallelFlashCatalogue()) why += part.name + ", ";
    why += "none)";
    return false;
}

std::string DefaultFlashPartForKind(int kind, Bus bus) {
    switch (kind) {
    case 0: return "";
    case 2:
    case 20: return "AT49BV512";
    case 5:
    case 14: return "";  // these keep their firmware on the attached disk
    case 7: return bus == Bus::Ieee1394 ? "Pm25LV512" : "Pm25LV010";
    case 8:
    case 9: return "MX25L8005";
    case 10:
    case 11:
    case 15: return "W25X40";
    case 12: return "W25X10";
    case 13: return "Pm25LV010";
    default: return "Pm25LV512";
    }
}

void VirtualDevice::InitFlash() {
    const FlashConfig& flash = config_.flash;
    if (flash.serial) {
        serialFlash_ = std::make_unique<SerialFlash>(*flash.serial, *clock_, flash.fill);
    } else if (flash.parallel) {
        parallelFlash_ = std::make_unique<ParallelFlash>(*flash.parallel, *clock_, flash.fill);
    }
    if (std::vector<std::uint8_t>* contents = FlashContents()) {
        const std::size_t n = std::min(contents->size(), flash.image.size());
        std::copy_n(flash.image.begin(), n, contents->begin());
    }
    StartFlashDriver(flash_, serialFlash_.get());
}

std::vector<std::uint8_t>* VirtualDevice::FlashContents() {
    if (serialFlash_) return &serialFlash_->contents();
    if (parallelFlash_) return &parallelFlash_->contents();
    return nullptr;
}

void VirtualDevice::CatchUpRomCode(std::uint64_t now) {
    if (!parallelFlash_) return;
    ParallelFlash& chip = *parallelFlash_;
    while (flash_.romNext < flash_.romData.size() && flash_.romNextUs <= now) {
        const std::uint64_t t = flash_.romNextUs;
        for (std::size_t k = 0; k < 3; ++k) {
            chip.Write(flash_.romCycleAddress[k], flash_.romCycleData[k], t);
        }
        chip.Write(static_cast<std::uint32_t>(flash_.romNext), flash_.romData[flash_.romNext], t);
        std::uint64_t done = t;
        if (chip.BusyAt(t)) {
            done = chip.ReadyAtUs();
            if (chip.BusyAt(done)) {  // the part never finishes: neither does the ROM code
                flash_.romNextUs = std::numeric_limits<std::uint64_t>::max();
                break;
            }
        }
        flash_.romNextUs = done + kRomBusCyclesUs;
        ++flash_.romNext;
    }
    if (flash_.romNext >= flash_.romData.size()) {
        flash_.romData.clear();
        flash_.romNext = 0;
    }
}

void VirtualDevice::RestartBridge() {
    // The ROM code stops: what it programmed until now stays.
    CatchUpRomCode(clock_->NowUs());
    vendorMode_ = false;
    memory_.fill(0);
    for (const MemoryPreset& preset : config_.answers.memory) {
        for (std::size_t i = 0; i < preset.bytes.size(); ++i) {
            const std::size_t at = static_cast<std::size_t>(preset.address) + i;
            if (at >= memory_.size()) break;
            memory_[at] = preset.bytes[i];
        }
    }
    if (config_.stuck506A) memory_[bridge_memory::kScratch] |= 0x01;
    StartFlashDriver(flash_, serialFlash_.get());
    StartBridgeFirmware();
}

void VirtualDevice::PowerCycle() {
    CatchUpRomCode(clock_->NowUs());
    if (serialFlash_) serialFlash_->PowerUp();
    if (parallelFlash_) parallelFlash_->PowerUp();
    RestartBridge();
}

std::optional<HostReply> VirtualDevice::FlashCommand(const std::uint8_t* cdbBytes,
                                                     DataDirection direction, std::uint8_t* data,
                                                     std::uint32_t length) {
    Cdb cdb{};
    std::copy_n(cdbBytes, cdb.size(), cdb.begin());
    if (data == nullptr) length = 0;
    const bool directFlash =
        cdb[0] == kOpDirect && (cdb[11] == kTargetFlashRead || cdb[11] == kTargetFlashWrite);
    if (!directFlash && !(cdb[0] == kOpVendor && cdb[1] == 0x04)) return std::nullopt;

    const std::uint8_t sub = cdb[2];
    const bool romCommand = !directFlash && sub <= 0x05;
    const bool serialCommand =
        directFlash || sub == 0x0F || (sub >= 0x10 && sub <= 0x15) || (sub >= 0x20 && sub <= 0x25);

    if (!directFlash && sub == 0x26) {
        if (cdb[3] != 0x56 || cdb[4] != 0x52) return InvalidField();
        RestartBridge();
        restartRequested_ = true;
        return Good(0);
    }
    if (!romCommand && !serialCommand) return std::nullopt;
    if (romCommand && !parallelFlash_) return InvalidOpcode();
    if (serialCommand && !serialFlash_) return InvalidOpcode();

    const bool wantsIn = direction == DataDirection::In && length > 0;
    const bool bringsOut = direction == DataDirection::Out && length > 0;

    // ---- Internal-ROM loader and the parallel flash.
    if (romCommand) {
        ParallelFlash& chip = *parallelFlash_;
        const std::uint64_t now = clock_->NowUs();
        CatchUpRomCode(now);
        const bool busy = !flash_.romData.empty() || chip.BusyAt(now);

        switch (sub) {
        case 0x05:  // switch to the internal ROM
            if (wantsIn) return PhaseError();
            flash_.internalRom = true;
            return Good(0);
        case 0x00: {  // ROM busy
            const std::uint8_t answer = busy ? 1 : 0;
            return SendData(&answer, 1, direction, data, length);
        }
        case 0x01:  // run the loaded erase sequence
            if (wantsIn) return PhaseError();
            if (!flash_.romEraseSequence) return SequenceError();
            if (busy) return InProgress();
            for (std::size_t k = 0; k < 6; ++k) {
                const auto& s = *flash_.romEraseSequence;
                const auto address = static_cast<std::uint16_t>(s[2 * k] | (s[2 * k + 1] << 8));
                chip.Write(address, s[12 + k], now);
            }
            return Good(0);
        case 0x02: {  // program from address 0 with the given cycles
            if (wantsIn) return PhaseError();
            if (busy) return InProgress();
            for (std::size_t k = 0; k < 3; ++k) {
                flash_.romCycleAddress[k] =
                    static_cast<std::uint16_t>(cdb[3 + 2 * k] | (cdb[4 + 2 * k] << 8));
                flash_.romCycleData[k] = cdb[9 + k];
            }
            const std::uint32_t n = std::min(length, chip.part().size);
            flash_.romData.assign(data, data + n);
            flash_.romNext = 0;
            flash_.romNextUs = now;
            return Good(length);
        }
        case 0x03: {  // read, 32-bit address low byte first
            if (bringsOut) return PhaseError();
            const std::uint32_t address = cdb[3] | (cdb[4] << 8) | (cdb[5] << 16) |
                                          (static_cast<std::uint32_t>(cdb[6]) << 24);
            std::vector<std::uint8_t> bytes(length);
            for (std::uint32_t i = 0; i < length; ++i) bytes[i] = chip.Read(address + i, now);
            return SendData(bytes.data(), bytes.size(), direction, data, length);
        }
        case 0x04: {  // load the erase sequence: six addresses (low byte first), six data bytes
            if (wantsIn) return PhaseError();
            if (length < 18) return InvalidField();
            std::array<std::uint8_t, 18> sequence{};
            std::copy_n(data, sequence.size(), sequence.begin());
            flash_.romEraseSequence = sequence;
            return Good(length);
        }
        default:
            return InvalidOpcode();
        }
    }

    // ---- Serial flash.
    SerialFlash& chip = *serialFlash_;
    const bool ieee1394 = config_.bus == Bus::Ieee1394;
    const bool transactionData = !directFlash && (sub == 0x21 || sub == 0x22);
    if (!transactionData && flash_.cycleOpen) {
        // Any other command ends an open transaction: chip select rises.
        SerialDriver(chip, *clock_, InEffect(flash_)).Cycle(flash_.cycle);
        flash_.cycleOpen = false;
        flash_.cycle.clear();
    }

    if (directFlash) {
        const std::uint32_t count = (static_cast<std::uint32_t>(cdb[3]) << 8) | cdb[4];
        const std::uint32_t address = Be24(cdb, 8);
        if (cdb[2] != 0 || cdb[5] != 0 || cdb[6] != 0 || cdb[7] != 0) return InvalidField();
        if (ieee1394 && count > kIeee1394DirectLimit) return InvalidField();
        if (cdb[11] == kTargetFlashRead) {
            if (cdb[1] != 0x10) return InvalidField();
            if (bringsOut) return PhaseError();
            SerialDriver driver(chip, *clock_, InEffect(flash_));
            const std::vector<std::uint8_t> bytes = driver.Read(address, count);
            return SendData(bytes.data(), bytes.size(), direction, data, length);
        }
        if (wantsIn) return PhaseError();
        const std::uint8_t mode = cdb[1];
        Opcodes ops = InEffect(flash_);
        if ((mode & 0x80) != 0) ops = {0xC7, 0xD8, 0x20, 0x02, 32, false};
        SerialDriver driver(chip, *clock_, ops);
        const std::uint32_t n = std::min(count, length);
        if (!driver.Prepare()) return WriteError();
        bool ok = true;
        switch (mode & 0x07) {
        case 1:
            ok = ieee1394 ? driver.EraseCovering(ops.blockErase, kLargeStep, address, n)
                          : driver.EraseCovering(ops.sectorErase, kSmallStep, address, n);
            break;
        case 2:
            ok = driver.EraseCovering(ops.blockErase, kLargeStep, address, n);
            break;
        case 3:
            driver.ChipErase();
            ok = driver.WaitReady();
            break;
        default:
            break;
        }
        if (!ok || !driver.Program(address, data, n)) return WriteError();
        return Good(n);
    }

    SerialDriver driver(chip, *clock_, InEffect(flash_));
    switch (sub) {
    case 0x10: {  // read flash data: as many bytes as the host takes
        if (bringsOut) return PhaseError();
        const std::vector<std::uint8_t> bytes = driver.Read(Be24(cdb, 3), length);
        return SendData(bytes.data(), bytes.size(), direction, data, length);
    }
    case 0x11:  // write flash data: page programs, waiting for each
        if (wantsIn) return PhaseError();
        if (!driver.Prepare() || !driver.Program(Be24(cdb, 3), data, length)) return WriteError();
        return Good(length);
    case 0x12: {  // the chip's status register
        const std::uint8_t status = driver.Status();
        return SendData(&status, 1, direction, data, length);
    }
    case 0x13:  // chip erase: returns at once, the chip stays busy
        if (wantsIn) return PhaseError();
        if (!driver.Prepare()) return WriteError();
        driver.ChipErase();
        return Good(0);
    case 0x14:  // erase the block at the address (the unit these bridges erase by)
        if (wantsIn) return PhaseError();
        if (!driver.Prepare()) return WriteError();
        driver.EraseAt(flash_.blockEraseOp, Be24(cdb, 3));
        return Good(0);
    case 0x15: {  // FF 04 15 n opcode d: opcode, d dummy bytes, then n answer bytes
        if (bringsOut) return PhaseError();
        const std::size_t answer = cdb[3] != 0 ? cdb[3] : length;
        std::vector<std::uint8_t> out(1 + cdb[5], 0x00);
        out[0] = cdb[4];
        const std::vector<std::uint8_t> bytes = driver.Cycle(out, answer);
        return SendData(bytes.data(), bytes.size(), direction, data, length);
    }
    case 0x20: {  // one transaction: descriptor in CDB bytes 3..11
        const std::size_t count = cdb[3];
        if (count == 0 || count > 7 || cdb[4] > 1) return InvalidField();
        std::vector<std::uint8_t> out(cdb.begin() + 5, cdb.begin() + 5 + static_cast<std::ptrdiff_t>(count));
        if (cdb[4] == 1) {
            flash_.cycleOpen = true;
            flash_.cycle = std::move(out);
        } else {
            driver.Cycle(out);
        }
        // A data-out phase on this command is taken and not clocked.
        return Good(bringsOut ? length : 0);
    }
    case 0x21: {  // data phase: one byte from the chip per byte the host takes; ends the cycle
        if (bringsOut) return PhaseError();
        const std::vector<std::uint8_t> bytes = driver.Cycle(flash_.cycle, length);
        flash_.cycleOpen = false;
        flash_.cycle.clear();
        return SendData(bytes.data(), bytes.size(), direction, data, length);
    }
    case 0x22: {  // data phase: n bytes to the chip; ends the cycle
        if (wantsIn) return PhaseError();
        const std::uint32_t n = std::min<std::uint32_t>((cdb[7] << 8) | cdb[8], length);
        std::vector<std::uint8_t> out = flash_.cycle;
        out.insert(out.end(), data, data + n);
        driver.Cycle(out);
        flash_.cycleOpen = false;
        flash_.cycle.clear();
        return Good(n);
    }
    case 0x23: {  // the maker detected at power-up
        const std::uint8_t answer[4] = {static_cast<std::uint8_t>(flash_.detectedType), 0, 0, 0};
        return SendData(answer, sizeof answer, direction, data, length);
    }
    case 0x24: {  // FF 04 24 02 chipErase blockErase program type 01
        if (cdb[3] != 0x02) return InvalidField();
        flash_.chipEraseOp = cdb[4];
        flash_.blockEraseOp = cdb[5];
        flash_.programOp = cdb[6];
        flash_.flashType = cdb[7];
        const std::uint8_t answer[2] = {0, 0};
        return SendData(answer, sizeof answer, direction, data, length);
    }
    case 0x25: {
        if (cdb[3] == 0x02) {  // page size in units of 4 bytes
            if (cdb[4] == 0) return InvalidField();
            flash_.pageSize = cdb[4] * 4U;
            const std::uint8_t answer[2] = {0, 0};
            return SendData(answer, sizeof answer, direction, data, length);
        }
        if (std::any_of(cdb.begin() + 3, cdb.end(), [](std::uint8_t b) { return b != 0; })) {
            return InvalidField();
        }
        flash_.updatePrepared = true;
        return Good(0);
    }
    case 0x0F: {  // FF 04 0F chipErase blockErase program sectorErase size
        flash_.chipEraseOp = cdb[3];
        flash_.blockEraseOp = cdb[4];
        flash_.programOp = cdb[5];
        flash_.sectorEraseOp = cdb[6];
        // The page size comes as a 16-bit byte count (bytes 7, 8) or, with
        // byte 8 zero, as one byte in units of 4.
        const std::uint32_t wide = (static_cast<std::uint32_t>(cdb[7]) << 8) | cdb[8];
        if (cdb[8] != 0) {
            flash_.pageSize = wide;
        } else if (cdb[7] != 0) {
            flash_.pageSize = cdb[7] * 4U;
        }
        return Good(0);
    }
    default:
        return InvalidOpcode();
    }
}

}  // namespace v62x::sim
