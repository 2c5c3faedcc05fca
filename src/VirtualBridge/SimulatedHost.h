// The simulated host: virtual bridges and ordinary disks behind the same
// host seam as real hardware, with a virtual clock, a command log, device
// arrival and removal, and fault injection.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "IDEAccess/Host.h"
#include "VirtualBridge/FaultRule.h"
#include "VirtualBridge/VirtualDevice.h"

namespace v62x::sim {

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

// The USB vendor and product ID of every simulated USB bridge: the pair
// v62x-usb-bridge serves them with.
constexpr std::uint16_t kUsbVendorId = 0x1d6b;
constexpr std::uint16_t kUsbProductId = 0x0104;

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
    // SaveImages, which the program calls at its end (nothing is written
    // when the host is destroyed). Refused with a reason, and the file left
    // alone, when the device has no store or one above kMaxImageBytes, the
    // file is attached already, or it is not a regular file, cannot be read
    // or its size differs from the store's.
    // The file also stands for the bridge between programs: a claim
    // (ClaimDevice) locks it, see there.
    bool AttachImage(const std::string& path, const std::string& file, std::string& error);
    // Writes every attached image whose store this host changed, and every
    // one that did not exist yet (each through a temporary file renamed over
    // it); an image left unchanged is not touched, so that a program that
    // did nothing to a bridge never overwrites what another one wrote. False
    // with the reasons when any could not be written.
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
    // Claims are held per path in this host. On a device with an image file
    // the claim also takes an exclusive advisory lock (flock) on the file,
    // held until the release: while another open file holds that lock (as a
    // rule another program on the same image), the claim answers EBUSY, and
    // this host's exclusive opens of the device fail with EBUSY and are
    // listed by TakeBusyRefusals; shared opens still work. An exclusive open
    // without this host's claim takes the lock for the command itself. An
    // image file that does not exist yet is not locked.
    int ClaimDevice(const std::string& path) override;
    void ReleaseDevice(const std::string& path) override;
    std::vector<std::string> TakeBusyRefusals() override;
    // The device's maxTransfer; 0 for a path the host does not know.
    std::uint32_t MaxTransferBytes(const std::string& path) override;
    // kUsbVendorId:kUsbProductId for a device on USB.
    bool UsbIds(const std::string& path, std::uint16_t& vendor, std::uint16_t& product) override;

    // Developer traces written so far (also echoed to stderr when enabled).
    const std::vector<std::string>& Traces() const;
    void SetEchoTraces(bool echo);
    void SetTraceEnabled(bool enabled) override { SetEchoTraces(enabled); }

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace v62x::sim
