#include "VirtualBridge/SimulatedHost.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <utility>

#include "VirtualBridge/DeviceImage.h"

namespace v62x::sim {
namespace {

// Owns one file descriptor.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { Reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            Reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return fd_; }
    void Reset() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
};

// Linux names disks sda..sdz, sdaa..sdzz: index 0 is "a".
std::string DiskLetters(std::size_t index) {
    std::string letters;
    if (index >= 26) letters += static_cast<char>('a' + index / 26 - 1);
    letters += static_cast<char>('a' + index % 26);
    return letters;
}

struct Slot {
    std::unique_ptr<VirtualDevice> device;
    bool present = true;
    std::uint32_t number = 0;  // unique among devices of its class
};

struct ActiveRule {
    FaultRule rule;
    int seen = 0;  // matching commands since the rule was added
};

bool RuleMatches(const FaultRule& rule, const HostRequest& request, std::size_t cdbLength) {
    if (!rule.path.empty() && rule.path != request.path) return false;
    if (rule.dataPhase) {
        const bool moves = request.data != nullptr && request.length > 0;
        if (!moves || request.direction != *rule.dataPhase) return false;
    }
    if (rule.prefix.size() > cdbLength) return false;
    return std::equal(rule.prefix.begin(), rule.prefix.end(), request.cdb.begin());
}

std::uint32_t DeviceType(const VirtualDevice& device) {
    return device.config().cls == DeviceClass::CdRom ? kDeviceTypeCdRom : kDeviceTypeDisk;
}

}  // namespace

// A device's firmware store kept in a file between runs.
struct ImageBinding {
    VirtualDevice* device = nullptr;
    std::string file;
};

struct SimulatedHost::State {
    VirtualClock clock;  // before the slots: devices read it as long as they live
    std::vector<Slot> slots;
    std::vector<ImageBinding> images;
    std::uint32_t nextDiskNumber = 1;  // disk 0 is the system disk
    std::uint32_t nextCdRomNumber = 0;
    std::vector<MountedVolume> extraVolumes;
    std::vector<ActiveRule> rules;
    std::vector<LogEntry> log;
    std::vector<std::string> traces;
    bool echoTraces = false;
    bool echoFromEnvironment = false;
    std::vector<std::string> refusals;
    UniqueFd watchRead;
    UniqueFd watchWrite;
    std::vector<DeviceEvent> events;

    Slot* FindSlot(const std::string& path) {
        for (Slot& slot : slots) {
            if (slot.device->path() == path) return &slot;
        }
        return nullptr;
    }

    Slot* FindPresent(const std::string& path) {
        Slot* slot = FindSlot(path);
        return slot != nullptr && slot->present ? slot : nullptr;
    }

    bool PathInUse(const std::string& path) const {
        return std::any_of(slots.begin(), slots.end(),
                           [&](const Slot& slot) { return slot.device->path() == path; });
    }

    std::string NextPath(DeviceClass cls) const {
        for (std::size_t i = 0;; ++i) {
            const std::string path = cls == DeviceClass::CdRom
                                         ? "/dev/sr" + std::to_string(i)
                                         : "/dev/sd" + DiskLetters(i + 1);  // sda is the system disk
            if (!PathInUse(path)) return path;
        }
    }

    void Post(DeviceEventKind kind, const std::string& node) {
        events.push_back({kind, node});
        const std::uint8_t byte = 1;
        if (watchWrite.get() >= 0 && ::write(watchWrite.get(), &byte, 1) < 0) {
            // A full pipe is still readable; the event stays queued.
        }
    }

    HostReply Run(const HostRequest& request, std::size_t cdbLength) {
        HostReply reply;
        Slot* slot = FindPresent(request.path);
        if (slot == nullptr) {
            reply.openError = ENOENT;
            return reply;
        }
        if (slot->device->config().permissionDenied) {
            reply.openError = EACCES;
            if (std::find(refusals.begin(), refusals.end(), request.path) == refusals.end()) {
                refusals.push_back(request.path);
            }
            return reply;
        }

        const FaultRule* fired = nullptr;
        for (ActiveRule& active : rules) {
            if (!RuleMatches(active.rule, request, cdbLength)) continue;
            ++active.seen;
            if (fired == nullptr && (active.rule.nth == 0 || active.seen == active.rule.nth)) {
                fired = &active.rule;
            }
        }
        if (fired != nullptr) {
            switch (fired->kind) {
            case FaultKind::OpenFailure:
                reply.openError = ENOENT;
                return reply;
            case FaultKind::Transport:
                reply.opened = true;
                reply.hostError = EIO;
                return reply;
            case FaultKind::CheckCondition:
                reply.opened = true;
                reply.completed = true;
                reply.scsiStatus = scsi::kCheckCondition;
                reply.senseValid = true;
                reply.senseKey = fired->senseKey;
                reply.asc = fired->asc;
                reply.ascq = fired->ascq;
                return reply;
            case FaultKind::ShortTransfer:
                return RunShort(*slot->device, request, cdbLength, fired->transferLimit);
            case FaultKind::Disappear:
                break;
            }
        }

        reply = slot->device->Execute(request.cdb.data(), cdbLength, request.direction,
                                      request.data, request.length);
        reply.opened = true;
        if (fired != nullptr && fired->kind == FaultKind::Disappear) {
            slot->present = false;
            Post(DeviceEventKind::Removal, request.path);
        }
        return reply;
    }

    // Runs a request of which only the first `limit` bytes of data move.
    static HostReply RunShort(VirtualDevice& device, const HostRequest& request,
                              std::size_t cdbLength, std::uint32_t limit) {
        const std::uint32_t length = request.data != nullptr ? request.length : 0;
        const std::uint32_t moved = std::min(limit, length);
        std::vector<std::uint8_t> buffer(length, 0);
        if (request.direction == DataDirection::In) {
            if (length > 0) std::memcpy(buffer.data(), request.data, length);
        } else if (moved > 0) {
            std::memcpy(buffer.data(), request.data, moved);
        }
        HostReply reply = device.Execute(request.cdb.data(), cdbLength, request.direction,
                                         length > 0 ? buffer.data() : nullptr, length);
        reply.opened = true;
        if (request.direction == DataDirection::In) {
            const std::uint32_t delivered = std::min(moved, reply.transferred);
            if (delivered > 0) std::memcpy(request.data, buffer.data(), delivered);
        }
        reply.transferred = std::min(moved, reply.transferred);
        return reply;
    }
};

SimulatedHost::SimulatedHost() : state_(std::make_unique<State>()) {
    int fds[2] = {-1, -1};
    if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) == 0) {
        state_->watchRead = UniqueFd(fds[0]);
        state_->watchWrite = UniqueFd(fds[1]);
    }
    const char* debug = std::getenv("V62X_DEBUG");
    state_->echoFromEnvironment = debug != nullptr && *debug != '\0';
}

SimulatedHost::~SimulatedHost() {
    std::string error;
    if (!SaveImages(error)) std::cerr << "v62x simulator: " << error << '\n';
}

VirtualDevice& SimulatedHost::AddDevice(const DeviceConfig& config) {
    DeviceConfig placed = config;
    if (placed.path.empty()) placed.path = state_->NextPath(placed.cls);
    Slot slot;
    slot.number = placed.cls == DeviceClass::CdRom ? state_->nextCdRomNumber++
                                                   : state_->nextDiskNumber++;
    slot.device = std::make_unique<VirtualDevice>(std::move(placed), &state_->clock);
    VirtualDevice& device = *slot.device;
    state_->slots.push_back(std::move(slot));
    state_->Post(DeviceEventKind::Arrival, device.path());
    return device;
}

VirtualDevice* SimulatedHost::Find(const std::string& path) {
    Slot* slot = state_->FindSlot(path);
    return slot != nullptr ? slot->device.get() : nullptr;
}

std::vector<VirtualDevice*> SimulatedHost::Devices() {
    std::vector<VirtualDevice*> devices;
    for (Slot& slot : state_->slots) devices.push_back(slot.device.get());
    return devices;
}

void SimulatedHost::Unplug(const std::string& path) {
    Slot* slot = state_->FindPresent(path);
    if (slot == nullptr) return;
    slot->present = false;
    state_->Post(DeviceEventKind::Removal, path);
}

void SimulatedHost::Replug(const std::string& path) {
    Slot* slot = state_->FindSlot(path);
    if (slot == nullptr || slot->present) return;
    slot->present = true;
    state_->Post(DeviceEventKind::Arrival, path);
}

void SimulatedHost::AddVolume(const MountedVolume& volume) { state_->extraVolumes.push_back(volume); }

void SimulatedHost::AddFault(const FaultRule& rule) { state_->rules.push_back({rule, 0}); }

void SimulatedHost::ClearFaults() { state_->rules.clear(); }

bool SimulatedHost::AttachImage(const std::string& path, const std::string& file,
                                std::string& error) {
    Slot* slot = state_->FindSlot(path);
    if (slot == nullptr) {
        error = "image " + file + ": no simulated device " + path;
        return false;
    }
    VirtualDevice& device = *slot->device;
    const std::uint64_t size = FirmwareStoreSize(device);
    if (size == 0) {
        error = "image " + file + ": " + path +
                " has no firmware store (neither a flash chip nor a reserved disk area)";
        return false;
    }
    for (const ImageBinding& binding : state_->images) {
        if (binding.file == file) {
            error = "image " + file + " is the image of " + binding.device->path() + " already";
            return false;
        }
        if (binding.device == &device) {
            error = "image " + file + ": " + path + " keeps its store in " + binding.file +
                    " already";
            return false;
        }
    }
    std::vector<std::uint8_t> bytes;
    bool exists = false;
    if (!ReadImageFile(file, bytes, exists, error)) return false;
    if (exists) {
        if (bytes.size() != size) {
            error = "image " + file + " holds " + std::to_string(bytes.size()) +
                    " bytes, but the firmware store of " + path + " holds " +
                    std::to_string(size) + " bytes";
            return false;
        }
        WriteFirmwareStore(device, bytes);
        // The file is what the store held when the device was switched on.
        device.PowerCycle();
    }
    state_->images.push_back({&device, file});
    return true;
}

void SimulatedHost::DetachImages() { state_->images.clear(); }

bool SimulatedHost::SaveImages(std::string& error) {
    bool ok = true;
    error.clear();
    for (const ImageBinding& binding : state_->images) {
        std::string why;
        if (!WriteImageFile(binding.file, ReadFirmwareStore(*binding.device), why)) {
            if (!error.empty()) error += "; ";
            error += why;
            ok = false;
        }
    }
    return ok;
}

std::uint64_t SimulatedHost::NowMs() const { return state_->clock.NowMs(); }

VirtualClock& SimulatedHost::Clock() { return state_->clock; }

std::uint64_t CommandCostUs(std::uint32_t length) {
    // Command and status phases, then the data in 512-byte packets at up
    // to 13 packets per 125 us microframe (USB 2.0 high speed).
    constexpr std::uint64_t kCommandAndStatusUs = 250;
    constexpr std::uint64_t kMicroframeUs = 125;
    const std::uint64_t packets = (static_cast<std::uint64_t>(length) + 511) / 512;
    return kCommandAndStatusUs + (packets + 12) / 13 * kMicroframeUs;
}

void SimulatedHost::PowerCycle(const std::string& path) {
    Slot* slot = state_->FindPresent(path);
    if (slot == nullptr) return;
    state_->Post(DeviceEventKind::Removal, path);
    slot->device->PowerCycle();
    state_->Post(DeviceEventKind::Arrival, path);
}

const std::vector<LogEntry>& SimulatedHost::Log() const { return state_->log; }

void SimulatedHost::ClearLog() { state_->log.clear(); }

HostReply SimulatedHost::PassThrough(const HostRequest& request) {
    const std::size_t cdbLength = std::min<std::size_t>(request.cdbLength, request.cdb.size());
    LogEntry entry;
    entry.path = request.path;
    entry.cdb.assign(request.cdb.begin(), request.cdb.begin() + cdbLength);
    entry.direction = request.direction;
    entry.length = request.length;
    entry.timeoutSeconds = request.timeoutSeconds;
    entry.open = request.open;
    const std::uint64_t start = state_->clock.NowUs();
    entry.reply = state_->Run(request, cdbLength);
    if (entry.reply.opened) {
        state_->clock.Advance(CommandCostUs(request.data != nullptr ? request.length : 0));
        // The host gives up on a command that outlasts its time-out; what
        // the device did meanwhile stays done.
        const std::uint64_t limitUs = static_cast<std::uint64_t>(request.timeoutSeconds) * 1'000'000;
        if (request.timeoutSeconds > 0 && state_->clock.NowUs() - start > limitUs) {
            HostReply timedOut;
            timedOut.opened = true;
            timedOut.hostError = ETIMEDOUT;
            entry.reply = timedOut;
        }
        // A bridge that restarted leaves the bus and comes back.
        Slot* slot = state_->FindSlot(request.path);
        if (slot != nullptr && slot->device->TakeRestartRequest()) {
            state_->Post(DeviceEventKind::Removal, request.path);
            state_->Post(DeviceEventKind::Arrival, request.path);
        }
    }
    state_->log.push_back(entry);
    return entry.reply;
}

bool SimulatedHost::DeviceNumber(const std::string& path, StorageDeviceNumber& out) {
    for (const Slot& slot : state_->slots) {
        if (!slot.present) continue;
        const VirtualDevice& device = *slot.device;
        const std::size_t partitions = device.config().mountPoints.size();
        for (std::size_t partition = 0; partition <= partitions; ++partition) {
            const std::string name =
                partition == 0 ? device.path() : device.path() + std::to_string(partition);
            if (name == path) {
                out = {DeviceType(device), slot.number, static_cast<std::uint32_t>(partition)};
                return true;
            }
        }
    }
    for (const MountedVolume& volume : state_->extraVolumes) {
        if (volume.hasDeviceNumber && volume.source == path) {
            out = volume.number;
            return true;
        }
    }
    return false;
}

std::vector<Candidate> SimulatedHost::ListCandidates(DeviceClass cls) {
    std::vector<Candidate> candidates;
    for (const Slot& slot : state_->slots) {
        const DeviceConfig& config = slot.device->config();
        if (slot.present && config.cls == cls) candidates.push_back({config.path, config.bus});
    }
    return candidates;
}

std::vector<MountedVolume> SimulatedHost::ListMountedVolumes() {
    std::vector<MountedVolume> volumes;
    for (const Slot& slot : state_->slots) {
        if (!slot.present) continue;
        const VirtualDevice& device = *slot.device;
        const auto& mounts = device.config().mountPoints;
        for (std::size_t i = 0; i < mounts.size(); ++i) {
            const auto partition = static_cast<std::uint32_t>(i + 1);
            MountedVolume volume;
            volume.mountPoint = mounts[i];
            volume.fsType = "vfat";
            volume.source = device.path() + std::to_string(partition);
            volume.hasDeviceNumber = true;
            volume.number = {DeviceType(device), slot.number, partition};
            volumes.push_back(volume);
        }
    }
    volumes.insert(volumes.end(), state_->extraVolumes.begin(), state_->extraVolumes.end());
    return volumes;
}

bool SimulatedHost::IsOnIeee1394(const std::string& path) {
    const Slot* slot = state_->FindPresent(path);
    return slot != nullptr && slot->device->config().bus == Bus::Ieee1394;
}

void SimulatedHost::Sleep(unsigned milliseconds) {
    state_->clock.Advance(static_cast<std::uint64_t>(milliseconds) * 1000);
}

void SimulatedHost::Trace(const std::string& text) {
    state_->traces.push_back(text);
    if (state_->echoTraces || state_->echoFromEnvironment) std::cerr << text << '\n';
}

int SimulatedHost::WatchDescriptor() { return state_->watchRead.get(); }

std::vector<DeviceEvent> SimulatedHost::DrainDeviceEvents() {
    if (state_->watchRead.get() >= 0) {
        std::uint8_t bytes[64];
        while (::read(state_->watchRead.get(), bytes, sizeof bytes) > 0) {
        }
    }
    return std::exchange(state_->events, {});
}

std::vector<std::string> SimulatedHost::TakePermissionRefusals() {
    return std::exchange(state_->refusals, {});
}

const std::vector<std::string>& SimulatedHost::Traces() const { return state_->traces; }

void SimulatedHost::SetEchoTraces(bool echo) { state_->echoTraces = echo; }

}  // namespace v62x::sim
