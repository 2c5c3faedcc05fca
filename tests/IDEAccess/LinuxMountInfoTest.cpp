#include "IDEAccess/LinuxMountInfo.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace v62x {
namespace {

struct Expected {
    unsigned major;
    unsigned minor;
    std::string mountPoint;
    std::string fsType;
    std::string source;
};

TEST(LinuxMountInfo, ParsesLines) {
    struct Case {
        const char* what;
        std::string text;
        std::vector<Expected> entries;
    };
    const std::vector<Case> cases = {
        {"one optional field",
         "29 1 8:17 / /media/usb rw,relatime shared:1 - ext4 /dev/sdb1 rw\n",
         {{8, 17, "/media/usb", "ext4", "/dev/sdb1"}}},
        {"several optional fields",
         "30 29 8:33 /sub /mnt/a rw shared:5 master:1 propagate_from:2 unbindable - vfat /dev/sdc1 "
         "rw,fmask=0022\n",
         {{8, 33, "/mnt/a", "vfat", "/dev/sdc1"}}},
        {"no optional field",
         "31 1 11:0 / /media/cdrom ro - iso9660 /dev/sr0 ro\n",
         {{11, 0, "/media/cdrom", "iso9660", "/dev/sr0"}}},
        {"escaped space, tab, newline and backslash",
         "32 1 8:18 / /media/My\\040Disk\\011a\\012b\\134c rw - exfat /dev/sdb2 rw\n",
         {{8, 18, "/media/My Disk\ta\nb\\c", "exfat", "/dev/sdb2"}}},
        {"escaped source",
         "33 1 0:50 / /mnt/share rw - cifs //server/My\\040Share rw\n",
         {{0, 50, "/mnt/share", "cifs", "//server/My Share"}}},
        {"network file system without block device",
         "34 1 0:53 / /net/home rw,relatime shared:9 - nfs4 server:/export/home rw,vers=4.2\n",
         {{0, 53, "/net/home", "nfs4", "server:/export/home"}}},
        {"large device numbers",
         "35 1 259:65539 / /data rw - xfs /dev/nvme0n1p3 rw\n",
         {{259, 65539, "/data", "xfs", "/dev/nvme0n1p3"}}},
        {"backslash not followed by three octal digits stays",
         "36 1 8:1 / /a\\08b\\x\\4 rw - ext4 /dev/sda1 rw\n",
         {{8, 1, "/a\\08b\\x\\4", "ext4", "/dev/sda1"}}},
        {"last line without newline, super options missing",
         "37 1 8:2 / /b rw - ext4 /dev/sda2",
         {{8, 2, "/b", "ext4", "/dev/sda2"}}},
        {"empty text", "", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::vector<MountInfoEntry> entries = ParseMountInfo(c.text);
        ASSERT_EQ(c.entries.size(), entries.size());
        for (std::size_t i = 0; i < entries.size(); ++i) {
            EXPECT_EQ(c.entries[i].major, entries[i].major);
            EXPECT_EQ(c.entries[i].minor, entries[i].minor);
            EXPECT_EQ(c.entries[i].mountPoint, entries[i].mountPoint);
            EXPECT_EQ(c.entries[i].fsType, entries[i].fsType);
            EXPECT_EQ(c.entries[i].source, entries[i].source);
        }
    }
}

TEST(LinuxMountInfo, SkipsMalformedLinesAndKeepsTheOthers) {
    const std::vector<std::pair<const char*, std::string>> malformed = {
        {"no separator", "40 1 8:1 / /x rw shared:1 ext4 /dev/sda1 rw"},
        {"nothing after the separator", "41 1 8:1 / /x rw -"},
        {"no source after the type", "42 1 8:1 / /x rw - ext4"},
        {"too few fields before the separator", "43 1 8:1 / - ext4 /dev/sda1 rw"},
        {"device number without colon", "44 1 8 / /x rw - ext4 /dev/sda1 rw"},
        {"device number not numeric", "45 1 8:a / /x rw - ext4 /dev/sda1 rw"},
        {"negative minor", "46 1 8:-1 / /x rw - ext4 /dev/sda1 rw"},
        {"mount id not numeric", "x 1 8:1 / /x rw - ext4 /dev/sda1 rw"},
        {"empty mount point", "47 1 8:1 /  rw - ext4 /dev/sda1 rw"},
        {"blank line", ""},
        {"garbage", "not a mount line at all"},
    };
    const std::string good1 = "20 1 254:0 / / rw,relatime - ext4 /dev/vda rw\n";
    const std::string good2 = "21 20 8:17 / /media/usb rw - vfat /dev/sdb1 rw\n";
    for (const auto& [what, line] : malformed) {
        SCOPED_TRACE(what);
        const std::vector<MountInfoEntry> entries = ParseMountInfo(good1 + line + "\n" + good2);
        ASSERT_EQ(2u, entries.size());
        EXPECT_EQ("/", entries[0].mountPoint);
        EXPECT_EQ("/media/usb", entries[1].mountPoint);
    }
}

}  // namespace
}  // namespace v62x
