// The commands a bridge answers about itself, and bridge-memory access.
// Every command opens and closes the device through the transport and
// returns 1 on success, 0 on failure, unless it says otherwise. A read
// fails when fewer bytes arrive than it asks for, unless its comment names
// the shorter answers it takes.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace v62x {

using Cdb12 = std::array<std::uint8_t, 12>;

// Vendor layout: FF 04 <sub-command> <parameters...>.
Cdb12 VendorCdb(std::uint8_t subCommand);
// Direct layout: DF <mode> 00 <length:2> 00 <memory address:2> <flash address:3> <target>.
Cdb12 DirectCdb(std::uint8_t mode, std::uint16_t length, std::uint16_t memoryAddress,
                std::uint32_t flashAddress, std::uint8_t target);

// Direct-layout targets.
constexpr std::uint8_t kTargetFlashRead = 0xFA;
constexpr std::uint8_t kTargetFlashWrite = 0xFB;
constexpr std::uint8_t kTargetMemoryRead = 0xFD;
constexpr std::uint8_t kTargetMemoryWrite = 0xFE;
constexpr std::uint8_t kTargetChipId = 0xFF;
constexpr std::uint8_t kDirectRead = 0x10;

Cdb12 VendorModeOnCdb();
Cdb12 VendorModeOffCdb();
Cdb12 InquiryCdb(std::uint8_t length);
Cdb12 ReadChipIdWordCdb();
Cdb12 GetChipInfoCdb();
Cdb12 ReadChipTagCdb();
Cdb12 GetBridgeStatusCdb(std::uint8_t length);
Cdb12 ReadBridgeMemoryCdb(std::uint16_t address, std::uint16_t length);
Cdb12 WriteBridgeMemoryCdb(std::uint16_t address, std::uint16_t length);

int VendorModeOn(const std::string& path);
int VendorModeOff(const std::string& path);
// Standard INQUIRY for `length` bytes, sent as a 12-byte CDB. Devices answer
// with as many bytes as they have, so any count is an answer: transferred
// tells how many arrived (at most length); bytes beyond it read as zeros and
// are not the device's. Only the 40-byte answer of a bridge carries its tag.
int Inquiry(const std::string& path, std::uint8_t* buffer, std::uint8_t length,
            std::uint32_t& transferred);
int Inquiry(const std::string& path, std::uint8_t* buffer, std::uint8_t length);
int ReadChipIdWord(const std::string& path, std::uint8_t* buffer2);
// The chip information record, which bridges deliver as 12 or 16 bytes: at
// least 12 must arrive (fewer is no record). transferred = bytes the bridge
// delivered, at most length; use no byte at or beyond it.
int GetChipInfo(const std::string& path, std::uint8_t* buffer, std::uint32_t length,
                std::uint32_t& transferred);
constexpr std::uint32_t kChipInfoMinimum = 12;
// The chip tag: an 8-byte answer read into a buffer of length bytes (at
// least 8); the 8 tag bytes must arrive, bytes beyond them read as zeros.
int ReadChipTag(const std::string& path, std::uint8_t* buffer, std::uint32_t length);
constexpr std::uint32_t kChipTagLength = 8;
// Reads the bridge status record of length bytes; returns its byte 8 when
// the request succeeds and the whole record arrives, else 0 (a failure
// cannot be told from a zero byte).
std::uint8_t GetBridgeStatus(const std::string& path, std::uint8_t* record, std::uint8_t length);
int ReadBridgeMemory(const std::string& path, std::uint8_t* buffer, std::uint16_t address,
                     std::uint16_t length);
int WriteBridgeMemory(const std::string& path, const std::uint8_t* buffer,
                      std::uint16_t address, std::uint16_t length);

// The chip information record's marker (an echo of the request's bytes 1, 2).
constexpr std::uint8_t kChipInfoMarker0 = 0xF4;
constexpr std::uint8_t kChipInfoMarker1 = 0xE7;

// Bridge-memory registers.
constexpr std::uint16_t kScratchRegister = 0x506A;
constexpr std::uint16_t kFlashModeRegister = 0x505E;
constexpr std::uint16_t kChipRevisionRegister = 0xFDB0;
constexpr std::uint16_t kFlashFlagWordA = 0x7038;
constexpr std::uint16_t kFlashFlagWordB = 0x70F0;
constexpr std::uint16_t kFirmwareSignature = 0xC000;

}  // namespace v62x
