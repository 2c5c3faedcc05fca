#include "FakeTestbed.h"

#include <scsi/sg.h>

#include <algorithm>
#include <cstddef>
#include <cstring>

namespace v62x::platform {
namespace {

// The machine in umockdev's text form: one block per device, parents first,
// kernel-style paths. Drivers are links whose last component names them.
constexpr const char* kMachine = R"(P: /devices/pci0000:00/0000:00:14.0
E: SUBSYSTEM=pci
L: driver=../../../bus/pci/drivers/xhci_hcd

P: /devices/pci0000:00/0000:00:14.0/usb2
E: SUBSYSTEM=usb
E: DEVTYPE=usb_device
L: driver=../../../../bus/usb/drivers/usb

P: /devices/pci0000:00/0000:00:14.0/usb2/2-1
E: SUBSYSTEM=usb
E: DEVTYPE=usb_device
L: driver=../../../../../bus/usb/drivers/usb

P: /devices/pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0
E: SUBSYSTEM=usb
E: DEVTYPE=usb_interface
L: driver=../../../../../../bus/usb/drivers/usb-storage

P: /devices/pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host1
E: SUBSYSTEM=scsi
E: DEVTYPE=scsi_host

P: /devices/pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host1/target1:0:0
E: SUBSYSTEM=scsi
E: DEVTYPE=scsi_target

P: /devices/pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host1/target1:0:0/1:0:0:0
E: SUBSYSTEM=scsi
E: DEVTYPE=scsi_device
L: driver=../../../../../../../../../bus/scsi/drivers/sd

P: /devices/pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host1/target1:0:0/1:0:0:0/block/sdb
N: sdb
E: SUBSYSTEM=block
E: DEVTYPE=disk
E: DEVNAME=/dev/sdb
E: MAJOR=8
E: MINOR=16
A: dev=8:16

P: /devices/pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host1/target1:0:0/1:0:0:0/block/sdb/sdb1
N: sdb1
E: SUBSYSTEM=block
E: DEVTYPE=partition
E: DEVNAME=/dev/sdb1
E: MAJOR=8
E: MINOR=17
A: dev=8:17
A: partition=1

P: /devices/pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host1/target1:0:0/1:0:0:0/scsi_generic/sg1
N: sg1=00
E: SUBSYSTEM=scsi_generic
E: DEVNAME=/dev/sg1
E: MAJOR=21
E: MINOR=1
A: dev=21:1

P: /devices/pci0000:00/0000:00:14.0/usb2/2-2
E: SUBSYSTEM=usb
E: DEVTYPE=usb_device
L: driver=../../../../../bus/usb/drivers/usb

P: /devices/pci0000:00/0000:00:14.0/usb2/2-2/2-2:1.0
E: SUBSYSTEM=usb
E: DEVTYPE=usb_interface
L: driver=../../../../../../bus/usb/drivers/uas

P: /devices/pci0000:00/0000:00:14.0/usb2/2-2/2-2:1.0/host2
E: SUBSYSTEM=scsi
E: DEVTYPE=scsi_host

P: /devices/pci0000:00/0000:00:14.0/usb2/2-2/2-2:1.0/host2/target2:0:0
E: SUBSYSTEM=scsi
E: DEVTYPE=scsi_target

P: /devices/pci0000:00/0000:00:14.0/usb2/2-2/2-2:1.0/host2/target2:0:0/2:0:0:0
E: SUBSYSTEM=scsi
E: DEVTYPE=scsi_device
L: driver=../../../../../../../../../bus/scsi/drivers/sd

P: /devices/pci0000:00/0000:00:14.0/usb2/2-2/2-2:1.0/host2/target2:0:0/2:0:0:0/block/sdc
N: sdc
E: SUBSYSTEM=block
E: DEVTYPE=disk
E: DEVNAME=/dev/sdc
E: MAJOR=8
E: MINOR=32
A: dev=8:32

P: /devices/pci0000:00/0000:00:14.0/usb2/2-3
E: SUBSYSTEM=usb
E: DEVTYPE=usb_device
L: driver=../../../../../bus/usb/drivers/usb

P: /devices/pci0000:00/0000:00:14.0/usb2/2-3/2-3:1.0
E: SUBSYSTEM=usb
E: DEVTYPE=usb_interface
L: driver=../../../../../../bus/usb/drivers/usb-storage

P: /devices/pci0000:00/0000:00:14.0/usb2/2-3/2-3:1.0/host4
E: SUBSYSTEM=scsi
E: DEVTYPE=scsi_host

P: /devices/pci0000:00/0000:00:14.0/usb2/2-3/2-3:1.0/host4/target4:0:0
E: SUBSYSTEM=scsi
E: DEVTYPE=scsi_target

P: /devices/pci0000:00/0000:00:14.0/usb2/2-3/2-3:1.0/host4/target4:0:0/4:0:0:0
E: SUBSYSTEM=scsi
E: DEVTYPE=scsi_device
L: driver=../../../../../../../../../bus/scsi/drivers/sr

P: /devices/pci0000:00/0000:00:14.0/usb2/2-3/2-3:1.0/host4/target4:0:0/4:0:0:0/block/sr0
N: sr0
E: SUBSYSTEM=block
E: DEVTYPE=disk
E: DEVNAME=/dev/sr0
E: MAJOR=11
E: MINOR=0
A: dev=11:0

P: /devices/pci0000:00/0000:00:17.0
E: SUBSYSTEM=pci
L: driver=../../../bus/pci/drivers/ahci

P: /devices/pci0000:00/0000:00:17.0/ata1
E: SUBSYSTEM=ata_port

P: /devices/pci0000:00/0000:00:17.0/ata1/host0
E: SUBSYSTEM=scsi
E: DEVTYPE=scsi_host

P: /devices/pci0000:00/0000:00:17.0/ata1/host0/target0:0:0
E: SUBSYSTEM=scsi
E: DEVTYPE=scsi_target

P: /devices/pci0000:00/0000:00:17.0/ata1/host0/target0:0:0/0:0:0:0
E: SUBSYSTEM=scsi
E: DEVTYPE=scsi_device
L: driver=../../../../../../bus/scsi/drivers/sd

P: /devices/pci0000:00/0000:00:17.0/ata1/host0/target0:0:0/0:0:0:0/block/sda
N: sda
E: SUBSYSTEM=block
E: DEVTYPE=disk
E: DEVNAME=/dev/sda
E: MAJOR=8
E: MINOR=0
A: dev=8:0

P: /devices/pci0000:00/0000:00:1c.0
E: SUBSYSTEM=pci
L: driver=../../../bus/pci/drivers/pcieport

P: /devices/pci0000:00/0000:00:1c.0/0000:05:00.0
E: SUBSYSTEM=pci
L: driver=../../../../bus/pci/drivers/firewire_ohci

P: /devices/pci0000:00/0000:00:1c.0/0000:05:00.0/fw1
E: SUBSYSTEM=firewire

P: /devices/pci0000:00/0000:00:1c.0/0000:05:00.0/fw1/fw1.0
E: SUBSYSTEM=firewire
L: driver=../../../../../../bus/firewire/drivers/firewire_sbp2

P: /devices/pci0000:00/0000:00:1c.0/0000:05:00.0/fw1/fw1.0/host3
E: SUBSYSTEM=scsi
E: DEVTYPE=scsi_host

P: /devices/pci0000:00/0000:00:1c.0/0000:05:00.0/fw1/fw1.0/host3/target3:0:0
E: SUBSYSTEM=scsi
E: DEVTYPE=scsi_target

P: /devices/pci0000:00/0000:00:1c.0/0000:05:00.0/fw1/fw1.0/host3/target3:0:0/3:0:0:0
E: SUBSYSTEM=scsi
E: DEVTYPE=scsi_device
L: driver=../../../../../../../../../bus/scsi/drivers/sd

P: /devices/pci0000:00/0000:00:1c.0/0000:05:00.0/fw1/fw1.0/host3/target3:0:0/3:0:0:0/block/sdd
N: sdd
E: SUBSYSTEM=block
E: DEVTYPE=disk
E: DEVNAME=/dev/sdd
E: MAJOR=8
E: MINOR=48
A: dev=8:48

P: /devices/pci0000:00/0000:00:1c.0/0000:05:00.0/fw1/fw1.0/host3/target3:0:0/3:0:0:0/scsi_generic/sg3
N: sg3=00
E: SUBSYSTEM=scsi_generic
E: DEVNAME=/dev/sg3
E: MAJOR=21
E: MINOR=3
A: dev=21:3
)";

constexpr unsigned kDidError = 0x07;
constexpr unsigned kDriverSense = 0x08;

// Fixed-format sense data as a disk returns it after CHECK CONDITION.
constexpr std::size_t kFixedSenseLength = 18;

gboolean HandleIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer userData) {
    if (umockdev_ioctl_client_get_request(client) != SG_IO) return FALSE;
    auto* router = static_cast<SgIoRouter*>(userData);
    return router->Execute(umockdev_ioctl_client_get_devnode(client), client) ? TRUE : FALSE;
}

}  // namespace

void SgIoRouter::Route(const std::string& node, sim::VirtualDevice* device) {
    std::lock_guard<std::mutex> lock(mutex_);
    devices_[node] = device;
}

void SgIoRouter::FailIoctl(const std::string& node, int error) {
    std::lock_guard<std::mutex> lock(mutex_);
    failures_[node] = error;
}

int SgIoRouter::Requests(const std::string& node) {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_[node];
}

bool SgIoRouter::Execute(const std::string& node, UMockdevIoctlClient* client) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = devices_.find(node);
    if (found == devices_.end()) return false;
    ++requests_[node];
    if (const int error = failures_[node]; error != 0) {
        umockdev_ioctl_client_complete(client, -1, error);
        return true;
    }

    // Every pointer inside the header lives in the caller's memory and is
    // fetched separately; a null pointer or zero length gives null.
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    g_autoptr(UMockdevIoctlData) header =
        umockdev_ioctl_data_resolve(arg, 0, sizeof(sg_io_hdr_t), nullptr);
    if (header == nullptr) {
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return true;
    }
    auto* hdr = reinterpret_cast<sg_io_hdr_t*>(header->data);
    if (hdr->interface_id != 'S' || hdr->cmd_len == 0 || hdr->cmd_len > 16) {
        umockdev_ioctl_client_complete(client, -1, EINVAL);
        return true;
    }
    g_autoptr(UMockdevIoctlData) cdb =
        umockdev_ioctl_data_resolve(header, offsetof(sg_io_hdr_t, cmdp), hdr->cmd_len, nullptr);
    g_autoptr(UMockdevIoctlData) data =
        umockdev_ioctl_data_resolve(header, offsetof(sg_io_hdr_t, dxferp), hdr->dxfer_len, nullptr);
    g_autoptr(UMockdevIoctlData) sense =
        umockdev_ioctl_data_resolve(header, offsetof(sg_io_hdr_t, sbp), hdr->mx_sb_len, nullptr);
    if (cdb == nullptr || (hdr->dxfer_len != 0 && data == nullptr)) {
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return true;
    }

    const DataDirection direction =
        hdr->dxfer_direction == SG_DXFER_TO_DEV ? DataDirection::Out : DataDirection::In;
    const std::uint32_t length = data != nullptr ? static_cast<std::uint32_t>(data->data_len) : 0;
    const HostReply reply =
        found->second->Execute(cdb->data, static_cast<std::size_t>(cdb->data_len), direction,
                               data != nullptr ? data->data : nullptr, length);

    hdr->status = reply.scsiStatus;
    hdr->masked_status = static_cast<unsigned char>(reply.scsiStatus >> 1);
    hdr->host_status = reply.completed ? 0 : kDidError;
    hdr->driver_status = 0;
    hdr->sb_len_wr = 0;
    hdr->resid = static_cast<int>(hdr->dxfer_len - std::min(reply.transferred, hdr->dxfer_len));
    hdr->info = 0;
    if (reply.scsiStatus == scsi::kCheckCondition && sense != nullptr) {
        std::uint8_t fixed[kFixedSenseLength] = {};
        fixed[0] = 0x70;
        fixed[2] = reply.senseKey;
        fixed[7] = kFixedSenseLength - 8;
        fixed[12] = reply.asc;
        fixed[13] = reply.ascq;
        const std::size_t written =
            std::min<std::size_t>(kFixedSenseLength, static_cast<std::size_t>(sense->data_len));
        std::memcpy(sense->data, fixed, written);
        hdr->sb_len_wr = static_cast<unsigned char>(written);
        hdr->driver_status = kDriverSense;
        hdr->info = SG_INFO_CHECK;
    }
    umockdev_ioctl_client_complete(client, 0, 0);
    return true;
}

FakeTestbed::FakeTestbed() {
    testbed_ = umockdev_testbed_new();
    if (testbed_ == nullptr || !umockdev_in_mock_environment()) {
        error_ = "umockdev test bed not in effect";
        return;
    }
    handler_ = umockdev_ioctl_base_new();
    g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(HandleIoctl), &router_);
    Add(kMachine);
}

FakeTestbed::~FakeTestbed() {
    for (const std::string& node : attached_) {
        umockdev_testbed_detach_ioctl(testbed_, node.c_str(), nullptr);
    }
    if (handler_ != nullptr) g_object_unref(handler_);
    if (testbed_ != nullptr) g_object_unref(testbed_);
}

bool FakeTestbed::Add(const std::string& description) {
    GError* error = nullptr;
    if (!umockdev_testbed_add_from_string(testbed_, description.c_str(), &error)) {
        error_ = std::string("adding devices: ") + (error != nullptr ? error->message : "?");
        g_clear_error(&error);
        return false;
    }
    return true;
}

bool FakeTestbed::AttachSgIo(const std::string& node) {
    GError* error = nullptr;
    if (!umockdev_testbed_attach_ioctl(testbed_, node.c_str(), handler_, &error)) {
        error_ = "attaching " + node + ": " + (error != nullptr ? error->message : "?");
        g_clear_error(&error);
        return false;
    }
    attached_.push_back(node);
    return true;
}

void FakeTestbed::Uevent(const std::string& syspath, const std::string& action) {
    umockdev_testbed_uevent(testbed_, syspath.c_str(), action.c_str());
}

}  // namespace v62x::platform
