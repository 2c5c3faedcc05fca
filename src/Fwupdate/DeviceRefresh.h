// The device table and its refresh: enumerate the candidates, ask each which
// chip it is, and keep the ones that answer as a chip of the family. Free of
// any window: the window applies the outcome to its list and labels.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "IDEAccess/Discovery.h"

namespace v62x {

constexpr const char* kNoDeviceText = "No available device!!!";

struct DeviceRecord {
    std::string InterfacePath;  // the device path every command receives
    std::string DriveLetters;   // mount points of the same disk's volumes
    std::int32_t ReleaseAtExit = 0;    // 1: send vendor mode off when the window closes
    std::int32_t RecoveryChecked = 0;  // 1: both firmware banks were read since the refresh
};

struct DeviceTable {
    std::array<DeviceRecord, kCandidateSlots> records;
    // Candidates found by both enumerations together, not the listed ones.
    int CandidateCount = 0;
    // Records that belong to list entries (the rest may hold older paths).
    int ListedCount = 0;
};

struct RefreshOutcome {
    // No device listed: the list shows kNoDeviceText and is disabled, Run is
    // disabled. Also when candidates exist but none answered as a chip.
    bool empty = true;
    std::vector<std::string> entries;   // list texts, record i for entry i
    std::vector<std::uint16_t> chips;   // identification of each listed entry
    std::string diskLabelCaption;       // "USB DISK" / "1394 DISK" of the last listed; empty: unchanged
    std::uint16_t currentChip = 0;      // identification of the last candidate probed
    std::vector<std::string> refusedPaths;  // devices the host refused for lack of permission
    std::vector<std::string> busyPaths;     // devices another program holds (BusyText)
};

RefreshOutcome RefreshDevices(DeviceTable& table);

// Sends vendor mode off to every record marked for release (window close).
void ReleaseMarkedDevices(const DeviceTable& table);

// Releases the marked devices of a table when it goes out of scope, on every
// path (the command line's counterpart of closing the window). A device that
// is gone by then is passed over.
class ReleaseAtExitGuard {
public:
    explicit ReleaseAtExitGuard(const DeviceTable& table) : table_(table) {}
    ~ReleaseAtExitGuard() { ReleaseMarkedDevices(table_); }
    ReleaseAtExitGuard(const ReleaseAtExitGuard&) = delete;
    ReleaseAtExitGuard& operator=(const ReleaseAtExitGuard&) = delete;

private:
    const DeviceTable& table_;
};

// The operator's text for a refused device.
std::string PermissionRefusalText(const std::string& path);

}  // namespace v62x
