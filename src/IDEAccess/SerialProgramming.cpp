#include "IDEAccess/SerialProgramming.h"

#include <algorithm>

#include "IDEAccess/FlashCommands.h"
#include "IDEAccess/FlashIdentify.h"
#include "IDEAccess/Host.h"

namespace v62x {
namespace {

constexpr std::uint32_t kPieceSize = 8192;
constexpr std::uint32_t kSstChunk = 512;
constexpr std::uint32_t kPageChunk = 256;
constexpr std::uint32_t kMxicPageChunk = 32;
constexpr std::uint32_t kSstAddressedWordEvery = 0x4000;

void Pause() { CurrentHost().Sleep(kFlashPollMs); }

// Polls until done(status), at most kStatusPollLimit polls 10 ms apart. A
// failed read keeps the previous status (the transport hands back zeros
// then, which must not count as an answer).
template <typename Done>
int PollStatus(const std::string& path, std::uint8_t status, Done done) {
    auto read = [&path, &status]() {
        std::uint8_t answer = 0;
        if (ReadFlashStatus(path, &answer) != 0) status = answer;
    };
    read();
    for (int polls = 0; !done(status);) {
        Pause();
        read();
        if (++polls > kStatusPollLimit) return 0;
    }
    return 1;
}

}  // namespace

int SpiWriteDisable(const std::string& path) {
    const int result = SpiCommand(path, Spi(1, 0, 0x04));
    Pause();
    return result;
}

int WaitFlashStatusSet(const std::string& path, std::uint8_t mask) {
    return PollStatus(path, 0, [mask](std::uint8_t s) { return (s & mask) != 0; });
}

int WaitFlashStatusClear(const std::string& path) {
    // Until a read succeeds the status is unknown, never taken as clear.
    return PollStatus(path, 0xFF, [](std::uint8_t s) {
        return (s & (kStatusWriteEnable | kStatusProtect0)) == 0;
    });
}

int UnprotectFlash(const std::string& path) {
    int result = SpiWriteEnable(path);
    if (WaitFlashStatusSet(path, kStatusWriteEnable) == 0) result = 0;
    const int cleared = SpiClearStatus(path);  // sent whatever came before
    result = result != 0 && cleared != 0 ? 1 : 0;
    if (WaitFlashStatusClear(path) == 0) result = 0;
    return result;
}

int SstUnprotect(const std::string& path) {
    const std::uint8_t zeros[2] = {0, 0};
    SpiCommand(path, Spi(1, 0, 0x50));
    SpiCommand(path, Spi(1, 1, 0x01));
    SpiWriteData(path, zeros, sizeof zeros);
    Pause();
    const int result = SpiCommand(path, Spi(1, 0, 0x06));
    Pause();
    return result;
}

int SpiChipErase(const std::string& path) {
    SstUnprotect(path);
    const int result = SpiCommand(path, Spi(1, 0, 0xC7));
    SpiWriteDisable(path);
    return result;
}

int SpiPageProgram(const std::string& path, std::uint32_t address, const std::uint8_t* buffer,
                   std::uint32_t total, std::uint32_t chunk) {
    if (chunk == 0) return 0;
    int result = 0;
    const std::uint32_t chunks = total / chunk;
    for (std::uint32_t i = 0; i < chunks && (i == 0 || result != 0); ++i) {
        Pause();
        SpiCommand(path, Spi(1, 0, 0x06));
        Pause();
        result = SpiCommand(path, SpiWithAddress(1, 0x02, address));
        if (result != 0) {
            result = SpiWriteData(path, buffer + std::size_t{i} * chunk,
                                  static_cast<std::uint16_t>(chunk));
        }
        if (result != 0) address += chunk;
    }
    return result;
}

int SstByteProgram(const std::string& path, std::uint32_t address, const std::uint8_t* buffer,
                   std::uint32_t total, std::uint32_t chunk) {
    if (chunk == 0) return 0;
    int result = 0;
    const std::uint32_t chunks = total / chunk;
    for (std::uint32_t i = 0; i < chunks && (i == 0 || result != 0); ++i) {
        const std::uint8_t* piece = buffer + std::size_t{i} * chunk;
        // Each chunk restarts byte programming at its own address: the
        // previous chunk's programming mode must end first, or the chip
        // would take the new address bytes as data.
        if (i > 0) SpiWriteDisable(path);
        SstUnprotect(path);
        result = SpiCommand(path, SpiWithAddress(1, 0xAF, address));
        if (result != 0) {
            // A single byte travels as two; the chip takes the first.
            const std::uint8_t first[2] = {piece[0], 0x00};
            result = SpiWriteData(path, first, sizeof first);
        }
        for (std::uint32_t j = 1; j < chunk && result != 0; ++j) {
            result = SpiCommand(path, Spi(2, 0, 0xAF, {piece[j]}));
        }
        if (result != 0) address += chunk;
    }
    SpiWriteDisable(path);
    return result;
}

int SstWordProgram(const std::string& path, std::uint32_t address, const std::uint8_t* buffer,
                   std::uint32_t total, std::uint32_t chunk) {
    if (chunk < 2) return 0;
    int result = 0;
    const std::uint32_t chunks = total / chunk;
    for (std::uint32_t i = 0; i < chunks && (i == 0 || result != 0); ++i) {
        const std::uint8_t* piece = buffer + std::size_t{i} * chunk;
        const bool addressed = address % kSstAddressedWordEvery == 0;
        // The addressed form starts word programming anew; a running one
        // must end first, or the chip would take the address bytes as data.
        if (addressed) SpiWriteDisable(path);
        SstUnprotect(path);
        result = addressed
                     ? SpiCommand(path, SpiWithAddress(1, 0xAD, address))
                     : SpiCommand(path, Spi(1, 1, 0xAD));
        if (result != 0) result = SpiWriteData(path, piece, 2);
        for (std::uint32_t j = 1; j < chunk / 2 && result != 0; ++j) {
            result = SpiCommand(path, Spi(3, 0, 0xAD, {piece[2 * j], piece[2 * j + 1]}));
        }
        if (result != 0) address += chunk;
    }
    return result;
}

int EndSstProgram(const std::string& path) { return SpiWriteDisable(path); }

int SpiProgramRange(const std::string& path, std::uint32_t address, const std::uint8_t* buffer,
                    std::uint32_t length, int flashTypeCode, bool wordMode) {
    std::uint32_t remaining = length;
    std::uint32_t done = 0;
    int result = 0;
    while (remaining > 0) {
        const std::uint32_t piece = std::min(remaining, kPieceSize);
        WaitFlashReady(path);
        int step = 0;
        if (flashTypeCode == kFlashSst) {
            if (wordMode) {
                step = SstWordProgram(path, address + done, buffer + done, piece, kSstChunk);
                // Word programming ends with the last piece, or with a failure
                // (the chip must not stay in its programming mode). A failed
                // piece stays a failure whatever the ending answers.
                if (remaining == piece || step == 0) {
                    const int ended = EndSstProgram(path);
                    step = step != 0 && ended != 0 ? 1 : 0;
                }
            } else {
                step = SstByteProgram(path, address + done, buffer + done, piece, kSstChunk);
            }
        } else {
            const std::uint32_t chunk = flashTypeCode == kFlashMxic ? kMxicPageChunk : kPageChunk;
            step = SpiPageProgram(path, address + done, buffer + done, piece, chunk);
        }
        if (step == 0) return 0;
        done += piece;
        Pause();
        result = 1;
        remaining -= piece;
    }
    return result;
}

int WaitFlashReady(const std::string& path) {
    auto busy = [&path]() {
        std::uint8_t status = 0;
        return ReadFlashStatus(path, &status) == 0 || (status & kStatusBusy) != 0;
    };
    if (!busy()) return 1;
    for (int reread = 1; reread <= kReadyPollLimit + 2; ++reread) {
        Pause();
        if (!busy()) return reread <= kReadyPollLimit ? 1 : 0;
    }
    return 0;
}

}  // namespace v62x
