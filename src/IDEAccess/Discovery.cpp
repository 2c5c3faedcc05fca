#include "IDEAccess/Discovery.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "IDEAccess/Host.h"
#include "IDEAccess/Transport.h"

namespace v62x {
namespace {

int EnumClass(DeviceClass cls, CandidateSlots& slots, int firstSlot, bool include1394) {
    Host& host = CurrentHost();
    int slot = firstSlot;
    for (const Candidate& candidate : host.ListCandidates(cls)) {
        if (candidate.bus == Bus::Ieee1394 && !include1394) continue;
        if (candidate.path.size() > kMaxDevicePath) {
            host.Trace("device path longer than " + std::to_string(kMaxDevicePath) +
                       " bytes skipped: " + candidate.path);
            continue;
        }
        if (slot >= kCandidateSlots) {
            host.Trace("more than " + std::to_string(kCandidateSlots) +
                       " candidate devices: skipped " + candidate.path);
            continue;
        }
        slots[static_cast<std::size_t>(slot++)] = candidate.path;
    }
    return slot - firstSlot;
}

constexpr std::array<std::string_view, 16> kNetworkFileSystems = {
    "nfs",   "nfs4",      "cifs",   "smb3",  "smbfs",      "ncpfs",       "afs",    "ceph",
    "9p",    "glusterfs", "lustre", "sshfs", "fuse.sshfs", "fuse.davfs2", "davfs2", "fuse.glusterfs",
};

}  // namespace

int EnumBridgeDisks(CandidateSlots& slots, bool include1394) {
    return EnumClass(DeviceClass::Disk, slots, 0, include1394);
}

int EnumBridgeCdRoms(CandidateSlots& slots, int firstSlot, bool include1394) {
    if (firstSlot < 0 || firstSlot > kCandidateSlots) return 0;
    return EnumClass(DeviceClass::CdRom, slots, firstSlot, include1394);
}

bool IsNetworkFileSystem(const std::string& fsType) {
    return std::find(kNetworkFileSystems.begin(), kNetworkFileSystems.end(), fsType) !=
           kNetworkFileSystems.end();
}

void FindDriveLetters(const std::string& path, std::string& out) {
    std::uint8_t record[12] = {};
    if (GetDeviceNumber(path, record) == 0) return;
    std::uint32_t fields[3] = {};
    std::memcpy(fields, record, sizeof fields);

    out.clear();
    for (const MountedVolume& volume : CurrentHost().ListMountedVolumes()) {
        if (volume.mountPoint == "/" || IsNetworkFileSystem(volume.fsType)) continue;
        if (!volume.hasDeviceNumber) continue;
        // The partition is not compared: every volume of the same disk counts.
        if (volume.number.deviceType != fields[0] || volume.number.deviceNumber != fields[1]) {
            continue;
        }
        if (!out.empty()) out += ' ';
        out += volume.mountPoint;
    }
}

}  // namespace v62x
