// The two transfers of a 12-byte vendor command block that the chip and
// flash commands share.
#pragma once

#include <cstdint>
#include <string>

#include "IDEAccess/ChipCommands.h"
#include "IDEAccess/Transport.h"

namespace v62x {

// A read of a fixed-size answer: every asked byte must arrive (a command
// without data phase asks none).
inline int ReadExact(const std::string& path, const Cdb12& cdb, std::uint8_t* buffer, std::uint32_t length) {
    return ScsiReadExact(path, cdb.data(), cdb.size(), buffer, length);
}

// Sends `length` bytes of `buffer` with the command.
inline int SendOut(const std::string& path, const Cdb12& cdb, const std::uint8_t* buffer, std::uint32_t length) {
    std::uint32_t transferred = 0;
    return ScsiPassThroughOut(path, cdb.data(), cdb.size(), buffer, length, transferred);
}

}  // namespace v62x
