// One simulated device behind a USB mass storage function: each command
// block runs through the simulated host (or the host-stack answers of
// HostStackCommands.h) and comes back as the data and status the device
// sends. No USB here: the bulk transfers are the caller's.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "IDEAccess/Host.h"
#include "usbbridge/BulkOnly.h"
#include "usbbridge/HostStackCommands.h"

namespace v62x::sim {
class SimulatedHost;
}

namespace v62x::usb {

// The largest data phase the device takes on. Longer ones fail without a
// buffer ever being made for them (the kernel sends at most 120 KiB).
constexpr std::uint32_t kMaxDataBytes = 1024 * 1024;

// What serving one command block produced.
struct ServedCommand {
    std::vector<std::uint8_t> dataIn;  // the data-in phase (never longer than the block asked)
    // The data-in phase ends short of the length the host announced: the
    // device halts its IN endpoint before the status, so that the host does
    // not take the status for data.
    bool haltIn = false;
    CommandStatus status = CommandStatus::Passed;
    std::uint32_t residue = 0;
    Sense sense;  // what REQUEST SENSE reports next
    std::array<std::uint8_t, kStatusBytes> wrapper{};
    // The bridge restarted: it leaves the bus after the status and comes back.
    bool restart = false;
    // The device left for good (a pulled cable): it stays off the bus.
    bool gone = false;
};

class CommandServer {
public:
    // Serves the device at `path` of `host`; the host must outlive this object.
    CommandServer(sim::SimulatedHost& host, std::string path);

    // Serves `block`. `dataOut` holds what the host sent in its data-out
    // phase (bytes beyond the block's length are ignored, missing ones read
    // as 0). `nowUs`: real microseconds since serving began; the simulated
    // clock is moved up to it first, so that the device's waits pass in
    // real time. Drains the host's device events.
    ServedCommand Serve(const CommandBlock& block, std::span<const std::uint8_t> dataOut,
                        std::uint64_t nowUs);

    const std::string& path() const { return path_; }

private:
    sim::SimulatedHost& host_;
    std::string path_;
    Sense last_;
};

}  // namespace v62x::usb
