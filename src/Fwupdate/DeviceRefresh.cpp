#include "Fwupdate/DeviceRefresh.h"

#include <cstring>

#include "IDEAccess/ChipCommands.h"
#include "IDEAccess/Host.h"
#include "IDEAccess/IdentifyChip.h"

namespace v62x {
namespace {

constexpr std::size_t kNameLength = 24;  // INQUIRY vendor + product identification

}  // namespace

RefreshOutcome RefreshDevices(DeviceTable& table) {
    Host& host = CurrentHost();
    host.TakePermissionRefusals();  // only this refresh's refusals are reported
    host.TakeBusyRefusals();

    RefreshOutcome outcome;
    CandidateSlots slots;
    const int disks = EnumBridgeDisks(slots, true);
    const int cdroms = EnumBridgeCdRoms(slots, disks, true);
    table.CandidateCount = disks + cdroms;

    // The name keeps the last successful INQUIRY's text when one fails.
    char name[kNameLength + 1] = {};
    int listed = 0;
    // The record of the first listed CD-ROM-class bridge: the records hold
    // the listed devices only, so a disk that is no bridge shifts them from
    // the candidates' order.
    int firstCdRomRecord = -1;
    for (int k = 0; k < table.CandidateCount; ++k) {
        if (k == disks) firstCdRomRecord = listed;
        // Device nodes are case-sensitive here: the path is used as found.
        const std::string& path = slots[static_cast<std::size_t>(k)];
        std::uint8_t inquiry[40] = {};
        if (Inquiry(path, inquiry, sizeof inquiry) != 0) std::memcpy(name, &inquiry[8], kNameLength);

        DeviceRecord& record = table.records[static_cast<std::size_t>(listed)];
        record.InterfacePath = path;
        record.ReleaseAtExit = 0;
        record.RecoveryChecked = 0;
        VendorModeOn(path);

        outcome.currentChip = IdentifyChip(path);
        if (ChipKindOf(outcome.currentChip) == 0) continue;

        FindDriveLetters(path, record.DriveLetters);
        if (host.IsOnIeee1394(path)) {
            outcome.diskLabelCaption = "1394 DISK";
            outcome.entries.push_back(std::string("<<1394>> ") + name);
        } else {
            outcome.diskLabelCaption = "USB DISK";
            outcome.entries.push_back(std::string("<<USB>> ") + name);
        }
        outcome.chips.push_back(outcome.currentChip);
        ++listed;
    }

    // CD-ROM-class bridges get vendor mode once more and are released at exit;
    // no record past the listed ones keeps the mark of an earlier refresh.
    for (int p = 0; p < kCandidateSlots; ++p) {
        DeviceRecord& record = table.records[static_cast<std::size_t>(p)];
        record.ReleaseAtExit = firstCdRomRecord >= 0 && p >= firstCdRomRecord && p < listed ? 1 : 0;
        if (record.ReleaseAtExit == 1) VendorModeOn(record.InterfacePath);
    }

    table.ListedCount = listed;
    outcome.empty = outcome.entries.empty();
    outcome.refusedPaths = host.TakePermissionRefusals();
    outcome.busyPaths = host.TakeBusyRefusals();
    return outcome;
}

void ReleaseMarkedDevices(const DeviceTable& table) {
    for (int i = 0; i < table.CandidateCount && i < kCandidateSlots; ++i) {
        const DeviceRecord& record = table.records[static_cast<std::size_t>(i)];
        if (record.ReleaseAtExit == 1) VendorModeOff(record.InterfacePath);
    }
}

std::string PermissionRefusalText(const std::string& path) {
    return "no permission to access " + path + ": run as root";
}

}  // namespace v62x
