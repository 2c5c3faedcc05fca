// Identification of the serial flash behind a bridge (maker, opcodes, size)
// and the commands that hand the detected parameters to the bridge.
#pragma once

#include <cstdint>
#include <string>

#include "IDEAccess/ChipCommands.h"

namespace v62x {

// Flash type codes as the bridge and the tool number the makers.
enum FlashTypeCode : std::uint8_t {
    kFlashUnknown = 0,
    kFlashPmc = 1,
    kFlashSst = 2,
    kFlashStEonMxic = 3,
    kFlashAtmel = 4,
    kFlashMxic = 5,
    kFlashWinbond = 6,
    kFlashAmic = 7,
    kFlashEon = 8,
    kFlashEsmt = 9,
    kFlashSanyo = 10,
};

// The serial-flash parameter record. Zero-initialised by its owner.
struct FlashProfile {
    std::uint8_t ChipEraseOp = 0;
    std::uint8_t BlockEraseOp = 0;
    std::uint8_t ProgramOp = 0;
    std::uint8_t FlashType = 0;
    std::uint8_t SectorEraseOp = 0;
    std::uint32_t SizeKB = 0;
};

Cdb12 GetFlashVendorCdb();
Cdb12 SpiQueryOpcodeCdb(std::uint8_t opcode);
Cdb12 SpiReadIdCdb(std::uint8_t opcode, bool dummy);
Cdb12 SetFlashOpcodesCdb(const FlashProfile& profile);
Cdb12 SetFlashPageSizeCdb(std::uint32_t size);
Cdb12 SetFlashParamsCdb(const FlashProfile& profile, std::uint32_t size);
Cdb12 SetFlashParamsWideCdb(const FlashProfile& profile, std::uint32_t size);

// The identification queries below fail unless their whole answer arrives;
// the settings commands take any answer (its bytes are never used).

// Byte 0 of the answer: the flash type code the bridge firmware detected.
int GetFlashVendor(const std::string& path, std::uint8_t* buffer4);
// Sends one opcode to the flash and reads length answer bytes (at most 255).
int SpiQuery(const std::string& path, std::uint8_t opcode, std::uint8_t* buffer, std::uint8_t length);
int SpiReadId(const std::string& path, std::uint8_t* buffer3, std::uint8_t opcode, bool dummy);
// Probe codes; kNotThatMaker when the flash does not answer as that maker's.
constexpr int kNotThatMaker = -1;
int ProbeAmicFlash(const std::string& path);
int ProbeAtmelFlash(const std::string& path);
int SetFlashOpcodes(const std::string& path, const FlashProfile& profile);
int SetFlashOpcodesNoData(const std::string& path, const FlashProfile& profile);
int SetFlashPageSize(const std::string& path, std::uint32_t size, std::uint32_t answerLength);
int SetFlashParams(const std::string& path, const FlashProfile& profile, std::uint32_t size);
int SetFlashParamsWide(const std::string& path, const FlashProfile& profile, std::uint32_t size);

// Fills the profile's type and opcodes. 1 when identified (or when the
// flash did not answer the first query at all), 0 when not identified.
int DetectSerialFlash(const std::string& path, FlashProfile& profile);
// Fills the profile's size in KiB (64 when nothing tells otherwise). 1 when
// every query the size rules needed was answered; 0 when one failed (the
// size then rests on the others, or the default, and must not be trusted).
// Sizes come only from the makers' tables: a JEDEC capacity code is taken
// in 0x10..0x16 or 0x10..0x17 (64 KiB .. 4 or 8 MiB, inside the 24-bit
// flash addresses); any other code, or an answer that does not arrive
// whole, leaves the size the rules gave before it.
int DetectFlashSize(const std::string& path, FlashProfile& profile);

}  // namespace v62x
