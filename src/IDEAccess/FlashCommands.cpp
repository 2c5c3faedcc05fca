#include "IDEAccess/FlashCommands.h"

#include <algorithm>

#include "IDEAccess/Bytes.h"
#include "IDEAccess/Transport.h"
#include "IDEAccess/VendorTransfer.h"

namespace v62x {
namespace {

Cdb12 VendorWithAddress(std::uint8_t subCommand, std::uint32_t address) {
    Cdb12 cdb = VendorCdb(subCommand);
    PutBe24(&cdb[3], address);
    return cdb;
}

// The two command-cycle addresses of a parallel flash type (0 when the
// type is unknown, which then sends zeros throughout).
struct CycleAddresses {
    std::uint16_t first;
    std::uint16_t second;
    bool known;
};

CycleAddresses CyclesOf(int type) {
    switch (type) {
        case 0:
        case 2:
            return {0x5555, 0x2AAA, true};
        case 1:
            return {0x0555, 0x02AA, true};
        default:
            return {0, 0, false};
    }
}

template <std::size_t N>
void PutCycles(std::array<std::uint8_t, N>& out, const CycleAddresses& cycles,
               std::initializer_list<bool> firstOrSecond, std::initializer_list<std::uint8_t> data) {
    std::size_t at = 0;
    for (bool first : firstOrSecond) {
        const std::uint16_t address = first ? cycles.first : cycles.second;
        out[at++] = static_cast<std::uint8_t>(address);  // low byte first
        out[at++] = static_cast<std::uint8_t>(address >> 8);
    }
    for (std::uint8_t value : data) out[at++] = cycles.known ? value : 0;
}

}  // namespace

SpiTransaction Spi(std::uint8_t count, std::uint8_t dataFollows, std::uint8_t opcode,
                   std::initializer_list<std::uint8_t> parameters) {
    SpiTransaction t;
    t.bytes[0] = count;
    t.bytes[1] = dataFollows;
    t.bytes[2] = opcode;
    std::size_t at = 3;
    for (std::uint8_t p : parameters) {
        if (at < t.bytes.size()) t.bytes[at++] = p;
    }
    return t;
}

SpiTransaction SpiWithAddress(std::uint8_t dataFollows, std::uint8_t opcode, std::uint32_t address) {
    return Spi(4, dataFollows, opcode,
               {static_cast<std::uint8_t>(address >> 16), static_cast<std::uint8_t>(address >> 8),
                static_cast<std::uint8_t>(address)});
}

std::array<std::uint8_t, 9> RomProgramSequence(int type) {
    std::array<std::uint8_t, 9> out{};
    PutCycles(out, CyclesOf(type), {true, false, true}, {0xAA, 0x55, 0xA0});
    return out;
}

std::array<std::uint8_t, 18> RomEraseSequence(int type) {
    std::array<std::uint8_t, 18> out{};
    PutCycles(out, CyclesOf(type), {true, false, true, true, false, true},
              {0xAA, 0x55, 0x80, 0xAA, 0x55, 0x10});
    return out;
}

Cdb12 SwitchToInternalRomCdb() { return VendorCdb(0x05); }
Cdb12 ReadRomBusyCdb() { return VendorCdb(0x00); }
Cdb12 StartRomEraseCdb() { return VendorCdb(0x01); }

Cdb12 ReadRomCdb(std::uint32_t address) {
    Cdb12 cdb = VendorCdb(0x03);
    for (int i = 0; i < 4; ++i) cdb[3 + i] = static_cast<std::uint8_t>(address >> (8 * i));
    return cdb;
}

Cdb12 ProgramRomCdb(int type) {
    Cdb12 cdb = VendorCdb(0x02);
    const auto sequence = RomProgramSequence(type);
    std::copy(sequence.begin(), sequence.end(), cdb.begin() + 3);
    return cdb;
}

Cdb12 LoadRomEraseSequenceCdb() { return VendorCdb(0x04); }

int SwitchToInternalRom(const std::string& path) {
    return SendOut(path, SwitchToInternalRomCdb(), nullptr, 0);
}

int ReadRomBusy(const std::string& path) {
    std::uint8_t busy = 0;
    if (ReadExact(path, ReadRomBusyCdb(), &busy, 1) == 0) return 1;
    return busy == 1 ? 1 : 0;
}

int StartRomErase(const std::string& path) { return SendOut(path, StartRomEraseCdb(), nullptr, 0); }

int ReadRom(const std::string& path, std::uint32_t address, std::uint8_t* buffer,
            std::uint32_t length) {
    return InRequestPieces(path, length, [&](std::uint32_t offset, std::uint32_t piece) {
        return ReadExact(path, ReadRomCdb(address + offset), buffer + offset, piece);
    });
}

int ProgramRom(const std::string& path, const std::uint8_t* buffer, std::uint32_t length, int type) {
    return SendOut(path, ProgramRomCdb(type), buffer, length);
}

int LoadRomEraseSequence(const std::string& path, int type) {
    const auto sequence = RomEraseSequence(type);
    return SendOut(path, LoadRomEraseSequenceCdb(), sequence.data(), sequence.size());
}

Cdb12 ReadFlashDataCdb(std::uint32_t address) { return VendorWithAddress(0x10, address); }
Cdb12 WriteFlashDataCdb(std::uint32_t address) { return VendorWithAddress(0x11, address); }
Cdb12 ReadFlashStatusCdb() { return VendorCdb(0x12); }
Cdb12 ChipEraseFlashCdb() { return VendorCdb(0x13); }
Cdb12 SectorEraseFlashCdb(std::uint32_t address) { return VendorWithAddress(0x14, address); }

int ReadFlashData(const std::string& path, std::uint32_t address, std::uint8_t* buffer,
                  std::uint32_t length) {
    return InRequestPieces(path, length, [&](std::uint32_t offset, std::uint32_t piece) {
        return ReadExact(path, ReadFlashDataCdb(address + offset), buffer + offset, piece);
    });
}

int WriteFlashData(const std::string& path, std::uint32_t address, const std::uint8_t* buffer,
                   std::uint32_t length) {
    return InRequestPieces(path, length, [&](std::uint32_t offset, std::uint32_t piece) {
        return SendOut(path, WriteFlashDataCdb(address + offset), buffer + offset, piece);
    });
}

int ReadFlashStatus(const std::string& path, std::uint8_t* status) {
    return ReadExact(path, ReadFlashStatusCdb(), status, 1);
}

int ChipEraseFlash(const std::string& path) { return SendOut(path, ChipEraseFlashCdb(), nullptr, 0); }

int SectorEraseFlash(const std::string& path, std::uint32_t address) {
    return SendOut(path, SectorEraseFlashCdb(address), nullptr, 0);
}

Cdb12 ReadFlashDirectCdb(std::uint32_t address, std::uint16_t length) {
    return DirectCdb(kDirectRead, length, 0, address, kTargetFlashRead);
}

Cdb12 WriteFlashDirectCdb(std::uint32_t address, std::uint16_t length, std::uint8_t mode) {
    return DirectCdb(static_cast<std::uint8_t>(mode & 0x87), length, 0, address, kTargetFlashWrite);
}

int ReadFlashDirect(const std::string& path, std::uint32_t address, std::uint8_t* buffer,
                    std::uint16_t length) {
    return ReadExact(path, ReadFlashDirectCdb(address, length), buffer, length);
}

int WriteFlashDirect(const std::string& path, std::uint32_t address, const std::uint8_t* buffer,
                     std::uint16_t length, std::uint8_t mode) {
    return SendOut(path, WriteFlashDirectCdb(address, length, mode), buffer, length);
}

int WriteFlashDirectErase(const std::string& path, std::uint32_t address,
                          const std::uint8_t* buffer, std::uint16_t length, bool erase) {
    return SendOut(path, WriteFlashDirectCdb(address, length, erase ? 1 : 0), buffer, length);
}

Cdb12 SpiCommandCdb(const SpiTransaction& transaction) {
    Cdb12 cdb = VendorCdb(0x20);
    std::copy(transaction.bytes.begin(), transaction.bytes.end(), cdb.begin() + 3);
    return cdb;
}

Cdb12 SpiWriteDataCdb(std::uint16_t length) {
    Cdb12 cdb = VendorCdb(0x22);
    PutBe16(&cdb[7], length);
    return cdb;
}

Cdb12 SpiReadDataCdb(std::uint8_t length) {
    Cdb12 cdb = VendorCdb(0x21);
    cdb[8] = length;
    return cdb;
}

int SpiCommand(const std::string& path, const SpiTransaction& transaction,
               const std::uint8_t* buffer, std::uint32_t length) {
    return SendOut(path, SpiCommandCdb(transaction), buffer, length);
}

int SpiWriteData(const std::string& path, const std::uint8_t* buffer, std::uint16_t length) {
    return SendOut(path, SpiWriteDataCdb(length), buffer, length);
}

int SpiWriteEnable(const std::string& path) { return SpiCommand(path, Spi(1, 0, 0x06)); }

int SpiClearStatus(const std::string& path) {
    // The write-status opcode and the value 0 also travel as the data phase.
    const std::uint8_t data[2] = {0x01, 0x00};
    return SpiCommand(path, Spi(2, 0, 0x01), data, sizeof data);
}

int PrepareFlashUpdate(const std::string& path) { return SendOut(path, VendorCdb(0x25), nullptr, 0); }

int ResetBridge(const std::string& path) {
    Cdb12 cdb = VendorCdb(0x26);
    cdb[3] = 0x56;
    cdb[4] = 0x52;
    return ReadExact(path, cdb, nullptr, 0);
}

}  // namespace v62x
