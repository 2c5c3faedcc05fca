#include "IDEAccess/Host.h"

#include <cerrno>

namespace v62x {
namespace {

// The host in force when nobody installed one: it reaches no device.
class NoDeviceHost : public Host {
public:
    HostReply PassThrough(const HostRequest&) override {
        HostReply reply;
        reply.openError = ENODEV;
        return reply;
    }
    bool DeviceNumber(const std::string&, StorageDeviceNumber&) override { return false; }
    std::vector<Candidate> ListCandidates(DeviceClass) override { return {}; }
    std::vector<MountedVolume> ListMountedVolumes() override { return {}; }
    bool IsOnIeee1394(const std::string&) override { return false; }
    void Sleep(unsigned) override {}
    void Trace(const std::string&) override {}
    int WatchDescriptor() override { return -1; }
    std::vector<DeviceEvent> DrainDeviceEvents() override { return {}; }
    std::vector<std::string> TakePermissionRefusals() override { return {}; }
};

NoDeviceHost& BuiltInHost() {
    static NoDeviceHost host;
    return host;
}

Host* g_currentHost = nullptr;

}  // namespace

Host& CurrentHost() { return g_currentHost != nullptr ? *g_currentHost : BuiltInHost(); }

void SetCurrentHost(Host* host) { g_currentHost = host; }

ScopedHost::ScopedHost(Host& host) : previous_(g_currentHost) { g_currentHost = &host; }

ScopedHost::~ScopedHost() { g_currentHost = previous_; }

DeviceClaim::DeviceClaim(const std::string& path)
    : host_(CurrentHost()), path_(path), error_(host_.ClaimDevice(path)) {}

DeviceClaim::~DeviceClaim() {
    if (error_ == 0) host_.ReleaseDevice(path_);
}

std::string BusyText(const std::string& path) { return "busy: another program is working on " + path; }

}  // namespace v62x
