// A umockdev test bed with the devices the platform tests use, and the
// SG_IO handler that routes every request on a fake node to a virtual
// device of the simulator, so the real LinuxHost code talks to it.
#pragma once

#include <umockdev.h>

#include <cerrno>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "VirtualBridge/VirtualDevice.h"

namespace v62x::platform {

// The fake machine:
//   USB, usb-storage:  /dev/sdb (8:16) with partition /dev/sdb1 (8:17), SCSI generic /dev/sg1
//   (21:1) USB, uas:          /dev/sdc (8:32) IEEE 1394, sbp2:   /dev/sdd (8:48), SCSI generic
//   /dev/sg3 (21:3) USB, usb-storage:  /dev/sr0 (11:0), CD-ROM class SATA, ahci:        /dev/sda
//   (8:0), no candidate
namespace tree {
constexpr const char* kUsbStorageDisk =
    "/sys/devices/pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host1/target1:0:0/1:0:0:0/block/sdb";
constexpr const char* kUsbStorageInterface =
    "/sys/devices/pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0";
constexpr const char* kUasDisk =
    "/sys/devices/pci0000:00/0000:00:14.0/usb2/2-2/2-2:1.0/host2/target2:0:0/2:0:0:0/block/sdc";
}  // namespace tree

// Hands each SG_IO request on an attached node to the virtual device
// registered for it. Called on umockdev's worker thread.
class SgIoRouter {
public:
    void Route(const std::string& node, sim::VirtualDevice* device);
    // The next requests on node fail in the ioctl itself with this errno
    // (0: normal operation again), as the kernel's command filter does.
    void FailIoctl(const std::string& node, int error);
    int Requests(const std::string& node);

    // Fills the request header from the virtual device's answer; returns
    // false when the node has no device.
    bool Execute(const std::string& node, UMockdevIoctlClient* client);

private:
    std::mutex mutex_;
    std::map<std::string, sim::VirtualDevice*> devices_;
    std::map<std::string, int> failures_;
    std::map<std::string, int> requests_;
};

class FakeTestbed {
public:
    // Creates the test bed (before any udev context may exist) and the fake
    // machine above. ok() tells whether all of it worked.
    FakeTestbed();
    ~FakeTestbed();
    FakeTestbed(const FakeTestbed&) = delete;
    FakeTestbed& operator=(const FakeTestbed&) = delete;

    bool ok() const { return error_.empty(); }
    const std::string& error() const { return error_; }

    // Adds devices in umockdev's text form (parents first).
    bool Add(const std::string& description);
    // Sends SG_IO requests on node to the router.
    bool AttachSgIo(const std::string& node);
    void Uevent(const std::string& syspath, const std::string& action);

    SgIoRouter& router() { return router_; }

private:
    UMockdevTestbed* testbed_ = nullptr;
    UMockdevIoctlBase* handler_ = nullptr;
    std::vector<std::string> attached_;
    SgIoRouter router_;
    std::string error_;
};

}  // namespace v62x::platform
