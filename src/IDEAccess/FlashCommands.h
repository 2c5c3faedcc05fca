// Commands that read, erase and write the bridge's firmware store: the
// internal-ROM loader (parallel flash), the flash block commands the bridge
// firmware carries out itself, the direct flash read and write, and the
// serial transaction primitives that drive a serial flash opcode by opcode.
// Every command returns 1 on success and 0 on failure unless it says otherwise;
// a read fails unless every byte it asks for arrives.
#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>
#include <string>

#include "IDEAccess/ChipCommands.h"

namespace v62x {

// The 9-byte serial transaction descriptor of sub-command 0x20.
struct SpiTransaction {
    std::array<std::uint8_t, 9> bytes{};
};

// count: bytes clocked out before any data phase (opcode and what follows);
// dataFollows: 1 when a data phase follows in a separate command.
SpiTransaction Spi(std::uint8_t count, std::uint8_t dataFollows, std::uint8_t opcode,
                   std::initializer_list<std::uint8_t> parameters = {});
// The opcode followed by a 24-bit address, high byte first.
SpiTransaction SpiWithAddress(std::uint8_t dataFollows, std::uint8_t opcode, std::uint32_t address);

// The parallel flash's command-cycle addresses by the operator's type index:
// 0 and 2 use 0x5555 / 0x2AAA, 1 uses 0x0555 / 0x02AA, others send zeros.
std::array<std::uint8_t, 9> RomProgramSequence(int type);
std::array<std::uint8_t, 18> RomEraseSequence(int type);

// Internal-ROM loader.
Cdb12 SwitchToInternalRomCdb();
Cdb12 ReadRomBusyCdb();
Cdb12 StartRomEraseCdb();
Cdb12 ReadRomCdb(std::uint32_t address);
Cdb12 ProgramRomCdb(int type);
Cdb12 LoadRomEraseSequenceCdb();

int SwitchToInternalRom(const std::string& path);
// 1 (busy) when the request fails, its byte does not arrive or the byte is
// 1; 0 otherwise.
int ReadRomBusy(const std::string& path);
int StartRomErase(const std::string& path);
int ReadRom(const std::string& path, std::uint32_t address, std::uint8_t* buffer, std::uint32_t length);
int ProgramRom(const std::string& path, const std::uint8_t* buffer, std::uint32_t length, int type);
int LoadRomEraseSequence(const std::string& path, int type);

// Flash block commands.
Cdb12 ReadFlashDataCdb(std::uint32_t address);
Cdb12 WriteFlashDataCdb(std::uint32_t address);
Cdb12 ReadFlashStatusCdb();
Cdb12 ChipEraseFlashCdb();
Cdb12 SectorEraseFlashCdb(std::uint32_t address);

int ReadFlashData(const std::string& path, std::uint32_t address, std::uint8_t* buffer,
                  std::uint32_t length);
int WriteFlashData(const std::string& path, std::uint32_t address, const std::uint8_t* buffer,
                   std::uint32_t length);
int ReadFlashStatus(const std::string& path, std::uint8_t* status);
int ChipEraseFlash(const std::string& path);
int SectorEraseFlash(const std::string& path, std::uint32_t address);

// Direct flash read and write.
Cdb12 ReadFlashDirectCdb(std::uint32_t address, std::uint16_t length);
Cdb12 WriteFlashDirectCdb(std::uint32_t address, std::uint16_t length, std::uint8_t mode);

int ReadFlashDirect(const std::string& path, std::uint32_t address, std::uint8_t* buffer,
                    std::uint16_t length);
// mode: erase selector in bits 0..2, bit 7 for MXIC flash; bits 3..6 are never sent.
int WriteFlashDirect(const std::string& path, std::uint32_t address, const std::uint8_t* buffer,
                     std::uint16_t length, std::uint8_t mode);
int WriteFlashDirectErase(const std::string& path, std::uint32_t address,
                          const std::uint8_t* buffer, std::uint16_t length, bool erase);

// Serial transaction primitives.
Cdb12 SpiCommandCdb(const SpiTransaction& transaction);
Cdb12 SpiWriteDataCdb(std::uint16_t length);
Cdb12 SpiReadDataCdb(std::uint8_t length);

int SpiCommand(const std::string& path, const SpiTransaction& transaction,
               const std::uint8_t* buffer = nullptr, std::uint32_t length = 0);
int SpiWriteData(const std::string& path, const std::uint8_t* buffer, std::uint16_t length);
int SpiWriteEnable(const std::string& path);
int SpiClearStatus(const std::string& path);
int PrepareFlashUpdate(const std::string& path);
// The bridge restarts; its disk leaves and re-attaches.
int ResetBridge(const std::string& path);

// Flash status register bits.
constexpr std::uint8_t kStatusBusy = 0x01;
constexpr std::uint8_t kStatusWriteEnable = 0x02;
constexpr std::uint8_t kStatusProtect0 = 0x04;

}  // namespace v62x
