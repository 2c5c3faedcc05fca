// Parser of the kernel's per-process mount table (/proc/self/mountinfo).
// Pure function, no system calls: LinuxHost reads the file and hands the
// text over.
#pragma once

#include <string>
#include <vector>

namespace v62x {

// One mounted file system. major and minor are the device number of the
// file system (major 0 for file systems without a block device, such as
// network and virtual ones).
struct MountInfoEntry {
    unsigned major = 0;
    unsigned minor = 0;
    std::string mountPoint;
    std::string fsType;
    std::string source;
};

// Lines have the form
//   id parent major:minor root mountpoint options [optional fields...] - fstype source superoptions
// Octal escapes (\040 space, \011 tab, \012 newline, \134 backslash) in the
// mount point, root and source are decoded. Malformed lines are skipped.
std::vector<MountInfoEntry> ParseMountInfo(const std::string& text);

}  // namespace v62x
