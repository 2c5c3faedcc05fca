// Checks of a firmware image that belong to the window and its procedures:
// the optional 8-bit checksum, the leading 4 KiB NVRAM block, the end
// marker, and the CRC-16 bank check of the two-bank chips.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace v62x {

// The 64 KiB bank image of the two-bank chip: code below kBankCodeSize with
// its tag block at kBankTrailer and a CRC-16 over the bytes below
// kBankCrcCovered, stored high byte first at kBankCrcAt; the NVRAM follows
// the code.
inline constexpr std::uint32_t kBankTrailer = 0xBFF0;
inline constexpr std::uint32_t kBankCrcCovered = 0xBFFC;
inline constexpr std::uint32_t kBankCrcAt = 0xBFFE;
inline constexpr std::uint32_t kBankCodeSize = 0xC000;
inline constexpr std::uint32_t kBankSize = 0x10000;        // one bank
inline constexpr std::uint32_t kBankFlashSize = 0x20000;   // the flash of two banks

// Non-zero when the image carries the leading 4 KiB block (its tag block
// sits at 0x1000), or for kind 10 the E9 AC 67 32 block at 0x80.
int FileHasNvramBlock(const std::string& fileName, std::uint8_t chipKind);
// Non-zero when the image's 8-bit sum matches its checksum byte (or the
// image carries the leading block). Files below 32768 bytes fail.
int FileChecksumOk(const std::string& fileName, std::uint16_t chip);
// The same two checks on bytes already read.
int ImageHasNvramBlock(const std::uint8_t* bytes, std::size_t length, std::uint8_t chipKind);
int ImageChecksumOk(const std::vector<std::uint8_t>& image, std::uint16_t chip);
// The length up to and including the "ENDSTR" 55 AA marker within the
// first n bytes; n when there is none.
std::size_t FindEndMarker(const std::uint8_t* bytes, std::size_t n);
// CRC-16 (polynomial 0x1021) over whole 4-byte groups, each group fed as a
// little-endian 32-bit word from its most significant end.
std::uint16_t ImageCrc16(const std::uint8_t* bytes, std::size_t length, std::uint16_t start);
// Non-zero when a 64 KiB bank image of a kind-12 chip carries its trailer
// and a correct CRC. Other kinds: 0.
int BankImageValid(const std::uint8_t* image64k, std::uint8_t chipKind);

}  // namespace v62x
