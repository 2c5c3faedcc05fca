// The tool's state records: what the identification learned about the
// selected bridge, the options, and the flash settings runs start from. The
// window owns them; procedures read and write them by reference.
#pragma once

#include <array>
#include <cstdint>

#include "Fwupdate/DeviceRefresh.h"
#include "IDEAccess/FirmwareFile.h"

namespace v62x {

struct IdentificationState {
    std::uint8_t ChipKind = 0;
    std::uint8_t ChipRevision = 0;
    std::int32_t FlashTypeCode = 0;
    std::int32_t AmicProbe = -1;
    std::int32_t AtmelProbe = -1;
    std::int32_t SstSerialFlag = 0;
    std::int32_t FlashSizeKB = 0;       // not reset by a new identification
    std::int32_t HddFwIndicator = 0;    // not reset by a new identification
    std::int32_t IncludeNvram = 1;      // the operator's "Include 4K NVRAM" choice
    std::int32_t EraseOnlyFlag = 0;     // copy of "Erase All Flash Only "
    std::int32_t NvramInImage = 0;      // the firmware file carries a 4 KiB NVRAM block ahead of its code
    // A flash identification or size query failed twice: what the flash
    // holds and how much of it to write is unknown, so nothing is written.
    std::int32_t FlashQueryFailed = 0;
};

// The flash settings a run starts from: the window's or the command line's
// choices (firmware size, bytes per command) and the erase sizes the chip
// check learned.
struct FlashSettings {
    std::int32_t FirmwareSize = 65536;   // selected flash size in bytes
    std::int32_t ProgramChunk = 8192;    // bytes per flash read or write command
    std::int32_t BlockEraseSize = 32768;
    std::int32_t SectorEraseSize = 4096;
};

// The bytes per command the page-size list offers, in its order.
inline constexpr std::array<std::int32_t, 5> kPageSizeChoices = {32768, 16384, 8192, 4096, 2048};

// A run's flash geometry: a copy of the settings, which the procedure may
// change for itself, and the erase cursors of the run.
struct FlashGeometry : FlashSettings {
    std::int32_t NextBlockIndex = 0;     // large units already erased from address 0
    std::int32_t NextSectorIndex = 0;    // small units already erased from address 0
};

// Everything the window keeps between events.
struct ToolState {
    DeviceTable devices;
    IdentificationState id;
    std::uint16_t currentChip = 0;  // the last identification result
    // The firmware file as the last chip check read and accepted it (not
    // loaded when it rejected the file or none was given). A run programs
    // these bytes, never the file read again.
    FirmwareImage firmware;
    FlashSettings flash;
};

}  // namespace v62x
