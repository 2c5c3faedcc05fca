// The Linux host: SG_IO pass-through on the SCSI generic or block node,
// libudev enumeration and watching, the mount table, the device number by
// stat() and sysfs.
#pragma once

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

    // Developer traces go to standard error only when enabled (also by the
    // environment variable V62X_DEBUG).
    void SetTraceEnabled(bool enabled) override;

private:
    // libudev context and device monitor, created on first use.
    struct Udev;
    void RecordRefusal(const std::string& path);

    std::unique_ptr<Udev> udev_;
    std::mutex refusalsMutex_;
    std::set<std::string> refusals_;
    bool traceEnabled_ = false;
};

}  // namespace v62x
