#include "IDEAccess/CommandSession.h"

#include <cerrno>

namespace v62x {
namespace {

// The host in force when nobody made a session: it reaches no device.
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

CommandSession* g_current = nullptr;

}  // namespace

CommandSession::CommandSession(Host& host) : host_(host) {
    const CommandSession& before = CurrentSession();
    observer_ = before.observer_;
    notifier_ = before.notifier_;
    previous_ = g_current;
    g_current = this;
    installed_ = true;
}

CommandSession::CommandSession(BuiltIn, Host& host) : host_(host) {}

CommandSession::~CommandSession() {
    if (installed_) g_current = previous_;
}

CommandSession& CurrentSession() {
    if (g_current != nullptr) return *g_current;
    static NoDeviceHost host;
    static CommandSession builtIn(CommandSession::BuiltIn{}, host);
    return builtIn;
}

}  // namespace v62x
