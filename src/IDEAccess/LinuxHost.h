// The Linux host: SG_IO pass-through on the SCSI generic or block node,
// libudev enumeration and watching, the mount table, the device number by
// stat() and sysfs.
//
// The exclusive claim keeps one descriptor open on the claimed node: a SCSI
// generic node opened with O_EXCL (the sg driver then refuses every other
// open with EBUSY), a block node with an exclusive flock() (O_EXCL would
// fail on a mounted disk). Requests to a claimed path go through that
// descriptor. Claims, refusals and requests may come from several threads.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "IDEAccess/Host.h"

namespace v62x {

class LinuxHost : public Host {
public:
    LinuxHost();
    ~LinuxHost() override;
    LinuxHost(const LinuxHost&) = delete;
    LinuxHost& operator=(const LinuxHost&) = delete;

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
    int ClaimDevice(const std::string& path) override;
    void ReleaseDevice(const std::string& path) override;
    std::vector<std::string> TakeBusyRefusals() override;
    std::string UsbSerial(const std::string& path) override;
    bool UsbIds(const std::string& path, std::uint16_t& vendor, std::uint16_t& product) override;
    // queue/max_hw_sectors_kb of the disk behind the node (for a SCSI
    // generic node, the block device of the same SCSI device).
    std::uint32_t MaxTransferBytes(const std::string& path) override;

    // Developer traces go to standard error only when enabled (also by the
    // environment variable V62X_DEBUG).
    void SetTraceEnabled(bool enabled) override;

private:
    // libudev context and device monitor, created on first use.
    struct Udev;
    // One claimed node's open descriptor; requests in flight share it, so a
    // release while one runs closes it only when that request is done.
    class ClaimedNode;
    void RecordRefusal(const std::string& path);
    // Records an open or lock failure with the refusal list it belongs to.
    void RecordOpenError(const std::string& path, int error);
    // Opens path for one request or a claim; -1 with error set on failure.
    int OpenNode(const std::string& path, bool exclusive, int& error);

    std::unique_ptr<Udev> udev_;
    std::mutex refusalsMutex_;
    std::set<std::string> refusals_;
    std::set<std::string> busyRefusals_;
    std::mutex claimsMutex_;
    std::map<std::string, std::shared_ptr<ClaimedNode>> claims_;
    std::atomic<bool> traceEnabled_{false};
};

}  // namespace v62x
