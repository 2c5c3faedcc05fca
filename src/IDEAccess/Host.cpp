#include "IDEAccess/Host.h"

#include "IDEAccess/CommandSession.h"

namespace v62x {
Host& CurrentHost() { return CurrentSession().host(); }

DeviceClaim::DeviceClaim(const std::string& path)
    : host_(CurrentHost()), path_(path), error_(host_.ClaimDevice(path)) {}

DeviceClaim::~DeviceClaim() {
    if (error_ == 0) host_.ReleaseDevice(path_);
}

std::string BusyText(const std::string& path) { return "busy: another program is working on " + path; }

}  // namespace v62x
