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

namespace {

// The host's data phase of one flash command.
struct DataPhase {
    DataDirection direction;
    std::uint8_t* data;
    std::uint32_t length;

    bool wantsIn() const { return direction == DataDirection::In && length > 0; }
    bool bringsOut() const { return direction == DataDirection::Out && length > 0; }
    HostReply Send(const std::uint8_t* answer, std::size_t available) const {
        return SendAnswer(answer, available, direction, data, length);
    }
    HostReply Send(const std::vector<std::uint8_t>& answer) const {
        return Send(answer.data(), answer.size());
    }
};

// The answer of a setting the firmware took.
constexpr std::uint8_t kSettingTaken[2] = {0, 0};

// ---- The internal-ROM loader and the parallel flash behind it.

// What a ROM loader command works on, once the ROM code's background
// programming has caught up with `now`.
struct RomPath {
    ParallelFlash& chip;
    BridgeFlashState& flash;
    std::uint64_t now;
    bool busy;  // the ROM code is still programming, or the part is busy
};

// FF 04 01: the ROM code writes the loaded erase sequence to the part, six
// bus cycles.
HostReply RomRunEraseSequence(const RomPath& rom, const DataPhase& phase) {
    if (phase.wantsIn()) return PhaseError();
    if (!rom.flash.romEraseSequence) return SequenceError();
    if (rom.busy) return InProgress();
    const std::array<std::uint8_t, 18>& sequence = *rom.flash.romEraseSequence;
    for (std::size_t k = 0; k < 6; ++k) {
        const auto address = static_cast<std::uint16_t>(sequence[2 * k] | (sequence[2 * k + 1] << 8));
        rom.chip.Write(address, sequence[12 + k], rom.now);
    }
    return Good(0);
}

// FF 04 02: takes the three command cycles of a byte program (addresses low
// byte first in CDB bytes 3..8, data bytes in 9..11) and the data, and
// returns; the ROM code then programs from address 0 in the background.
HostReply RomStartProgram(const Cdb& cdb, const RomPath& rom, const DataPhase& phase) {
    if (phase.wantsIn()) return PhaseError();
    if (rom.busy) return InProgress();
    for (std::size_t k = 0; k < 3; ++k) {
        rom.flash.romCycleAddress[k] = static_cast<std::uint16_t>(cdb[3 + 2 * k] | (cdb[4 + 2 * k] << 8));
        rom.flash.romCycleData[k] = cdb[9 + k];
    }
    const std::uint32_t n = std::min(phase.length, rom.chip.part().size);
    rom.flash.romData.assign(phase.data, phase.data + n);
    rom.flash.romNext = 0;
    rom.flash.romNextUs = rom.now;
    return Good(phase.length);
}

// FF 04 03: reads from a 32-bit address, low byte first.
HostReply RomRead(const Cdb& cdb, const RomPath& rom, const DataPhase& phase) {
    if (phase.bringsOut()) return PhaseError();
    const std::uint32_t address =
        cdb[3] | (cdb[4] << 8) | (cdb[5] << 16) | (static_cast<std::uint32_t>(cdb[6]) << 24);
    std::vector<std::uint8_t> bytes(phase.length);
    for (std::uint32_t i = 0; i < phase.length; ++i) bytes[i] = rom.chip.Read(address + i, rom.now);
    return phase.Send(bytes);
}

// FF 04 04: loads the erase sequence, six addresses (low byte first), then
// six data bytes.
HostReply RomLoadEraseSequence(const RomPath& rom, const DataPhase& phase) {
    if (phase.wantsIn()) return PhaseError();
    if (phase.length < 18) return InvalidField();
    std::array<std::uint8_t, 18> sequence{};
    std::copy_n(phase.data, sequence.size(), sequence.begin());
    rom.flash.romEraseSequence = sequence;
    return Good(phase.length);
}

// FF 04 00..05: the internal-ROM loader's commands.
HostReply RomLoaderCommand(const Cdb& cdb, const RomPath& rom, const DataPhase& phase) {
    switch (cdb[2]) {
    case 0x05:  // switch to the internal ROM
        if (phase.wantsIn()) return PhaseError();
        rom.flash.internalRom = true;
        return Good(0);
    case 0x00: {  // ROM busy
        const std::uint8_t answer = rom.busy ? 1 : 0;
        return phase.Send(&answer, 1);
    }
    case 0x01:
        return RomRunEraseSequence(rom, phase);
    case 0x02:
        return RomStartProgram(cdb, rom, phase);
    case 0x03:
        return RomRead(cdb, rom, phase);
    case 0x04:
        return RomLoadEraseSequence(rom, phase);
    default:
        return InvalidOpcode();
    }
}

// ---- The serial flash.

// What a serial flash command works on: the chip, the clock its bus time
// goes to, and what the firmware keeps about the chip.
struct SerialPath {
    SerialFlash& chip;
    VirtualClock& clock;
    BridgeFlashState& flash;

    // The driver with the opcodes in effect.
    SerialDriver Driver() const { return SerialDriver(chip, clock, InEffect(flash)); }
    // Chip select has risen on the open transaction: it is over.
    void EndTransaction() const {
        flash.cycleOpen = false;
        flash.cycle.clear();
    }
};

// The erase a direct write does before it programs, by the code in bits
// 0..2 of its mode (see the top of the file); false when the chip stayed busy.
bool EraseForDirectWrite(SerialDriver& driver, const Opcodes& ops, std::uint8_t mode, bool ieee1394,
                         std::uint32_t address, std::uint32_t count) {
    switch (mode & 0x07) {
    case 1:
        return ieee1394 ? driver.EraseCovering(ops.blockErase, kLargeStep, address, count)
                        : driver.EraseCovering(ops.sectorErase, kSmallStep, address, count);
    case 2:
        return driver.EraseCovering(ops.blockErase, kLargeStep, address, count);
    case 3:
        driver.ChipErase();
        return driver.WaitReady();
    default:
        return true;
    }
}

// The direct write: erases as its mode says, then programs the data.
HostReply DirectFlashWrite(const Cdb& cdb, const SerialPath& path, bool ieee1394, std::uint32_t address,
                           std::uint32_t count, const DataPhase& phase) {
    if (phase.wantsIn()) return PhaseError();
    const std::uint8_t mode = cdb[1];
    Opcodes ops = InEffect(path.flash);
    if ((mode & 0x80) != 0) ops = {0xC7, 0xD8, 0x20, 0x02, 32, false};
    SerialDriver driver(path.chip, path.clock, ops);
    const std::uint32_t n = std::min(count, phase.length);
    if (!driver.Prepare()) return WriteError();
    const bool erased = EraseForDirectWrite(driver, ops, mode, ieee1394, address, n);
    if (!erased || !driver.Program(address, phase.data, n)) return WriteError();
    return Good(n);
}

// The direct layout on the flash (0xDF, target in byte 11): the byte count
// in bytes 3..4, the address in bytes 8..10.
HostReply DirectFlashCommand(const Cdb& cdb, const SerialPath& path, bool ieee1394, const DataPhase& phase) {
    const std::uint32_t count = (static_cast<std::uint32_t>(cdb[3]) << 8) | cdb[4];
    const std::uint32_t address = Be24(cdb, 8);
    if (cdb[2] != 0 || cdb[5] != 0 || cdb[6] != 0 || cdb[7] != 0) return InvalidField();
    if (ieee1394 && count > kIeee1394DirectLimit) return InvalidField();
    if (cdb[11] != kTargetFlashRead) return DirectFlashWrite(cdb, path, ieee1394, address, count, phase);
    if (cdb[1] != 0x10) return InvalidField();
    if (phase.bringsOut()) return PhaseError();
    return phase.Send(path.Driver().Read(address, count));
}

// FF 04 15: clocks the opcode in CDB byte 4 and as many zero (dummy) bytes
// as byte 5 says, then reads the answer: as many bytes as byte 3 says, or
// with byte 3 zero as many as the host takes.
HostReply SerialQuery(const Cdb& cdb, SerialDriver& driver, const DataPhase& phase) {
    if (phase.bringsOut()) return PhaseError();
    const std::size_t answer = cdb[3] != 0 ? cdb[3] : phase.length;
    std::vector<std::uint8_t> out(1 + cdb[5], 0x00);
    out[0] = cdb[4];
    return phase.Send(driver.Cycle(out, answer));
}

// FF 04 10..15: the firmware's own reads, programs and erases of the chip
// (address in CDB bytes 3..5), and a query of one opcode.
HostReply SerialFlashAccess(const Cdb& cdb, const SerialPath& path, const DataPhase& phase) {
    SerialDriver driver = path.Driver();
    switch (cdb[2]) {
    case 0x10:  // read flash data: as many bytes as the host takes
        if (phase.bringsOut()) return PhaseError();
        return phase.Send(driver.Read(Be24(cdb, 3), phase.length));
    case 0x11:  // write flash data: page programs, waiting for each
        if (phase.wantsIn()) return PhaseError();
        if (!driver.Prepare() || !driver.Program(Be24(cdb, 3), phase.data, phase.length)) return WriteError();
        return Good(phase.length);
    case 0x12: {  // the chip's status register
        const std::uint8_t status = driver.Status();
        return phase.Send(&status, 1);
    }
    case 0x13:  // chip erase: returns at once, the chip stays busy
        if (phase.wantsIn()) return PhaseError();
        if (!driver.Prepare()) return WriteError();
        driver.ChipErase();
        return Good(0);
    case 0x14:  // erase the block at the address (the unit these bridges erase by)
        if (phase.wantsIn()) return PhaseError();
        if (!driver.Prepare()) return WriteError();
        driver.EraseAt(path.flash.blockEraseOp, Be24(cdb, 3));
        return Good(0);
    case 0x15:
        return SerialQuery(cdb, driver, phase);
    default:
        return InvalidOpcode();
    }
}

// FF 04 20..22: a serial transaction the host puts together. 20 clocks the
// bytes in CDB bytes 5..11 (their count in byte 3) or, with byte 4 set,
// keeps chip select low after them for a data phase; 21 or 22 carries that
// data phase and ends the transaction.
HostReply SerialTransaction(const Cdb& cdb, const SerialPath& path, const DataPhase& phase) {
    SerialDriver driver = path.Driver();
    switch (cdb[2]) {
    case 0x20: {
        const std::size_t count = cdb[3];
        if (count == 0 || count > 7 || cdb[4] > 1) return InvalidField();
        std::vector<std::uint8_t> out(cdb.begin() + 5, cdb.begin() + 5 + static_cast<std::ptrdiff_t>(count));
        if (cdb[4] == 1) {
            path.flash.cycleOpen = true;
            path.flash.cycle = std::move(out);
        } else {
            driver.Cycle(out);
        }
        // A data-out phase on this command is taken and not clocked.
        return Good(phase.bringsOut() ? phase.length : 0);
    }
    case 0x21: {  // one byte from the chip per byte the host takes
        if (phase.bringsOut()) return PhaseError();
        const std::vector<std::uint8_t> bytes = driver.Cycle(path.flash.cycle, phase.length);
        path.EndTransaction();
        return phase.Send(bytes);
    }
    case 0x22: {  // the host's bytes to the chip, as many as CDB bytes 7..8 say
        if (phase.wantsIn()) return PhaseError();
        const std::uint32_t n = std::min<std::uint32_t>((cdb[7] << 8) | cdb[8], phase.length);
        std::vector<std::uint8_t> out = path.flash.cycle;
        out.insert(out.end(), phase.data, phase.data + n);
        driver.Cycle(out);
        path.EndTransaction();
        return Good(n);
    }
    default:
        return InvalidOpcode();
    }
}

// FF 04 25: with 02 in CDB byte 3, the page size in units of 4 bytes (byte
// 4); with every byte from 3 on zero, the firmware prepares for an update.
HostReply PageSizeOrUpdate(const Cdb& cdb, BridgeFlashState& flash, const DataPhase& phase) {
    if (cdb[3] == 0x02) {
        if (cdb[4] == 0) return InvalidField();
        flash.pageSize = cdb[4] * 4U;
        return phase.Send(kSettingTaken, sizeof kSettingTaken);
    }
    if (std::any_of(cdb.begin() + 3, cdb.end(), [](std::uint8_t b) { return b != 0; })) {
        return InvalidField();
    }
    flash.updatePrepared = true;
    return Good(0);
}

// FF 04 0F: the chip-erase, block-erase, program and sector-erase opcodes in
// CDB bytes 3..6, then the page size: a 16-bit byte count (bytes 7, 8) or,
// with byte 8 zero, one byte in units of 4 (byte 7; zero keeps the size).
void TakeOpcodes(const Cdb& cdb, BridgeFlashState& flash) {
    flash.chipEraseOp = cdb[3];
    flash.blockEraseOp = cdb[4];
    flash.programOp = cdb[5];
    flash.sectorEraseOp = cdb[6];
    const std::uint32_t wide = (static_cast<std::uint32_t>(cdb[7]) << 8) | cdb[8];
    if (cdb[8] != 0) {
        flash.pageSize = wide;
    } else if (cdb[7] != 0) {
        flash.pageSize = cdb[7] * 4U;
    }
}

// FF 04 23..25 and 0F: what the firmware keeps about the chip, as the host
// reads or sets it.
HostReply FlashDriverSetting(const Cdb& cdb, BridgeFlashState& flash, const DataPhase& phase) {
    switch (cdb[2]) {
    case 0x23: {  // the maker detected at power-up
        const std::uint8_t answer[4] = {static_cast<std::uint8_t>(flash.detectedType), 0, 0, 0};
        return phase.Send(answer, sizeof answer);
    }
    case 0x24:  // 02, then the chip-erase, block-erase and program opcodes and the type code
        if (cdb[3] != 0x02) return InvalidField();
        flash.chipEraseOp = cdb[4];
        flash.blockEraseOp = cdb[5];
        flash.programOp = cdb[6];
        flash.flashType = cdb[7];
        return phase.Send(kSettingTaken, sizeof kSettingTaken);
    case 0x25:
        return PageSizeOrUpdate(cdb, flash, phase);
    case 0x0F:
        TakeOpcodes(cdb, flash);
        return Good(0);
    default:
        return InvalidOpcode();
    }
}

// The serial flash commands of the FF 04 layout.
HostReply SerialFlashCommand(const Cdb& cdb, const SerialPath& path, const DataPhase& phase) {
    const std::uint8_t sub = cdb[2];
    if (sub >= 0x10 && sub <= 0x15) return SerialFlashAccess(cdb, path, phase);
    if (sub >= 0x20 && sub <= 0x22) return SerialTransaction(cdb, path, phase);
    return FlashDriverSetting(cdb, path.flash, phase);
}

}  // namespace

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

    if (!directFlash && sub == 0x26) {  // FF 04 26 56 52: restart
        if (cdb[3] != 0x56 || cdb[4] != 0x52) return InvalidField();
        RestartBridge();
        restartRequested_ = true;
        return Good(0);
    }
    if (!romCommand && !serialCommand) return std::nullopt;
    if (romCommand && !parallelFlash_) return InvalidOpcode();
    if (serialCommand && !serialFlash_) return InvalidOpcode();

    const DataPhase phase{direction, data, length};
    if (romCommand) {
        const std::uint64_t now = clock_->NowUs();
        CatchUpRomCode(now);
        const bool busy = !flash_.romData.empty() || parallelFlash_->BusyAt(now);
        return RomLoaderCommand(cdb, RomPath{*parallelFlash_, flash_, now, busy}, phase);
    }

    const SerialPath path{*serialFlash_, *clock_, flash_};
    const bool transactionData = !directFlash && (sub == 0x21 || sub == 0x22);
    if (!transactionData && flash_.cycleOpen) {
        // Any other command ends an open transaction: chip select rises.
        path.Driver().Cycle(flash_.cycle);
        path.EndTransaction();
    }
    if (directFlash) return DirectFlashCommand(cdb, path, config_.bus == Bus::Ieee1394, phase);
    return SerialFlashCommand(cdb, path, phase);
}

}  // namespace v62x::sim
