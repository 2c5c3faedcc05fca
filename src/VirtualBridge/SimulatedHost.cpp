#include "VirtualBridge/SimulatedHost.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <optional>
#include <set>
#include <utility>

#include "VirtualBridge/DeviceImage.h"
#include "VirtualBridge/DeviceReplies.h"
#include "VirtualBridge/ShownText.h"
#include "IDEAccess/UniqueFd.h"

namespace v62x::sim {
namespace {

// Linux names disks sda..sdz, sdaa..sdzz, sdaaa...: index 0 is "a".
std::string DiskLetters(std::size_t index) {
    std::string letters;
    for (std::size_t n = index + 1; n > 0; n /= 26) {
        --n;
        letters.insert(letters.begin(), static_cast<char>('a' + n % 26));
    }
    return letters;
}

struct Slot {
    std::unique_ptr<VirtualDevice> device;
    bool present = true;
    std::uint32_t number = 0;    // unique among devices of its class
    std::uint64_t requests = 0;  // requests sent to its path since the host was made
    bool claimed = false;        // this process holds the claim on it
    UniqueFd claimLock;          // the image file, locked while the claim is held
};

struct ActiveRule {
    FaultRule rule;
    int seen = 0;  // matching commands since the rule was added
};

bool RuleMatches(const FaultRule& rule, const HostRequest& request, std::size_t cdbLength,
                 std::uint64_t deviceRequest) {
    if (!rule.path.empty() && rule.path != request.path) return false;
    if (rule.deviceCommand != 0 && rule.deviceCommand != deviceRequest) return false;
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
    bool existed = false;      // the file was there when attached (or has been written)
    std::uint64_t saved = 0;   // digest of the store as the file holds it
};

// A digest of a store (64-bit FNV-1a): enough to tell a changed store from
// an unchanged one without keeping a second copy of up to 64 MiB.
std::uint64_t Digest(const std::vector<std::uint8_t>& bytes) {
    // Eight bytes a step: stores of megabytes are digested at every start
    // and end of a program.
    std::uint64_t hash = 0xcbf29ce484222325ULL ^ bytes.size();
    const std::uint8_t* data = bytes.data();
    const std::size_t size = bytes.size();
    std::size_t at = 0;
    for (; at + 8 <= size; at += 8) {
        std::uint64_t word = 0;
        std::memcpy(&word, data + at, sizeof word);
        hash = (hash ^ word) * 0x100000001b3ULL;
        hash ^= hash >> 29;
    }
    for (; at < size; ++at) hash = (hash ^ data[at]) * 0x100000001b3ULL;
    return hash;
}

// Takes the advisory lock on an image file without waiting; an invalid
// descriptor when there is no file to lock. `busy` tells that another open
// file (another program, as a rule) holds the lock.
UniqueFd LockImage(const std::string& file, bool& busy, int& error) {
    busy = false;
    error = 0;
    bool missing = false;
    std::string why;
    UniqueFd fd(OpenImageFile(file, missing, why));
    if (!fd.valid()) return fd;
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        error = errno;
        busy = error == EWOULDBLOCK;
        return UniqueFd();
    }
    return fd;
}

struct SimulatedHost::State {
    VirtualClock clock;  // before the slots: devices read it as long as they live
    std::vector<Slot> slots;
    std::vector<ImageBinding> images;
    std::set<std::string> paths;       // every device's path
    std::size_t nextDiskIndex = 1;     // first name to try: sda is the system disk
    std::size_t nextCdRomIndex = 0;
    std::uint32_t nextDiskNumber = 1;  // disk 0 is the system disk
    std::uint32_t nextCdRomNumber = 0;
    std::vector<MountedVolume> extraVolumes;
    std::vector<ActiveRule> rules;
    std::vector<LogEntry> log;
    std::vector<std::string> traces;
    bool echoTraces = false;
    bool echoFromEnvironment = false;
    std::vector<std::string> refusals;
    std::vector<std::string> busyRefusals;
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

    ImageBinding* BindingOf(const VirtualDevice& device) {
        for (ImageBinding& binding : images) {
            if (binding.device == &device) return &binding;
        }
        return nullptr;
    }

    // The first free name of the class. Names are never given back, so the
    // search goes on from where the last one ended.
    std::string NextPath(DeviceClass cls) {
        std::size_t& index = cls == DeviceClass::CdRom ? nextCdRomIndex : nextDiskIndex;
        for (;; ++index) {
            const std::string path = cls == DeviceClass::CdRom ? "/dev/sr" + std::to_string(index)
                                                               : "/dev/sd" + DiskLetters(index);
            if (paths.count(path) == 0) return path;
        }
    }

    static void Record(std::vector<std::string>& list, const std::string& path) {
        if (std::find(list.begin(), list.end(), path) == list.end()) list.push_back(path);
    }

    void Post(DeviceEventKind kind, const std::string& node) {
        events.push_back({kind, node});
        const std::uint8_t byte = 1;
        if (watchWrite.get() >= 0 && ::write(watchWrite.get(), &byte, 1) < 0) {
            // A full pipe is still readable; the event stays queued.
        }
    }

    // Opens the device's path for one request: false with the open's error
    // in `reply`. An exclusive open takes the advisory lock for the command
    // (into `exclusive`), unless this process holds the claim; it fails
    // while another program holds it.
    bool Open(Slot* slot, const HostRequest& request, UniqueFd& exclusive, HostReply& reply) {
        if (slot == nullptr || !slot->present) {
            reply.openError = ENOENT;
            return false;
        }
        if (slot->device->config().permissionDenied) {
            reply.openError = EACCES;
            Record(refusals, request.path);
            return false;
        }
        const ImageBinding* binding = BindingOf(*slot->device);
        if (request.open == OpenMode::Exclusive && !slot->claimed && binding != nullptr) {
            bool busy = false;
            int error = 0;
            exclusive = LockImage(binding->file, busy, error);
            if (busy) {
                reply.openError = EBUSY;
                Record(busyRefusals, request.path);
                return false;
            }
        }
        return true;
    }

    // The fault that hits the request, or null; every rule that matches
    // counts it, and the first one due fires.
    const FaultRule* FiringRule(const HostRequest& request, std::size_t cdbLength, std::uint64_t deviceRequest) {
        const FaultRule* fired = nullptr;
        for (ActiveRule& active : rules) {
            if (!RuleMatches(active.rule, request, cdbLength, deviceRequest)) continue;
            ++active.seen;
            if (fired == nullptr && (active.rule.nth == 0 || active.seen == active.rule.nth)) {
                fired = &active.rule;
            }
        }
        return fired;
    }

    // The reply to a request the fault hit; nullopt when the device still
    // runs the request (the device disappears after it).
    std::optional<HostReply> RunFault(const FaultRule& fired, Slot& slot, const HostRequest& request,
                                      std::size_t cdbLength) {
        HostReply reply;
        switch (fired.kind) {
        case FaultKind::OpenFailure:
            reply.openError = ENOENT;
            return reply;
        case FaultKind::Transport:
            reply.opened = true;
            reply.hostError = EIO;
            return reply;
        case FaultKind::CheckCondition:
            return CheckCondition(fired.senseKey, fired.asc, fired.ascq);
        case FaultKind::ShortTransfer: {
            const std::uint32_t length = request.data != nullptr ? request.length : 0;
            return RunShort(*slot.device, request, cdbLength,
                            fired.halfTransfer ? length / 2 : fired.transferLimit);
        }
        case FaultKind::Cut:
            // Power goes with the cable: whatever the flash was busy with
            // stays as far as it got.
            slot.device->PowerCycle();
            slot.present = false;
            Post(DeviceEventKind::Removal, request.path);
            reply.openError = ENOENT;
            return reply;
        case FaultKind::Disappear:
            break;
        }
        return std::nullopt;
    }

    HostReply Run(const HostRequest& request, std::size_t cdbLength) {
        HostReply reply;
        Slot* slot = FindSlot(request.path);
        if (slot != nullptr) ++slot->requests;
        UniqueFd exclusive;
        if (!Open(slot, request, exclusive, reply)) return reply;

        // The storage driver refuses a request larger than it passes in one
        // piece: the ioctl fails before anything reaches the device.
        if (request.data != nullptr && request.length > slot->device->config().maxTransfer) {
            reply.opened = true;
            reply.hostError = EINVAL;
            return reply;
        }

        const FaultRule* fired = FiringRule(request, cdbLength, slot->requests);
        if (fired != nullptr) {
            if (std::optional<HostReply> faulted = RunFault(*fired, *slot, request, cdbLength)) return *faulted;
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

SimulatedHost::~SimulatedHost() = default;

VirtualDevice& SimulatedHost::AddDevice(const DeviceConfig& config) {
    DeviceConfig placed = config;
    if (placed.path.empty()) placed.path = state_->NextPath(placed.cls);
    Slot slot;
    slot.number = placed.cls == DeviceClass::CdRom ? state_->nextCdRomNumber++
                                                   : state_->nextDiskNumber++;
    state_->paths.insert(placed.path);
    slot.device = std::make_unique<VirtualDevice>(std::move(placed), &state_->clock);
    VirtualDevice& device = *slot.device;
    state_->slots.push_back(std::move(slot));
    for (FaultRule rule : device.config().faults) {
        rule.path = device.path();
        AddFault(rule);
    }
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
    const std::string image = "image " + ShownPath(file);
    Slot* slot = state_->FindSlot(path);
    if (slot == nullptr) {
        error = image + ": no simulated device " + ShownPath(path);
        return false;
    }
    VirtualDevice& device = *slot->device;
    const std::uint64_t size = FirmwareStoreSize(device);
    if (size == 0) {
        error = image + ": " + path +
                " has no firmware store (neither a flash chip nor a reserved disk area)";
        return false;
    }
    if (size > kMaxImageBytes) {
        error = image + ": the firmware store of " + path + " holds " + std::to_string(size) +
                " bytes; a store kept in a file holds at most " + std::to_string(kMaxImageBytes) +
                " bytes (64 MiB)";
        return false;
    }
    for (const ImageBinding& binding : state_->images) {
        if (binding.file == file) {
            error = image + " is the image of " + binding.device->path() + " already";
            return false;
        }
        if (binding.device == &device) {
            error = image + ": " + path + " keeps its store in " + ShownPath(binding.file) +
                    " already";
            return false;
        }
    }
    std::vector<std::uint8_t> bytes;
    bool exists = false;
    if (!ReadImageFile(file, size, "the firmware store of " + path, bytes, exists, error)) {
        return false;
    }
    if (exists) {
        WriteFirmwareStore(device, bytes);
        // The file is what the store held when the device was switched on.
        device.PowerCycle();
    } else {
        bytes = ReadFirmwareStore(device);
    }
    state_->images.push_back({&device, file, exists, Digest(bytes)});
    return true;
}

void SimulatedHost::DetachImages() {
    for (Slot& slot : state_->slots) slot.claimLock.Reset();
    state_->images.clear();
}

bool SimulatedHost::SaveImages(std::string& error) {
    bool ok = true;
    error.clear();
    for (ImageBinding& binding : state_->images) {
        const std::vector<std::uint8_t> store = ReadFirmwareStore(*binding.device);
        const std::uint64_t digest = Digest(store);
        // An image this process did not change is left as it is: another
        // program may have written it since.
        if (binding.existed && digest == binding.saved) continue;
        std::string why;
        if (!WriteImageFile(binding.file, store, why)) {
            if (!error.empty()) error += "; ";
            error += why;
            ok = false;
            continue;
        }
        binding.existed = true;
        binding.saved = digest;
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

int SimulatedHost::ClaimDevice(const std::string& path) {
    Slot* slot = state_->FindPresent(path);
    if (slot == nullptr) return ENOENT;
    if (slot->device->config().permissionDenied) {
        State::Record(state_->refusals, path);
        return EACCES;
    }
    if (slot->claimed) return 0;
    if (const ImageBinding* binding = state_->BindingOf(*slot->device)) {
        // Another program on the same image is another program on the same
        // bridge. A file not written yet cannot be locked: the claim then
        // holds in this process only.
        bool busy = false;
        int error = 0;
        UniqueFd lock = LockImage(binding->file, busy, error);
        if (busy) return EBUSY;
        if (error != 0) return error;
        slot->claimLock = std::move(lock);
    }
    slot->claimed = true;
    return 0;
}

void SimulatedHost::ReleaseDevice(const std::string& path) {
    Slot* slot = state_->FindSlot(path);
    if (slot == nullptr) return;
    slot->claimed = false;
    slot->claimLock.Reset();
}

std::vector<std::string> SimulatedHost::TakeBusyRefusals() {
    return std::exchange(state_->busyRefusals, {});
}

const std::vector<std::string>& SimulatedHost::Traces() const { return state_->traces; }

void SimulatedHost::SetEchoTraces(bool echo) { state_->echoTraces = echo; }

std::uint32_t SimulatedHost::MaxTransferBytes(const std::string& path) {
    const Slot* slot = state_->FindSlot(path);
    return slot != nullptr ? slot->device->config().maxTransfer : 0;
}

bool SimulatedHost::UsbIds(const std::string& path, std::uint16_t& vendor, std::uint16_t& product) {
    const Slot* slot = state_->FindSlot(path);
    if (slot == nullptr || slot->device->config().bus != Bus::Usb) return false;
    vendor = kUsbVendorId;
    product = kUsbProductId;
    return true;
}

}  // namespace v62x::sim
