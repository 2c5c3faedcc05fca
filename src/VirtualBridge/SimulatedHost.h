// The simulated host: virtual bridges and ordinary disks behind the same
// host seam as real hardware, with a virtual clock, a command log, device
// arrival and removal, and fault injection.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "IDEAccess/Host.h"
#include "VirtualBridge/VirtualDevice.h"

namespace v62x::sim {

enum class FaultKind {
    OpenFailure,     // the device cannot be opened (as if gone)
    Transport,       // the request does not complete at host level
    CheckCondition,  // the device ends the command with CHECK CONDITION
    // The command runs, but only the first transferLimit bytes of its data
    // phase move: a read leaves the rest of the host buffer as it was, a
    // write hands the device zeros in place of the bytes that did not
    // arrive; the reply counts the bytes that moved.
    ShortTransfer,
    // The command runs normally; right after it the device is unplugged
    // (removal event, every later command fails to open) until Replug.
    Disappear,
};

// Injects a fault into matching commands. A command matches when its device
// path equals `path` (empty: any device), its CDB starts with `prefix`
// (empty: any CDB) and, when `dataPhase` is set, it moves data in that
// direction (a data-out phase: a write). nth = 0 hits every matching
// command; nth = N hits only the N-th matching command counted from when the
// rule was added. Faults hit commands that reach a present device the host
// may open; the device never sees a command hit by OpenFailure, Transport or
// CheckCondition.
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
};

// One command as the simulated host saw it.
struct LogEntry {
    std::string path;
    std::vector<std::uint8_t> cdb;
    DataDirection direction = DataDirection::In;
    std::uint32_t length = 0;
    std::uint32_t timeoutSeconds = 0;
    OpenMode open = OpenMode::Shared;
    HostReply reply;
};

// Virtual microseconds one pass-through command with `length` data bytes
// costs on the bus, besides what the device does with it.
std::uint64_t CommandCostUs(std::uint32_t length);

class SimulatedHost : public Host {
public:
    SimulatedHost();
    ~SimulatedHost() override;
    SimulatedHost(const SimulatedHost&) = delete;
    SimulatedHost& operator=(const SimulatedHost&) = delete;

    // Adds a device; an empty config path gets the next free /dev/sdX
    // (disk class) or /dev/srN (CD-ROM class). Posts an arrival event.
    VirtualDevice& AddDevice(const DeviceConfig& config);
    VirtualDevice* Find(const std::string& path);
    std::vector<VirtualDevice*> Devices();

    // Removes a device from view (removal event) and brings it back
    // (arrival event) with its state intact.
    void Unplug(const std::string& path);
    void Replug(const std::string& path);

    // Extra mounted volumes that belong to no simulated device (the root
    // file system, network shares).
    void AddVolume(const MountedVolume& volume);

    void AddFault(const FaultRule& rule);
    void ClearFaults();

    // Keeps the firmware store of the device at `path` (its flash chip, or
    // on a device without flash the reserved area of its disk) in `file`:
    // loaded now when the file exists (the device then starts again, as if
    // switched on with that store, without leaving the bus), written back by
    // SaveImages and when the host is destroyed. Refused with a reason, and the file left alone,
    // when the device has no store, the file is attached already, or it
    // cannot be read or its size differs from the store's.
    bool AttachImage(const std::string& path, const std::string& file, std::string& error);
    // Writes every attached image (each through a temporary file renamed
    // over it); false with the reasons when any could not be written.
    bool SaveImages(std::string& error);
    // Forgets every attached image without writing it.
    void DetachImages();

    // Virtual time: sleeps advance it, and so does every command (its
    // transfer at USB 2.0 speed, see CommandCostUs, and the device's own work).
    std::uint64_t NowMs() const;
    VirtualClock& Clock();

    // Power removed and restored: the device leaves (removal event), comes
    // back as at power-up with its flash contents (arrival event).
    void PowerCycle(const std::string& path);

    const std::vector<LogEntry>& Log() const;
    void ClearLog();

    // Host seam
    HostReply PassThrough(const HostRequest& request) override;
    bool DeviceNumber(const std::string& path, StorageDeviceNumber& out) override;
    std::vector<Candidate> ListCandidates(DeviceClass cls) override;
    std::vector<MountedVolume> ListMountedVolumes() override;
    bool IsOnIeee1394(const std::string& path) override;
    void Sleep(unsigned milliseconds) override;
    void Trace(const std::string& text) override;
    int WatchDescriptor() override;
    std::vector<DeviceEvent> DrainDeviceEvents() override;
    std::vector<std::string> TakePermissionRefusals() override;

    // Developer traces written so far (also echoed to stderr when enabled).
    const std::vector<std::string>& Traces() const;
    void SetEchoTraces(bool echo);
    void SetTraceEnabled(bool enabled) override { SetEchoTraces(enabled); }

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace v62x::sim
