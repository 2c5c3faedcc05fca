// Faults the simulated host injects into the commands it passes to its
// devices: set up by tests through SimulatedHost::AddFault, or by the
// fault= key of a V62X_SIMULATE entry (carried in the device's DeviceConfig).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "IDEAccess/Host.h"

namespace v62x::sim {

enum class FaultKind {
    OpenFailure,     // the device cannot be opened (as if gone)
    Transport,       // the request does not complete at host level
    CheckCondition,  // the device ends the command with CHECK CONDITION
    // The command runs, but only part of its data phase moves (the first
    // transferLimit bytes, or half of the request's length with
    // halfTransfer): a read leaves the rest of the host buffer as it was, a
    // write hands the device zeros in place of the bytes that did not
    // arrive; the reply counts the bytes that moved.
    ShortTransfer,
    // The command runs normally; right after it the device is unplugged
    // (removal event, every later command fails to open) until Replug.
    Disappear,
    // The cable is pulled as the command is sent: it fails to open, as does
    // every later one, and a removal event is posted. The device loses
    // power at that moment: an erase or program its flash is still busy
    // with is left partly done. Replug brings it back powered up.
    Cut,
};

// Injects a fault into matching commands. A command matches when its device
// path equals `path` (empty: any device), its CDB starts with `prefix`
// (empty: any CDB), when `dataPhase` is set it moves data in that direction
// (a data-out phase: a write), and when `deviceCommand` is set it is that
// request (1-based) among all the host was sent for its device's path since
// the host was made. An nth of 0 hits every matching command; any other nth
// hits only the matching command of that number, counted from when the rule
// was added. Faults hit commands that reach a present device the host may
// open; the device never sees a command hit by OpenFailure, Transport,
// CheckCondition or Cut.
// (Fields are in this order for aggregate initialisation; new ones go last.)
struct FaultRule {
    std::string path;
    std::vector<std::uint8_t> prefix;
    int nth = 0;
    FaultKind kind = FaultKind::Transport;
    std::uint8_t senseKey = scsi::kSenseIllegalRequest;
    std::uint8_t asc = 0x20;
    std::uint8_t ascq = 0x00;
    std::optional<DataDirection> dataPhase;
    std::uint32_t transferLimit = 0;  // ShortTransfer: bytes that move
    std::uint64_t deviceCommand = 0;  // 0: any request
    bool halfTransfer = false;        // ShortTransfer: half the length moves, not transferLimit
};

}  // namespace v62x::sim
