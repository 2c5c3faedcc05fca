// A host that records every request and answers with a scripted reply, for
// tests of the transport and of command bytes.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "IDEAccess/CommandSession.h"
#include "IDEAccess/Host.h"

namespace v62x::test {

struct SentRequest {
    HostRequest request;
    std::vector<std::uint8_t> dataOut;  // bytes in the buffer when it was sent
    bool dataAligned = false;
    bool dataZeroed = false;
};

class ScriptedHost : public Host {
public:
    HostReply reply;  // the answer to every request
    std::vector<std::uint8_t> dataIn;  // copied into data-in buffers
    std::vector<SentRequest> sent;
    StorageDeviceNumber number;
    bool numberOk = true;

    ScriptedHost() {
        reply.opened = true;
        reply.completed = true;
    }

    HostReply PassThrough(const HostRequest& request) override {
        SentRequest s;
        s.request = request;
        if (request.data != nullptr) {
            s.dataOut.assign(request.data, request.data + request.length);
            s.dataAligned = reinterpret_cast<std::uintptr_t>(request.data) % 8192 == 0;
            s.dataZeroed = true;
            for (std::uint8_t b : s.dataOut) s.dataZeroed = s.dataZeroed && b == 0;
        }
        sent.push_back(s);
        HostReply r = reply;
        if (r.opened && request.direction == DataDirection::In && request.data != nullptr) {
            const std::size_t n = dataIn.size() < request.length ? dataIn.size() : request.length;
            if (n > 0) std::memcpy(request.data, dataIn.data(), n);
        }
        return r;
    }
    bool DeviceNumber(const std::string&, StorageDeviceNumber& out) override {
        out = number;
        return numberOk;
    }
    std::vector<Candidate> ListCandidates(DeviceClass) override { return {}; }
    std::vector<MountedVolume> ListMountedVolumes() override { return {}; }
    bool IsOnIeee1394(const std::string&) override { return false; }
    void Sleep(unsigned) override {}
    void Trace(const std::string&) override {}
    int WatchDescriptor() override { return -1; }
    std::vector<DeviceEvent> DrainDeviceEvents() override { return {}; }
    std::vector<std::string> TakePermissionRefusals() override { return {}; }
};

// One command as a function sends it: the exact CDB, direction and length
// the host is asked for.
struct Golden {
    const char* name;
    std::function<void(const std::string&)> send;
    std::vector<std::uint8_t> cdb;
    DataDirection direction;
    std::uint32_t length;                 // transfer length asked of the host
    std::vector<std::uint8_t> dataOut{};  // for data-out commands with a fixed data phase
    std::uint32_t timeout = 0;            // 0: not checked
};

// Sends each row's command alone to a scripted host and checks what went out.
inline void CheckGolden(const std::vector<Golden>& table) {
    for (const Golden& g : table) {
        SCOPED_TRACE(g.name);
        ScriptedHost host;
        CommandSession scoped(host);
        g.send("/dev/sg4");
        ASSERT_EQ(1u, host.sent.size());
        const HostRequest& r = host.sent[0].request;
        EXPECT_EQ(g.cdb, std::vector<std::uint8_t>(r.cdb.begin(), r.cdb.begin() + r.cdbLength));
        EXPECT_EQ(g.direction, r.direction);
        EXPECT_EQ(g.length, r.length);
        EXPECT_EQ("/dev/sg4", r.path);
        if (!g.dataOut.empty()) {
            EXPECT_EQ(g.dataOut, host.sent[0].dataOut);
        }
        if (g.timeout != 0) {
            EXPECT_EQ(g.timeout, r.timeoutSeconds);
        }
    }
}

}  // namespace v62x::test
