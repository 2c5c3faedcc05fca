// A host whose devices answer from the fuzz input, and the operator's work
// the device-answers target runs on it: discovery, the chip check of the
// first listed bridge and one backup.
//
// The input is a setup byte, an options byte (read by RunDeviceScenario),
// then one record per pass-through request, in the order they are sent:
//
//   setup    bit 0 two candidates (else one); bits 1, 2 candidate 0, 1 is
//            CD-ROM class (else disk); bits 3, 4 candidate 0, 1 sits on
//            IEEE 1394 (else USB); bit 5 device numbers can be asked;
//            bit 6 a volume of candidate 0's disk is mounted
//   record   head, then the bytes its fields call for, in this order:
//     head bits 0-2  0-3 GOOD; 4 CHECK CONDITION with sense: key, ASC,
//                    ASCQ follow; 5 the status byte follows, no sense;
//                    6 not completed: a host error byte follows; 7 the
//                    open fails: an errno choice follows, and nothing else
//     head bits 3-4  bytes moved: 0 the requested length; 1 fewer: a byte
//                    gives 256ths of it; 2 more: a byte gives 1..256 beyond
//                    it; 3 a 32-bit count follows, least significant first
//     head bits 5-6  data-in bytes (as many as moved, never more than the
//                    buffer holds): 0 they follow; 1 one byte follows that
//                    fills them; 2 a 16-bit count c and a byte f follow,
//                    then the first c of them; the rest are f; 3 0xFF
//
// When the input is used up the devices are gone: every open fails with
// ENODEV. Waits return at once.
#pragma once

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "Fwupdate/ChipCheck.h"
#include "Fwupdate/DeviceRefresh.h"
#include "Fwupdate/ProcedureHelpers.h"
#include "Fwupdate/RunDispatch.h"
#include "IDEAccess/Host.h"
#include "IDEAccess/Notifier.h"
#include "FuzzSupport.h"

namespace v62x::fuzz {

class HostileHost : public Host {
public:
    static constexpr int kOpenErrors[] = {ENODEV, EACCES, EPERM, EBUSY, ENXIO, EIO, ENOMEDIUM, EINVAL};

    // Replays the records of `input`.
    HostileHost(std::uint8_t setup, ByteReader& input) : setup_(setup), input_(&input) {}

    // Records: every request goes to the candidates of `inner` (at most
    // two, in its order) and its reply is appended to `out` as a record.
    HostileHost(Host& inner, std::vector<std::uint8_t>& out) : inner_(&inner), out_(&out) {
        setup_ = 0x20;
        for (DeviceClass cls : {DeviceClass::Disk, DeviceClass::CdRom}) {
            for (const Candidate& c : inner.ListCandidates(cls)) {
                const int i = static_cast<int>(innerPaths_.size());
                if (i >= 2) continue;
                innerPaths_.push_back(c.path);
                if (cls == DeviceClass::CdRom) setup_ |= 1 << (1 + i);
                if (c.bus == Bus::Ieee1394) setup_ |= 1 << (3 + i);
            }
        }
        if (innerPaths_.size() == 2) setup_ |= 1;
    }

    std::uint8_t setup() const { return setup_; }
    int candidates() const { return (setup_ & 1) != 0 ? 2 : 1; }

    HostReply PassThrough(const HostRequest& request) override {
        const int index = IndexOf(request.path);
        if (inner_ != nullptr) {
            HostRequest forwarded = request;
            if (index >= 0 && index < static_cast<int>(innerPaths_.size())) {
                forwarded.path = innerPaths_[static_cast<std::size_t>(index)];
            }
            const HostReply reply = inner_->PassThrough(forwarded);
            Record(request, reply);
            return reply;
        }
        HostReply reply;
        if (input_->empty()) {
            reply.openError = ENODEV;
            return reply;
        }
        const std::uint8_t head = input_->Byte();
        switch (head & 7) {
            case 4:
                reply.scsiStatus = scsi::kCheckCondition;
                reply.senseValid = true;
                reply.senseKey = input_->Byte() & 0x0F;
                reply.asc = input_->Byte();
                reply.ascq = input_->Byte();
                break;
            case 5: reply.scsiStatus = input_->Byte(); break;
            case 6: reply.hostError = input_->Byte(); break;
            case 7:
                reply.openError = kOpenErrors[input_->Byte() % std::size(kOpenErrors)];
                if (reply.openError == EACCES || reply.openError == EPERM) refused_.push_back(request.path);
                if (reply.openError == EBUSY) busy_.push_back(request.path);
                return reply;
            default: break;
        }
        reply.opened = true;
        reply.completed = (head & 7) != 6;
        const std::uint64_t length = request.length;
        switch ((head >> 3) & 3) {
            case 0: reply.transferred = request.length; break;
            case 1: reply.transferred = static_cast<std::uint32_t>(length * input_->Byte() / 256); break;
            case 2: reply.transferred = static_cast<std::uint32_t>(std::min<std::uint64_t>(length + input_->Byte() + 1, std::uint64_t{0xFFFFFFFF})); break;
            default: reply.transferred = input_->Word32(); break;
        }
        if (request.direction == DataDirection::In && request.data != nullptr) {
            const std::size_t n = std::min<std::uint64_t>(reply.transferred, length);
            switch ((head >> 5) & 3) {
                case 0: input_->Take(request.data, n); break;
                case 1: std::memset(request.data, input_->Byte(), n); break;
                case 2: {
                    const std::size_t count = input_->Byte() | input_->Byte() << 8;
                    std::memset(request.data, input_->Byte(), n);
                    input_->Take(request.data, std::min(count, n));
                    break;
                }
                default: std::memset(request.data, 0xFF, n); break;
            }
        }
        return reply;
    }

    bool DeviceNumber(const std::string& path, StorageDeviceNumber& out) override {
        const int index = IndexOf(path);
        if ((setup_ & 0x20) == 0 || index < 0) return false;
        out = {CdRom(index) ? kDeviceTypeCdRom : kDeviceTypeDisk, static_cast<std::uint32_t>(index), 0};
        return true;
    }
    std::vector<Candidate> ListCandidates(DeviceClass cls) override {
        std::vector<Candidate> out;
        for (int i = 0; i < candidates(); ++i) {
            if (CdRom(i) == (cls == DeviceClass::CdRom)) out.push_back({Path(i), Ieee1394(i) ? Bus::Ieee1394 : Bus::Usb});
        }
        return out;
    }
    std::vector<MountedVolume> ListMountedVolumes() override {
        if ((setup_ & 0x40) == 0) return {};
        return {{"/", "ext4", "/dev/root", true, {kDeviceTypeDisk, 9, 1}},
                {"/media/fuzz", "vfat", Path(0) + "1", true, {kDeviceTypeDisk, 0, 1}}};
    }
    bool IsOnIeee1394(const std::string& path) override {
        const int index = IndexOf(path);
        return index >= 0 && Ieee1394(index);
    }
    void Sleep(unsigned milliseconds) override {
        if (inner_ != nullptr) inner_->Sleep(milliseconds);
    }
    void Trace(const std::string&) override {}
    int WatchDescriptor() override { return -1; }
    std::vector<DeviceEvent> DrainDeviceEvents() override { return {}; }
    std::vector<std::string> TakePermissionRefusals() override { return std::exchange(refused_, {}); }
    std::vector<std::string> TakeBusyRefusals() override { return std::exchange(busy_, {}); }

private:
    static std::string Path(int index) { return "/dev/fuzz" + std::to_string(index); }
    int IndexOf(const std::string& path) const {
        for (int i = 0; i < candidates(); ++i) {
            if (path == Path(i)) return i;
        }
        return -1;
    }
    bool CdRom(int index) const { return (setup_ & (1 << (1 + index))) != 0; }
    bool Ieee1394(int index) const { return (setup_ & (1 << (3 + index))) != 0; }

    // Appends the record that replays `reply`.
    void Record(const HostRequest& request, const HostReply& reply) {
        std::vector<std::uint8_t>& out = *out_;
        if (!reply.opened) {
            const auto* at = std::find(std::begin(kOpenErrors), std::end(kOpenErrors), reply.openError);
            out.push_back(7);
            out.push_back(at == std::end(kOpenErrors) ? 0 : static_cast<std::uint8_t>(at - std::begin(kOpenErrors)));
            return;
        }
        std::uint8_t head = 0;
        std::vector<std::uint8_t> fields;
        if (!reply.completed) {
            head = 6;
            fields = {static_cast<std::uint8_t>(reply.hostError)};
        } else if (reply.senseValid) {
            head = 4;
            fields = {reply.senseKey, reply.asc, reply.ascq};
        } else if (reply.scsiStatus != scsi::kGood) {
            head = 5;
            fields = {reply.scsiStatus};
        }
        if (reply.transferred != request.length) {
            head |= 3 << 3;
            for (int shift = 0; shift < 32; shift += 8) fields.push_back(static_cast<std::uint8_t>(reply.transferred >> shift));
        }
        std::size_t n = 0;
        if (request.direction == DataDirection::In && request.data != nullptr) {
            n = std::min<std::size_t>(reply.transferred, request.length);
        }
        // The shortest of the data modes.
        const std::uint8_t* data = request.data;
        const bool uniform = n > 0 && std::all_of(data, data + n, [&](std::uint8_t b) { return b == data[0]; });
        std::size_t leading = n;
        while (leading > 0 && data[leading - 1] == data[n - 1]) --leading;
        if (uniform) {
            head |= data[0] == 0xFF ? 3 << 5 : 1 << 5;
            if (data[0] != 0xFF) fields.push_back(data[0]);
            n = 0;
        } else if (leading + 3 < n && leading <= 0xFFFF) {
            head |= 2 << 5;
            fields.push_back(static_cast<std::uint8_t>(leading));
            fields.push_back(static_cast<std::uint8_t>(leading >> 8));
            fields.push_back(data[n - 1]);
            n = leading;
        }
        out.push_back(head);
        out.insert(out.end(), fields.begin(), fields.end());
        if (n > 0) out.insert(out.end(), data, data + n);
    }

    std::uint8_t setup_ = 0;
    ByteReader* input_ = nullptr;
    Host* inner_ = nullptr;
    std::vector<std::uint8_t>* out_ = nullptr;
    std::vector<std::string> innerPaths_;
    std::vector<std::string> refused_;
    std::vector<std::string> busy_;
};

// What the operator does with the devices, steered by the options byte:
//   bits 0-1 the parallel flash choice (modulo 3); bit 2 "VRS735 HDD FW ";
//   bit 3 "Include 4K NVRAM"; bit 4 "A1 Chip"; bit 5 BackupFlashImage itself
//   instead of the Run dispatch, bits 6-7 its skip in 4 KiB units.
// The backup goes to `backupFile`, which is removed afterwards.
inline void RunDeviceScenario(std::uint8_t options, const std::string& backupFile) {
    SetMessageNotifier([](const OperatorMessage&) {});
    ToolState state;
    RecordingPanel panel;
    const RefreshOutcome listed = RefreshDevices(state.devices);
    ChipCheckRequest check;
    check.listEnabled = !listed.empty;
    UpdateBtnCheck(state, check, panel);

    if (!listed.empty) {
        panel.rdVersion = true;
        panel.backupOnly = true;
        panel.backupFile = backupFile;
        panel.includeNvram = (options & 0x08) != 0;
        panel.a1Chip = (options & 0x10) != 0;
        ProcedureContext ctx{state, panel, state.devices.records[0].InterfacePath};
        if ((options & 0x20) != 0) {
            BackupFlashImage(ctx, (options >> 6) * 0x1000U);
        } else {
            RunRequest run;
            run.flashTypeIndex = (options & 3) % 3;
            run.vrs735HddFw = (options & 0x04) != 0;
            RunUpdate(ctx, run);
        }
    }
    ReleaseMarkedDevices(state.devices);
    std::remove(backupFile.c_str());
}

}  // namespace v62x::fuzz
