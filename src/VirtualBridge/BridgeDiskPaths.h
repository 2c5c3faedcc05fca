// The commands that reach the disk behind a device: the standard SCSI
// capacity, read and write commands (any disk answers them), and on a
// bridge also the ATA commands it runs on the drive, carried by its direct
// command layout (0xDF with an ATA command code in byte 11) or by ATA
// PASS-THROUGH (12) and (16).
//
// Reach: the standard commands address the host-visible area, and the
// reserved area beyond it only where the bridge lets them
// (DiskConfig::reservedOpenToScsi); ATA commands go to the drive itself and
// reach all of it. An address outside what a command reaches ends with
// ILLEGAL REQUEST, LOGICAL BLOCK ADDRESS OUT OF RANGE (21/00).
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "IDEAccess/Host.h"
#include "VirtualBridge/AttachedDisk.h"

namespace v62x::sim {

// What the device puts between the host and its disk.
struct DiskRoute {
    AttachedDisk* disk = nullptr;  // null: no medium (NOT READY, 3A/00)
    bool bridge = false;           // the direct layout and ATA PASS-THROUGH are offered
};

// Runs `cdb` when it is one of the commands above and returns the device's
// reply; nullopt when it is none of them (the device answers it otherwise).
// data/length are the host's transfer buffer (data null means length 0).
std::optional<HostReply> RunDiskCommand(const DiskRoute& route,
                                        const std::array<std::uint8_t, 16>& cdb,
                                        DataDirection direction, std::uint8_t* data,
                                        std::uint32_t length);

}  // namespace v62x::sim
