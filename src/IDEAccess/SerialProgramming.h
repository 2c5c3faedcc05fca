// Serial-flash routines built from the serial transaction primitives, and
// the bounded waits that run between flash commands. Each returns 1 on
// success and 0 on failure. Every wait sleeps through the host.
#pragma once

#include <cstdint>
#include <string>

namespace v62x {

int SpiWriteDisable(const std::string& path);
// Polls the flash status until a bit of mask is set (at most 300 polls 10 ms apart).
int WaitFlashStatusSet(const std::string& path, std::uint8_t mask);
// Polls until the write-enable latch and the lowest protection bit are clear.
int WaitFlashStatusClear(const std::string& path);
int UnprotectFlash(const std::string& path);
int SstUnprotect(const std::string& path);
int SpiChipErase(const std::string& path);
// Programs whole chunks only: total / chunk chunks from buffer at address.
int SpiPageProgram(const std::string& path, std::uint32_t address, const std::uint8_t* buffer,
                   std::uint32_t total, std::uint32_t chunk);
int SstByteProgram(const std::string& path, std::uint32_t address, const std::uint8_t* buffer,
                   std::uint32_t total, std::uint32_t chunk);
// Leaves the chip in word-programming mode; end it with EndSstProgram.
int SstWordProgram(const std::string& path, std::uint32_t address, const std::uint8_t* buffer,
                   std::uint32_t total, std::uint32_t chunk);
int EndSstProgram(const std::string& path);
// Writes length bytes in 8 KiB pieces with the programming form of the
// flash type (SST byte or word programming, page programming otherwise).
int SpiProgramRange(const std::string& path, std::uint32_t address, const std::uint8_t* buffer,
                    std::uint32_t length, int flashTypeCode, bool wordMode);

// Waits until the flash is no longer busy, at most about 5 s. A status that
// cannot be read counts as busy.
int WaitFlashReady(const std::string& path);

constexpr unsigned kFlashPollMs = 10;
constexpr int kStatusPollLimit = 300;
constexpr int kReadyPollLimit = 500;

}  // namespace v62x
