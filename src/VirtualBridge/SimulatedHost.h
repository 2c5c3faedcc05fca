// The simulated host: virtual bridges and ordinary disks behind the same
// host seam as real hardware, with a virtual clock, a command log, device
// arrival and removal, and fault injection.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "IDEAccess/Host.h"
#include "VirtualBridge/VirtualDevice.h"

namespace v62x::sim {

enum class FaultKind {
    OpenFailure,     // the device cannot be opened (as if gone)
    Transport,       // the request does not complete at host level
    CheckCondition,  // the device ends the command with CHECK CONDITION
};

// Injects a fault into matching commands. A command matches when its device
// path equals `path` (empty: any device) and its CDB starts with `prefix`
// (empty: any CDB). nth = 0 hits every matching command; nth = N hits only
// the N-th matching command counted from when the rule was added.
struct FaultRule {
    std::string path;
    std::vector<std::uint8_t> prefix;
    int nth = 0;
    FaultKind kind = FaultKind::Transport;
    std::uint8_t senseKey = scsi::kSenseIllegalRequest;
    std::uint8_t asc = 0x20;
    std::uint8_t ascq = 0x00;
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

    std::uint64_t NowMs() const;
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
