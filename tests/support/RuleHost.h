// A host whose answers are set per CDB prefix, for tests of command
// sequences and decision tables. Unanswered CDBs end with CHECK CONDITION /
// ILLEGAL REQUEST, as on a device that does not know them.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "IDEAccess/Host.h"

namespace v62x::test {

class RuleHost : public Host {
public:
    using Bytes = std::vector<std::uint8_t>;
    // Fills the data phase (data-in) or looks at it (data-out); false fails
    // the command with CHECK CONDITION / ILLEGAL REQUEST.
    using Handler = std::function<bool(const HostRequest&, Bytes& answer)>;

    struct Rule {
        Bytes prefix;
        Handler handler;
    };

    std::vector<Rule> rules;  // the last matching rule wins
    std::vector<HostRequest> sent;
    std::vector<Bytes> dataOut;
    unsigned sleptMs = 0;
    unsigned sleeps = 0;

    void On(Bytes prefix, Handler handler) { rules.push_back({std::move(prefix), std::move(handler)}); }
    void Answer(Bytes prefix, Bytes answer) {
        On(std::move(prefix), [answer](const HostRequest&, Bytes& out) {
            out = answer;
            return true;
        });
    }
    void Refuse(Bytes prefix) {
        On(std::move(prefix), [](const HostRequest&, Bytes&) { return false; });
    }

    // The CDBs sent that start with prefix.
    std::vector<Bytes> SentWith(const Bytes& prefix) const {
        std::vector<Bytes> out;
        for (const auto& r : sent) {
            Bytes cdb(r.cdb.begin(), r.cdb.begin() + r.cdbLength);
            if (cdb.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), cdb.begin())) {
                out.push_back(cdb);
            }
        }
        return out;
    }

    HostReply PassThrough(const HostRequest& request) override {
        sent.push_back(request);
        dataOut.push_back(request.direction == DataDirection::Out && request.data != nullptr
                              ? Bytes(request.data, request.data + request.length)
                              : Bytes{});
        HostReply reply;
        reply.opened = true;
        reply.completed = true;
        const Rule* match = nullptr;
        for (const Rule& rule : rules) {
            if (rule.prefix.size() <= request.cdbLength &&
                std::equal(rule.prefix.begin(), rule.prefix.end(), request.cdb.begin())) {
                match = &rule;
            }
        }
        Bytes answer;
        if (match == nullptr || !match->handler(request, answer)) {
            reply.scsiStatus = scsi::kCheckCondition;
            reply.senseValid = true;
            reply.senseKey = scsi::kSenseIllegalRequest;
            reply.asc = 0x20;
            return reply;
        }
        if (request.direction == DataDirection::In && request.data != nullptr) {
            const std::size_t n = std::min<std::size_t>(answer.size(), request.length);
            if (n > 0) std::memcpy(request.data, answer.data(), n);
            reply.transferred = static_cast<std::uint32_t>(n);
        } else {
            reply.transferred = request.length;
        }
        return reply;
    }
    bool DeviceNumber(const std::string&, StorageDeviceNumber&) override { return false; }
    std::vector<Candidate> ListCandidates(DeviceClass) override { return {}; }
    std::vector<MountedVolume> ListMountedVolumes() override { return {}; }
    bool IsOnIeee1394(const std::string&) override { return false; }
    void Sleep(unsigned ms) override {
        sleptMs += ms;
        ++sleeps;
    }
    void Trace(const std::string&) override {}
    int WatchDescriptor() override { return -1; }
    std::vector<DeviceEvent> DrainDeviceEvents() override { return {}; }
    std::vector<std::string> TakePermissionRefusals() override { return {}; }
};

// Answers the serial-flash identification queries of a flash: the opcode
// sent with FF 04 20 01 01 <op> decides what the following FF 04 21 read
// returns; FF 04 15 03 <op> <dummy> answers from idReads.
struct FlashAnswers {
    std::vector<std::pair<std::uint8_t, RuleHost::Bytes>> queries;            // opcode -> answer
    std::vector<std::pair<std::uint16_t, RuleHost::Bytes>> idReads;           // (opcode << 8 | dummy) -> answer
    std::vector<std::uint8_t> silent;  // opcodes whose 0x20 request fails
};

inline void InstallFlash(RuleHost& host, const FlashAnswers& flash) {
    auto last = std::make_shared<std::uint8_t>(0);
    host.On({0xFF, 0x04, 0x20, 0x01, 0x01}, [last, flash](const HostRequest& r, RuleHost::Bytes&) {
        *last = r.cdb[5];
        return std::find(flash.silent.begin(), flash.silent.end(), r.cdb[5]) == flash.silent.end();
    });
    host.On({0xFF, 0x04, 0x21}, [last, flash](const HostRequest&, RuleHost::Bytes& out) {
        for (const auto& [op, answer] : flash.queries) {
            if (op == *last) {
                out = answer;
                return true;
            }
        }
        out = RuleHost::Bytes(6, 0xFF);  // nobody drives the bus
        return true;
    });
    host.On({0xFF, 0x04, 0x15, 0x03}, [flash](const HostRequest& r, RuleHost::Bytes& out) {
        const std::uint16_t key = static_cast<std::uint16_t>(r.cdb[4] << 8 | r.cdb[5]);
        for (const auto& [k, answer] : flash.idReads) {
            if (k == key) {
                out = answer;
                return true;
            }
        }
        out = RuleHost::Bytes(3, 0xFF);
        return true;
    });
}

}  // namespace v62x::test
