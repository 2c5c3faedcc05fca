#include "FakeTestbed.h"

#include <scsi/sg.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>

namespace v62x::platform {
namespace {

// The machine in umockdev's text form: one block per device, parents first,
// kernel-style paths. Drivers are links whose last component names them.
std::string Entry(const std::string& path, const std::string& subsystem, const std::string& devtype = {},
                  const std::string& bus = {}, const std::string& driver = {}) {
    std::string text = "P: /devices/" + path + "\nE: SUBSYSTEM=" + subsystem + "\n";
    if (!devtype.empty()) text += "E: DEVTYPE=" + devtype + "\n";
    if (!driver.empty()) {
        std::string up;
        for (std::size_t n = std::count(path.begin(), path.end(), '/') + 2; n > 0; --n) up += "../";
        text += "L: driver=" + up + "bus/" + bus + "/drivers/" + driver + "\n";
    }
    return text + "\n";
}

// A device node below `parent`: a block device (`devtype` disk or
// partition) or, without a devtype, a SCSI generic node.
std::string Node(const std::string& parent, const std::string& name, int major, int minor,
                 const std::string& devtype = {}) {
    const std::string subsystem = devtype.empty() ? "scsi_generic" : "block";
    const std::string number = std::to_string(major) + ":" + std::to_string(minor);
    std::string text = "P: /devices/" + parent + "/" + (devtype.empty() ? "scsi_generic/" : "") + name +
                       "\nN: " + name + (devtype.empty() ? "=00" : "") + "\nE: SUBSYSTEM=" + subsystem + "\n";
    if (!devtype.empty()) text += "E: DEVTYPE=" + devtype + "\n";
    text += "E: DEVNAME=/dev/" + name + "\nE: MAJOR=" + std::to_string(major) + "\nE: MINOR=" +
            std::to_string(minor) + "\nA: dev=" + number + "\n";
    if (devtype == "partition") text += "A: partition=1\n";
    return text + "\n";
}

// SCSI host `n` below `parent` with its target and its LUN 0 bound to
// `driver`; `lun` is set to the LUN's path.
std::string Scsi(const std::string& parent, int n, const std::string& driver, std::string& lun) {
    const std::string id = std::to_string(n);
    const std::string host = parent + "/host" + id;
    const std::string target = host + "/target" + id + ":0:0";
    lun = target + "/" + id + ":0:0:0";
    return Entry(host, "scsi", "scsi_host") + Entry(target, "scsi", "scsi_target") +
           Entry(lun, "scsi", "scsi_device", "scsi", driver);
}

// A USB port below the controller with its mass-storage interface and the
// SCSI host `n` behind it.
std::string UsbPort(const std::string& port, const std::string& interfaceDriver, int n, const std::string& driver,
                    std::string& lun) {
    const std::string device = "pci0000:00/0000:00:14.0/usb2/" + port;
    const std::string interface = device + "/" + port + ":1.0";
    return Entry(device, "usb", "usb_device", "usb", "usb") +
           Entry(interface, "usb", "usb_interface", "usb", interfaceDriver) + Scsi(interface, n, driver, lun);
}

std::string Machine() {
    std::string lun;  // set by each chain before its nodes use it
    std::string text = Entry("pci0000:00/0000:00:14.0", "pci", {}, "pci", "xhci_hcd") +
                       Entry("pci0000:00/0000:00:14.0/usb2", "usb", "usb_device", "usb", "usb");
    text += UsbPort("2-1", "usb-storage", 1, "sd", lun);
    text += Node(lun + "/block", "sdb", 8, 16, "disk") + Node(lun + "/block/sdb", "sdb1", 8, 17, "partition") +
            Node(lun, "sg1", 21, 1);
    text += UsbPort("2-2", "uas", 2, "sd", lun);
    text += Node(lun + "/block", "sdc", 8, 32, "disk");
    text += UsbPort("2-3", "usb-storage", 4, "sr", lun);
    text += Node(lun + "/block", "sr0", 11, 0, "disk");
    const std::string ata = "pci0000:00/0000:00:17.0/ata1";
    text += Entry("pci0000:00/0000:00:17.0", "pci", {}, "pci", "ahci") + Entry(ata, "ata_port");
    text += Scsi(ata, 0, "sd", lun);
    text += Node(lun + "/block", "sda", 8, 0, "disk");
    const std::string fw = "pci0000:00/0000:00:1c.0/0000:05:00.0/fw1";
    text += Entry("pci0000:00/0000:00:1c.0", "pci", {}, "pci", "pcieport") +
            Entry("pci0000:00/0000:00:1c.0/0000:05:00.0", "pci", {}, "pci", "firewire_ohci") +
            Entry(fw, "firewire") + Entry(fw + "/fw1.0", "firewire", {}, "firewire", "firewire_sbp2");
    text += Scsi(fw + "/fw1.0", 3, "sd", lun);
    return text + Node(lun + "/block", "sdd", 8, 48, "disk") + Node(lun, "sg3", 21, 3);
}

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
    Add(Machine());
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
