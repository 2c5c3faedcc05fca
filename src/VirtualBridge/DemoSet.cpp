// The demo bridges and their images. Each image is laid out the way the
// tool's file check (FileMatchesChip) recognises the chip's firmware, and is
// no larger than the procedure that serves the chip takes:
//
// - kinds 8 and 6: the 4 KiB NVRAM block in front, the tag block at 0x1000
//   (kind 6 with the revision digit in byte 8); 64 KiB.
// - kind 4: the tag "624" and the digit of revision minus 1 at 0; 64 KiB
//   ending in its 8-bit sum.
// - kind 2: any image whose tag does not begin with "62"; the internal-ROM
//   procedure takes at most 64 KiB.
// - kind 7 on IEEE 1394: the file begins with the tag "v642" (revision 1);
//   32 KiB, so that the page flash update keeps the NVRAM at 0x8000.
// - kind 12: the tag "735" at 0xBFF0 with the bank's CRC-16 behind it; one
//   64 KiB bank (the two-bank update writes it to both banks, the disk area
//   of a bridge that runs its firmware from the disk holds 64 KiB).
// - kind 14: the disk area takes up to 128 KiB; 64 KiB here, tagged "705"
//   like the others, although the file check takes no file for this chip
//   (the window leaves Run off; the procedure itself writes it).
//
// Where the simulator knows the chip's firmware, the image starts as the
// minimal one its bridge boots (MinimalFirmwareImage). Every image carries a
// text naming it, so that it differs from the firmware the bridge ships
// with and a backup after the run shows which image went in; images without
// a leading NVRAM block end in their 8-bit sum, as the tool's "Check
// CheckSum" option wants.
#include "VirtualBridge/DemoSet.h"

#include <algorithm>
#include <numeric>

#include "VirtualBridge/BridgeFirmware.h"

namespace v62x::sim {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t KiB = 1024;
constexpr std::uint32_t kImage = 64 * KiB;
constexpr std::uint32_t kPageImage = 32 * KiB;
constexpr std::size_t kStampAfterTag = 0x0100;      // images with the tag at 0
constexpr std::size_t kStampAfterNvram = 0x2000;    // behind the tag block at 0x1000
constexpr std::size_t kStampBehindBankNvram = 0xD000;  // kind 12: past the CRC span and the NVRAM

Bytes Blank(std::uint32_t size) { return Bytes(size, 0xFF); }

// A tag block at `at`: 55 AA AA 55, four characters, two zero bytes.
void PutTag(Bytes& image, std::size_t at, const char* text) {
    const std::uint8_t signature[4] = {0x55, 0xAA, 0xAA, 0x55};
    std::copy(signature, signature + 4, image.begin() + static_cast<long>(at));
    std::copy(text, text + 4, image.begin() + static_cast<long>(at + 4));
    image[at + 8] = 0x00;
    image[at + 9] = 0x00;
}

void Stamp(Bytes& image, std::size_t at, const std::string& imageName) {
    const std::string text = "Velmora demo firmware " + imageName;
    std::copy(text.begin(), text.end(), image.begin() + static_cast<long>(at));
}

// The last byte becomes the 8-bit sum of all the others.
void CloseWithSum(Bytes& image) {
    image.back() = std::accumulate(image.begin(), image.end() - 1, std::uint8_t{0},
                                   [](std::uint8_t sum, std::uint8_t b) {
                                       return static_cast<std::uint8_t>(sum + b);
                                   });
}

bool Minimal(FirmwareFamily family, Bytes& image, std::string& why) {
    return MinimalFirmwareImage(family, 1, kImage, image, why);
}

// Builds a bridge's image; `name` is its file name. False with a reason.
using Builder = bool (*)(const std::string& name, Bytes& image, std::string& why);

bool SerialFlash645(const std::string& name, Bytes& image, std::string& why) {
    if (!Minimal(FirmwareFamily::Vrb645, image, why)) return false;
    Stamp(image, kStampAfterNvram, name);
    return true;
}

bool StandardFlash624(const std::string& name, Bytes& image, std::string& why) {
    if (!Minimal(FirmwareFamily::Vr40624, image, why)) return false;
    Stamp(image, kStampAfterTag, name);
    CloseWithSum(image);
    return true;
}

bool NvramFlash641(const std::string& name, Bytes& image, std::string& why) {
    if (!Minimal(FirmwareFamily::Vrb641, image, why)) return false;
    Stamp(image, kStampAfterNvram, name);
    return true;
}

bool InternalRom621(const std::string& name, Bytes& image, std::string&) {
    image = Blank(kImage);
    Stamp(image, kStampAfterTag, name);
    CloseWithSum(image);
    return true;
}

bool PageFlash642(const std::string& name, Bytes& image, std::string&) {
    image = Blank(kPageImage);
    PutTag(image, 0, "v642");
    Stamp(image, kStampAfterTag, name);
    CloseWithSum(image);
    return true;
}

bool Bank735(const std::string& name, Bytes& image, std::string& why) {
    if (!Minimal(FirmwareFamily::Vrs735, image, why)) return false;
    Stamp(image, kStampBehindBankNvram, name);
    CloseWithSum(image);
    return true;
}

bool DiskFirmware705(const std::string& name, Bytes& image, std::string&) {
    image = Blank(kImage);
    PutTag(image, 0, "7051");
    Stamp(image, kStampAfterTag, name);
    CloseWithSum(image);
    return true;
}

struct Recipe {
    const char* keys;     // the entry's keys but product=
    const char* product;  // its product= text
    const char* imageName;
    const char* procedure;
    const char* effect;
    Builder build;
};

// In the order the tool lists them: all are disk-class devices, listed as
// described. Tags that carry the revision (kinds 4, 6 and 7) have rev given,
// so that image and chip stay matched whatever the default.
const Recipe kRecipes[] = {
    {"kind=8", "Serial flash 645", "serial-flash-645.bin",
     "serial-flash update", "programs the 64 KiB image, asks for a power cycle",
     SerialFlash645},
    {"kind=4,rev=1", "Std flash 624", "standard-flash-624.bin",
     "standard flash update", "erases and programs 64 KiB, asks for a power cycle",
     StandardFlash624},
    {"kind=6,rev=1", "NVRAM flash 641", "nvram-flash-641.bin",
     "NVRAM-keeping flash update",
     "programs 64 KiB in 16 KiB blocks (the bridge's NVRAM stays when \"Include 4K NVRAM\" is "
     "not ticked), asks for a power cycle",
     NvramFlash641},
    {"kind=2,flash=AT49BV512", "Internal ROM 621", "internal-rom-621.bin",
     "internal-ROM flash update",
     "switches to the internal ROM, erases the AT49BV512 chosen in the window, programs 64 KiB, "
     "asks for a power cycle",
     InternalRom621},
    {"kind=7,rev=1,bus=1394", "Page flash 642", "page-flash-642.bin",
     "page flash update", "programs 32 KiB in 256-byte pieces, keeps the NVRAM at 0x8000, asks for a power cycle",
     PageFlash642},
    {"kind=12", "Two-bank 735", "two-bank-735.bin", "serial-flash update",
     "writes the 64 KiB image to both flash banks, the bridge restarts by itself", Bank735},
    {"kind=14", "Disk fw 705", "disk-firmware-705.bin",
     "firmware on the attached disk",
     "writes the image to the firmware area at the end of the disk; but the window's file check "
     "takes no file for this chip, so Run stays off (under RD Version, Backup and Erase only run)",
     DiskFirmware705},
    {"kind=12,hddfw=1,flash=none", "Disk fw 735", "disk-firmware-735.bin",
     "735 firmware on the attached disk",
     "writes the 64 KiB firmware area near the end of the disk, the bridge restarts by itself",
     Bank735},
};

}  // namespace

bool DemoBridges(std::vector<DemoBridge>& out, std::string& why) {
    std::vector<DemoBridge> bridges;
    for (const Recipe& recipe : kRecipes) {
        DemoBridge bridge;
        bridge.entry = std::string("bridge:") + recipe.keys + ",product=" + recipe.product;
        bridge.product = recipe.product;
        bridge.imageName = recipe.imageName;
        bridge.procedure = recipe.procedure;
        bridge.effect = recipe.effect;
        if (!recipe.build(bridge.imageName, bridge.image, why)) return false;
        bridges.push_back(std::move(bridge));
    }
    out = std::move(bridges);
    return true;
}

std::string DemoSimulation(const std::vector<DemoBridge>& bridges) {
    std::string description;
    for (const DemoBridge& bridge : bridges) {
        if (!description.empty()) description += ';';
        description += bridge.entry;
    }
    return description;
}

}  // namespace v62x::sim
