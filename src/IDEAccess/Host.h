// The host seam: the only door from the command layer to the operating
// system. LinuxHost talks to the kernel (SG_IO, libudev, mountinfo); the
// simulated host of VirtualBridge answers from software models. Code above
// this seam never knows which one it talks to.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace v62x {

enum class DataDirection { In, Out };

// Shared opens for data-in requests, exclusive opens for data-out requests.
enum class OpenMode { Shared, Exclusive };

// One pass-through request: one CDB, at most one data phase.
struct HostRequest {
    std::string path;
    std::array<std::uint8_t, 16> cdb{};
    std::uint8_t cdbLength = 0;
    DataDirection direction = DataDirection::In;
    std::uint8_t* data = nullptr;  // transfer buffer, null when length is 0
    std::uint32_t length = 0;      // transfer length in bytes
    std::uint32_t timeoutSeconds = 10;
    OpenMode open = OpenMode::Shared;
};

// SCSI status bytes and sense keys the command layer tells apart.
namespace scsi {
constexpr std::uint8_t kGood = 0x00;
constexpr std::uint8_t kCheckCondition = 0x02;
constexpr std::uint8_t kConditionMet = 0x04;
constexpr std::uint8_t kBusy = 0x08;
constexpr std::uint8_t kSenseNoSense = 0x0;
constexpr std::uint8_t kSenseRecoveredError = 0x1;
constexpr std::uint8_t kSenseNotReady = 0x2;
constexpr std::uint8_t kSenseMediumError = 0x3;
constexpr std::uint8_t kSenseIllegalRequest = 0x5;
}  // namespace scsi

// What the host reports about one request.
struct HostReply {
    bool opened = false;        // the device path could be opened
    int openError = 0;          // errno of a failed open
    bool completed = false;     // the host (driver and adapter) completed the request
    int hostError = 0;          // errno of a failed ioctl, or a host/driver status code
    std::uint8_t scsiStatus = scsi::kGood;
    bool senseValid = false;    // the device delivered sense data with a sense key
    std::uint8_t senseKey = 0;
    std::uint8_t asc = 0;
    std::uint8_t ascq = 0;
    std::uint32_t transferred = 0;  // bytes moved in the data phase
};

// The storage device number of a path: the same three numbers the
// drive-name lookup compares (type and number name the whole disk).
struct StorageDeviceNumber {
    std::uint32_t deviceType = 0;
    std::uint32_t deviceNumber = 0;
    std::uint32_t partitionNumber = 0;
};
constexpr std::uint32_t kDeviceTypeCdRom = 0x02;
constexpr std::uint32_t kDeviceTypeDisk = 0x07;

enum class DeviceClass { Disk, CdRom };
enum class Bus { Usb, Ieee1394 };

// A disk or CD-ROM-class device behind a USB or IEEE 1394 storage driver.
struct Candidate {
    std::string path;
    Bus bus = Bus::Usb;
};

// One mounted file system, as the host's mount table lists it.
struct MountedVolume {
    std::string mountPoint;
    std::string fsType;
    std::string source;
    bool hasDeviceNumber = false;  // false for file systems without a block device
    StorageDeviceNumber number;
};

enum class DeviceEventKind { Arrival, Removal };
struct DeviceEvent {
    DeviceEventKind kind = DeviceEventKind::Arrival;
    std::string node;  // device node or syspath; parents may be gone on removal
};

class Host {
public:
    virtual ~Host() = default;

    // Opens the path (shared or exclusive), sends the request, closes the path.
    virtual HostReply PassThrough(const HostRequest& request) = 0;
    // Storage device number of a path; false when the path cannot be asked.
    virtual bool DeviceNumber(const std::string& path, StorageDeviceNumber& out) = 0;
    // Present candidate devices of one class, in the host's order.
    virtual std::vector<Candidate> ListCandidates(DeviceClass cls) = 0;
    virtual std::vector<MountedVolume> ListMountedVolumes() = 0;
    // True when the path sits on the IEEE 1394 storage driver.
    virtual bool IsOnIeee1394(const std::string& path) = 0;
    virtual void Sleep(unsigned milliseconds) = 0;
    // Developer traces; never shown in the window.
    virtual void Trace(const std::string& text) = 0;
    // Sends developer traces to standard error (off unless V62X_DEBUG is set).
    virtual void SetTraceEnabled(bool) {}

    // A descriptor that becomes readable when devices arrive or leave
    // (-1 when this host cannot watch); DrainDeviceEvents reads what is pending.
    virtual int WatchDescriptor() = 0;
    virtual std::vector<DeviceEvent> DrainDeviceEvents() = 0;

    // Paths the host refused for lack of permission (EACCES, EPERM) since
    // the last call; the list is cleared by reading it.
    virtual std::vector<std::string> TakePermissionRefusals() = 0;

    // The exclusive claim on one bridge for a whole run. ClaimDevice answers
    // 0 when this process now holds the claim on path, else the errno of the
    // refusal (EBUSY: another program holds it or has the device open
    // exclusively). While the claim is held, this process's requests to
    // path go through it (no per-command open and close), and other
    // programs' exclusive opens and claims of path fail with EBUSY.
    // ReleaseDevice gives the claim up; releasing a path not claimed does
    // nothing. Claims are not counted: one release ends the claim.
    virtual int ClaimDevice(const std::string& path) {
        (void)path;
        return 0;
    }
    virtual void ReleaseDevice(const std::string& path) { (void)path; }
    // The serial number of the USB device a path belongs to; empty when the
    // path is not on USB or the device reports none.
    virtual std::string UsbSerial(const std::string& path) {
        (void)path;
        return "";
    }
    // The USB vendor and product ID of the USB device a path belongs to (as
    // a udev rule matches them); false when the path is not on USB or the
    // IDs cannot be read.
    virtual bool UsbIds(const std::string& path, std::uint16_t& vendor, std::uint16_t& product) {
        (void)path;
        (void)vendor;
        (void)product;
        return false;
    }
    // Paths whose open failed with EBUSY (another program works on them)
    // since the last call; the list is cleared by reading it.
    virtual std::vector<std::string> TakeBusyRefusals() { return {}; }
    // The largest data phase, in bytes, that one request to path may carry:
    // the storage driver refuses a larger request before it reaches the
    // device. 0 when the host does not know the limit.
    virtual std::uint32_t MaxTransferBytes(const std::string& path) {
        (void)path;
        return 0;
    }
};

// Holds the current host's exclusive claim on a bridge for its lifetime.
class DeviceClaim {
public:
    explicit DeviceClaim(const std::string& path);
    ~DeviceClaim();
    DeviceClaim(const DeviceClaim&) = delete;
    DeviceClaim& operator=(const DeviceClaim&) = delete;

    bool held() const { return error_ == 0; }
    int error() const { return error_; }

private:
    Host& host_;
    std::string path_;
    int error_ = 0;
};

// What the operator reads when a bridge is claimed by another program.
std::string BusyText(const std::string& path);

// The host of the command session in force (CommandSession.h).
Host& CurrentHost();

}  // namespace v62x
