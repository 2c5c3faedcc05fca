#include "IDEAccess/LinuxHost.h"

#include <dirent.h>
#include <fcntl.h>
#include <libudev.h>
#include <scsi/sg.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string_view>
#include <utility>

#include "IDEAccess/LinuxMountInfo.h"
#include "IDEAccess/LinuxSgIo.h"
#include "IDEAccess/UniqueFd.h"

namespace v62x {
namespace {

constexpr unsigned kCdRomMajor = 11;  // SCSI CD-ROM driver (sr)


// Owners of the libudev and directory handles.
struct UdevUnref {
    void operator()(udev* p) const { udev_unref(p); }
};
struct UdevDeviceUnref {
    void operator()(udev_device* p) const { udev_device_unref(p); }
};
struct UdevEnumerateUnref {
    void operator()(udev_enumerate* p) const { udev_enumerate_unref(p); }
};
struct UdevMonitorUnref {
    void operator()(udev_monitor* p) const { udev_monitor_unref(p); }
};
struct DirClose {
    void operator()(DIR* p) const { ::closedir(p); }
};
using UdevPtr = std::unique_ptr<udev, UdevUnref>;
using UdevDevicePtr = std::unique_ptr<udev_device, UdevDeviceUnref>;
using UdevEnumeratePtr = std::unique_ptr<udev_enumerate, UdevEnumerateUnref>;
using UdevMonitorPtr = std::unique_ptr<udev_monitor, UdevMonitorUnref>;
using DirPtr = std::unique_ptr<DIR, DirClose>;

bool IsRefusal(int error) { return error == EACCES || error == EPERM; }

bool StartsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

std::string_view OrEmpty(const char* text) { return text != nullptr ? text : std::string_view(); }

// The storage driver a device sits on, found by walking its parents.
enum class StorageDriver { None, Usb, Ieee1394 };

StorageDriver DriverOfParents(udev_device* device) {
    for (udev_device* d = device; d != nullptr; d = udev_device_get_parent(d)) {
        const std::string_view driver = OrEmpty(udev_device_get_driver(d));
        if (driver == "usb-storage" || driver == "uas") return StorageDriver::Usb;
        if (driver == "firewire_sbp2") return StorageDriver::Ieee1394;
    }
    return StorageDriver::None;
}

// The first entry of a sysfs directory whose name starts with prefix.
std::string FirstEntry(const std::string& directory, std::string_view prefix) {
    DirPtr dir(::opendir(directory.c_str()));
    if (!dir) return {};
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(dir.get())) {
        const std::string_view name = entry->d_name;
        if (name != "." && name != ".." && StartsWith(name, prefix)) {
            names.emplace_back(name);
        }
    }
    if (names.empty()) return {};
    return *std::min_element(names.begin(), names.end());
}

std::uint32_t PackDeviceNumber(dev_t whole) {
    return (static_cast<std::uint32_t>(major(whole)) << 20) |
           static_cast<std::uint32_t>(minor(whole));
}

void FillNumber(dev_t whole, std::uint32_t partition, StorageDeviceNumber& out) {
    out.deviceType = major(whole) == kCdRomMajor ? kDeviceTypeCdRom : kDeviceTypeDisk;
    out.deviceNumber = PackDeviceNumber(whole);
    out.partitionNumber = partition;
}

}  // namespace

// The libudev context and the device monitor, both created on first use:
// a context made before a test bed exists would see the real system.
struct LinuxHost::Udev {
    UdevPtr context;
    UdevMonitorPtr monitor;
    bool monitorFailed = false;

    udev* Context() {
        if (!context) context.reset(udev_new());
        return context.get();
    }

    // Number of the whole disk and partition number of a block device
    // number. Without sysfs information the number is taken as a whole disk.
    void BlockNumber(dev_t devnum, StorageDeviceNumber& out) {
        dev_t whole = devnum;
        std::uint32_t partition = 0;
        if (udev* ctx = Context()) {
            UdevDevicePtr device(udev_device_new_from_devnum(ctx, 'b', devnum));
            if (device && OrEmpty(udev_device_get_devtype(device.get())) == "partition") {
                const char* value = udev_device_get_sysattr_value(device.get(), "partition");
                if (value != nullptr)
                    partition = static_cast<std::uint32_t>(std::strtoul(value, nullptr, 10));
                udev_device* disk =
                    udev_device_get_parent_with_subsystem_devtype(device.get(), "block", "disk");
                if (disk != nullptr && udev_device_get_devnum(disk) != 0) {
                    whole = udev_device_get_devnum(disk);
                }
            }
        }
        FillNumber(whole, partition, out);
    }

    // The disk a SCSI generic node belongs to: the block device beside it
    // under the same SCSI device.
    bool GenericNumber(dev_t devnum, StorageDeviceNumber& out) {
        udev* ctx = Context();
        if (ctx == nullptr) return false;
        UdevDevicePtr generic(udev_device_new_from_devnum(ctx, 'c', devnum));
        if (!generic || OrEmpty(udev_device_get_subsystem(generic.get())) != "scsi_generic") {
            return false;
        }
        udev_device* scsiDevice = udev_device_get_parent(generic.get());
        if (scsiDevice == nullptr) return false;
        const std::string blockDir = std::string(udev_device_get_syspath(scsiDevice)) + "/block";
        const std::string name = FirstEntry(blockDir, "");
        if (name.empty()) return false;
        UdevDevicePtr disk(udev_device_new_from_syspath(ctx, (blockDir + "/" + name).c_str()));
        if (!disk || udev_device_get_devnum(disk.get()) == 0) return false;
        FillNumber(udev_device_get_devnum(disk.get()), 0, out);
        return true;
    }
};

LinuxHost::LinuxHost() : udev_(std::make_unique<Udev>()) {
    const char* debug = std::getenv("V62X_DEBUG");
    traceEnabled_ = debug != nullptr && debug[0] != '\0';
}

LinuxHost::~LinuxHost() = default;

void LinuxHost::SetTraceEnabled(bool enabled) { traceEnabled_ = enabled; }

class LinuxHost::ClaimedNode {
public:
    explicit ClaimedNode(int fd) : fd_(fd) {}
    int get() const { return fd_.get(); }

private:
    UniqueFd fd_;
};

void LinuxHost::RecordRefusal(const std::string& path) {
    std::lock_guard<std::mutex> lock(refusalsMutex_);
    refusals_.insert(path);
}

void LinuxHost::RecordOpenError(const std::string& path, int error) {
    if (IsRefusal(error)) {
        RecordRefusal(path);
    } else if (error == EBUSY) {
        std::lock_guard<std::mutex> lock(refusalsMutex_);
        busyRefusals_.insert(path);
    }
}

int LinuxHost::OpenNode(const std::string& path, bool exclusive, int& error) {
    // The node type is asked by path: an emulated node reports a regular
    // file through its descriptor.
    struct stat st {};
    const bool characterNode = ::stat(path.c_str(), &st) == 0 && S_ISCHR(st.st_mode);

    // On an sg node O_EXCL is the driver's own exclusive open; on a block
    // node it would fail whenever the disk is mounted, so there the
    // exclusion is an advisory lock instead.
    int flags = O_RDWR | O_NONBLOCK | O_CLOEXEC;
    if (exclusive && characterNode) flags |= O_EXCL;
    UniqueFd fd(::open(path.c_str(), flags));
    if (!fd.valid()) {
        error = errno;
        RecordOpenError(path, error);
        Trace("open " + path + " failed: errno " + std::to_string(error));
        return -1;
    }
    if (exclusive && !characterNode && ::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        error = errno == EWOULDBLOCK ? EBUSY : errno;
        RecordOpenError(path, error);
        Trace("lock " + path + " failed: errno " + std::to_string(error));
        return -1;
    }
    error = 0;
    return fd.release();
}

HostReply LinuxHost::PassThrough(const HostRequest& request) {
    HostReply reply;
    std::shared_ptr<ClaimedNode> claim;
    {
        std::lock_guard<std::mutex> lock(claimsMutex_);
        const auto found = claims_.find(request.path);
        if (found != claims_.end()) claim = found->second;
    }
    // Without a claim every request opens and closes the node itself.
    int error = 0;
    UniqueFd own(claim ? -1 : OpenNode(request.path, request.open == OpenMode::Exclusive, error));
    const int fd = claim ? claim->get() : own.get();
    if (fd < 0) {
        reply.openError = error;
        return reply;
    }

    std::array<std::uint8_t, kSenseBufferLength> sense{};
    sg_io_hdr_t hdr;
    PackSgIo(request, sense.data(), hdr);
    const int result = ::ioctl(fd, SG_IO, &hdr);
    const int ioctlError = result < 0 ? errno : 0;
    reply = MapSgIoResult(hdr, sense.data(), result, ioctlError);
    if (result < 0) {
        if (IsRefusal(ioctlError)) RecordRefusal(request.path);
        Trace("SG_IO on " + request.path + " failed: errno " + std::to_string(ioctlError));
    }
    return reply;
}

int LinuxHost::ClaimDevice(const std::string& path) {
    // Held across the open: two threads claiming the same path must not
    // refuse each other.
    std::lock_guard<std::mutex> lock(claimsMutex_);
    if (claims_.count(path) != 0) return 0;
    int error = 0;
    const int fd = OpenNode(path, true, error);
    if (fd < 0) return error;
    claims_.emplace(path, std::make_shared<ClaimedNode>(fd));
    Trace("claimed " + path);
    return 0;
}

void LinuxHost::ReleaseDevice(const std::string& path) {
    std::lock_guard<std::mutex> lock(claimsMutex_);
    if (claims_.erase(path) != 0) Trace("released " + path);
}

std::vector<std::string> LinuxHost::TakeBusyRefusals() {
    std::lock_guard<std::mutex> lock(refusalsMutex_);
    std::vector<std::string> paths(busyRefusals_.begin(), busyRefusals_.end());
    busyRefusals_.clear();
    return paths;
}

bool LinuxHost::DeviceNumber(const std::string& path, StorageDeviceNumber& out) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return false;
    if (S_ISBLK(st.st_mode)) {
        udev_->BlockNumber(st.st_rdev, out);
        return true;
    }
    if (S_ISCHR(st.st_mode)) {
        return udev_->GenericNumber(st.st_rdev, out);
    }
    return false;
}

std::vector<Candidate> LinuxHost::ListCandidates(DeviceClass cls) {
    std::vector<Candidate> candidates;
    udev* ctx = udev_->Context();
    if (ctx == nullptr) return candidates;
    UdevEnumeratePtr enumerate(udev_enumerate_new(ctx));
    if (!enumerate) return candidates;
    udev_enumerate_add_match_subsystem(enumerate.get(), "block");
    if (udev_enumerate_scan_devices(enumerate.get()) < 0) return candidates;

    udev_list_entry* entry = nullptr;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumerate.get())) {
        UdevDevicePtr device(udev_device_new_from_syspath(ctx, udev_list_entry_get_name(entry)));
        if (!device) continue;
        const std::string_view sysname = OrEmpty(udev_device_get_sysname(device.get()));
        const bool cdrom = StartsWith(sysname, "sr");
        if (cls == DeviceClass::CdRom
                ? !cdrom
                : (cdrom || OrEmpty(udev_device_get_devtype(device.get())) != "disk")) {
            continue;
        }
        const StorageDriver driver = DriverOfParents(device.get());
        if (driver == StorageDriver::None) continue;

        Candidate candidate;
        candidate.bus = driver == StorageDriver::Ieee1394 ? Bus::Ieee1394 : Bus::Usb;
        // The SCSI generic node carries vendor commands without the block
        // layer's command filter; the block node is the fallback.
        if (udev_device* scsiDevice = udev_device_get_parent(device.get())) {
            const std::string generic = FirstEntry(
                std::string(udev_device_get_syspath(scsiDevice)) + "/scsi_generic", "sg");
            if (!generic.empty()) candidate.path = "/dev/" + generic;
        }
        if (candidate.path.empty()) {
            const char* node = udev_device_get_devnode(device.get());
            candidate.path = node != nullptr ? std::string(node) : "/dev/" + std::string(sysname);
        }
        candidates.push_back(std::move(candidate));
    }
    return candidates;
}

std::vector<MountedVolume> LinuxHost::ListMountedVolumes() {
    std::vector<MountedVolume> volumes;
    std::ifstream file("/proc/self/mountinfo");
    if (!file) return volumes;
    std::ostringstream text;
    text << file.rdbuf();
    for (const MountInfoEntry& entry : ParseMountInfo(text.str())) {
        MountedVolume volume;
        volume.mountPoint = entry.mountPoint;
        volume.fsType = entry.fsType;
        volume.source = entry.source;
        if (entry.major != 0) {
            udev_->BlockNumber(makedev(entry.major, entry.minor), volume.number);
            volume.hasDeviceNumber = true;
        }
        volumes.push_back(std::move(volume));
    }
    return volumes;
}

bool LinuxHost::IsOnIeee1394(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return false;
    char type = 0;
    if (S_ISBLK(st.st_mode)) {
        type = 'b';
    } else if (S_ISCHR(st.st_mode)) {
        type = 'c';
    } else {
        return false;
    }
    udev* ctx = udev_->Context();
    if (ctx == nullptr) return false;
    UdevDevicePtr device(udev_device_new_from_devnum(ctx, type, st.st_rdev));
    return device && DriverOfParents(device.get()) == StorageDriver::Ieee1394;
}

void LinuxHost::Sleep(unsigned milliseconds) {
    timespec remaining{static_cast<time_t>(milliseconds / 1000),
                       static_cast<long>(milliseconds % 1000) * 1000000L};
    while (::nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

void LinuxHost::Trace(const std::string& text) {
    if (!traceEnabled_) return;
    std::fprintf(stderr, "%s\n", text.c_str());
}

int LinuxHost::WatchDescriptor() {
    if (!udev_->monitor && !udev_->monitorFailed) {
        udev* ctx = udev_->Context();
        // Events that udevd has processed when it runs, the kernel's own
        // otherwise (containers, early boot).
        const char* source = ::access("/run/udev/control", F_OK) == 0 ? "udev" : "kernel";
        UdevMonitorPtr monitor(ctx != nullptr ? udev_monitor_new_from_netlink(ctx, source)
                                              : nullptr);
        if (monitor &&
            udev_monitor_filter_add_match_subsystem_devtype(monitor.get(), "block", nullptr) >= 0 &&
            udev_monitor_enable_receiving(monitor.get()) >= 0) {
            udev_->monitor = std::move(monitor);
        } else {
            udev_->monitorFailed = true;
            Trace("device monitor unavailable");
        }
    }
    return udev_->monitor ? udev_monitor_get_fd(udev_->monitor.get()) : -1;
}

std::vector<DeviceEvent> LinuxHost::DrainDeviceEvents() {
    std::vector<DeviceEvent> events;
    if (!udev_->monitor) return events;
    // The monitor socket does not block: this returns when nothing is left.
    while (UdevDevicePtr device{udev_monitor_receive_device(udev_->monitor.get())}) {
        const std::string_view action = OrEmpty(udev_device_get_action(device.get()));
        DeviceEvent event;
        if (action == "add") {
            event.kind = DeviceEventKind::Arrival;
        } else if (action == "remove" || action == "change") {
            event.kind = DeviceEventKind::Removal;
        } else {
            continue;
        }
        const char* node = udev_device_get_devnode(device.get());
        event.node = node != nullptr ? node : OrEmpty(udev_device_get_syspath(device.get()));
        events.push_back(std::move(event));
    }
    return events;
}

std::vector<std::string> LinuxHost::TakePermissionRefusals() {
    std::lock_guard<std::mutex> lock(refusalsMutex_);
    std::vector<std::string> paths(refusals_.begin(), refusals_.end());
    refusals_.clear();
    return paths;
}

std::string LinuxHost::UsbSerial(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !(S_ISBLK(st.st_mode) || S_ISCHR(st.st_mode))) return "";
    udev* ctx = udev_->Context();
    if (ctx == nullptr) return "";
    UdevDevicePtr device(udev_device_new_from_devnum(ctx, S_ISBLK(st.st_mode) ? 'b' : 'c', st.st_rdev));
    if (!device) return "";
    // The parent belongs to the child: it is not released separately.
    udev_device* usb = udev_device_get_parent_with_subsystem_devtype(device.get(), "usb", "usb_device");
    if (usb == nullptr) return "";
    return std::string(OrEmpty(udev_device_get_sysattr_value(usb, "serial")));
}

namespace {

// A sysfs USB ID: exactly four hex digits.
bool ParseUsbId(const char* text, std::uint16_t& id) {
    if (text == nullptr || std::strlen(text) != 4) return false;
    unsigned value = 0;
    for (int i = 0; i < 4; ++i) {
        const char c = text[i];
        unsigned digit = 0;
        if (c >= '0' && c <= '9') {
            digit = static_cast<unsigned>(c - '0');
        } else if (c >= 'a' && c <= 'f') {
            digit = static_cast<unsigned>(c - 'a' + 10);
        } else if (c >= 'A' && c <= 'F') {
            digit = static_cast<unsigned>(c - 'A' + 10);
        } else {
            return false;
        }
        value = value * 16 + digit;
    }
    id = static_cast<std::uint16_t>(value);
    return true;
}

}  // namespace

bool LinuxHost::UsbIds(const std::string& path, std::uint16_t& vendor, std::uint16_t& product) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !(S_ISBLK(st.st_mode) || S_ISCHR(st.st_mode))) return false;
    udev* ctx = udev_->Context();
    if (ctx == nullptr) return false;
    UdevDevicePtr device(udev_device_new_from_devnum(ctx, S_ISBLK(st.st_mode) ? 'b' : 'c', st.st_rdev));
    if (!device) return false;
    // The parent belongs to the child: it is not released separately.
    udev_device* usb = udev_device_get_parent_with_subsystem_devtype(device.get(), "usb", "usb_device");
    if (usb == nullptr) return false;
    std::uint16_t v = 0;
    std::uint16_t p = 0;
    if (!ParseUsbId(udev_device_get_sysattr_value(usb, "idVendor"), v) ||
        !ParseUsbId(udev_device_get_sysattr_value(usb, "idProduct"), p)) {
        return false;
    }
    vendor = v;
    product = p;
    return true;
}

std::uint32_t LinuxHost::MaxTransferBytes(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !(S_ISBLK(st.st_mode) || S_ISCHR(st.st_mode))) return 0;
    udev* ctx = udev_->Context();
    if (ctx == nullptr) return 0;
    UdevDevicePtr device(udev_device_new_from_devnum(ctx, S_ISBLK(st.st_mode) ? 'b' : 'c', st.st_rdev));
    if (!device) return 0;
    std::string queue;
    if (S_ISBLK(st.st_mode)) {
        queue = OrEmpty(udev_device_get_syspath(device.get()));
    } else if (udev_device* scsiDevice = udev_device_get_parent(device.get())) {
        // A SCSI generic node: the block device beside it under the SCSI device.
        std::error_code error;
        const std::filesystem::path blocks = std::filesystem::path(OrEmpty(udev_device_get_syspath(scsiDevice))) / "block";
        for (const auto& entry : std::filesystem::directory_iterator(blocks, error)) {
            queue = entry.path().string();
            break;
        }
    }
    if (queue.empty()) return 0;
    std::ifstream file(queue + "/queue/max_hw_sectors_kb");
    std::string text;
    std::getline(file, text);
    return ParseMaxTransferKb(text);
}

}  // namespace v62x
