// The V62X_SIMULATE description:
//
//   description := "default" | entry { ";" entry }
//   entry       := ( "bridge" | "disk" ) [ ":" pair { "," pair } ]
//   pair        := key "=" value
//
// Blanks around tokens are ignored, empty entries are skipped. Entry types,
// keys and keyword values are case-insensitive. The keys are listed in
// kKeys below; each entry type accepts its own subset.
#include "VirtualBridge/SimulationDescription.h"

#include <algorithm>
#include <cctype>
#include <limits>
#include <map>
#include <optional>

#include "VirtualBridge/DiskFirmwareArea.h"
#include "VirtualBridge/ShownText.h"

namespace v62x::sim {
namespace {

std::string Trim(const std::string& text) {
    const auto blank = [](unsigned char c) { return std::isspace(c) != 0; };
    auto begin = std::find_if_not(text.begin(), text.end(), blank);
    auto end = std::find_if_not(text.rbegin(), std::string::const_reverse_iterator(begin), blank);
    return std::string(begin, end.base());
}

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::string::size_type start = 0;
    for (;;) {
        const auto end = text.find(separator, start);
        parts.push_back(text.substr(start, end - start));
        if (end == std::string::npos) return parts;
        start = end + 1;
    }
}

std::string Fit(const std::string& text, std::size_t width) {
    std::string fitted = text.substr(0, width);
    fitted.resize(width, ' ');
    return fitted;
}

// Chip codes a bridge entry may name, with the kinds a chip of that code can
// identify as; the first is the one chip=CODE alone gives.
struct ChipCode {
    const char* code;
    std::vector<int> kinds;
};
const std::vector<ChipCode>& ChipCodes() {
    static const std::vector<ChipCode> codes = {
        {"620", {1, 19}}, {"621", {2, 20}}, {"622", {3, 16}},     {"623", {17}},
        {"624", {4, 15, 18}}, {"614", {5}}, {"641", {6}},         {"642", {7}},
        {"644", {8}},     {"645", {8}},     {"646", {10}},        {"751", {11}},
        {"735", {12}},    {"715", {13}},    {"705", {14}},
    };
    return codes;
}

// A size as written: bytes, or blocks of the disk's block size.
struct Size {
    std::uint64_t value = 0;
    bool blocks = false;
};

// The keys about the attached disk and the firmware kept on it.
struct DiskKeys {
    std::optional<Size> size;
    std::optional<std::uint32_t> blockSize;
    std::optional<Size> reserved;
    std::optional<bool> fwarea;
    std::optional<bool> hddfw;
    std::optional<bool> capflag;
    std::optional<bool> fwvalid;
};

// One entry while its keys are read.
struct Entry {
    bool bridge = true;
    DeviceConfig config;
    int kind = 0;
    const ChipCode* chip = nullptr;
    int revision = -1;  // -1: not given
    BridgeVariant variant;
    bool vendorGiven = false;
    bool productGiven = false;
    std::optional<bool> firmware;  // valid (true) or blank (false); absent: valid where possible
    DiskKeys disk;
    std::map<std::string, std::string> given;  // key -> "key=value" as written
};

bool ParseFlag(const std::string& value, bool& out, std::string& why) {
    if (value == "0" || value == "1") {
        out = value == "1";
        return true;
    }
    why = "expected 0 or 1";
    return false;
}

bool ParseSmallNumber(const std::string& value, int low, int high, int& out, std::string& why) {
    const bool digits = !value.empty() && value.size() <= 3 &&
                        std::all_of(value.begin(), value.end(),
                                    [](unsigned char c) { return std::isdigit(c) != 0; });
    if (!digits || std::stoi(value) < low || std::stoi(value) > high) {
        why = "expected a number " + std::to_string(low) + ".." + std::to_string(high);
        return false;
    }
    out = std::stoi(value);
    return true;
}

bool ParseText(const std::string& value, std::size_t width, std::string& out, std::string& why) {
    if (!std::all_of(value.begin(), value.end(),
                     [](unsigned char c) { return c >= 0x20 && c < 0x7F; })) {
        why = "only printable ASCII characters are allowed";
        return false;
    }
    out = Fit(value, width);
    return true;
}

bool ApplyKind(Entry& e, const std::string& value, std::string& why) {
    if (!ParseSmallNumber(value, 0, 999, e.kind, why)) {
        why = "expected a kind 1..20";
        return false;
    }
    return KindIsReachable(e.kind, why);
}

bool ApplyChip(Entry& e, const std::string& value, std::string& why) {
    for (const ChipCode& code : ChipCodes()) {
        if (value == code.code) {
            e.chip = &code;
            return true;
        }
    }
    why = "not a chip code of the family (";
    for (const ChipCode& code : ChipCodes()) {
        why += code.code;
        why += &code == &ChipCodes().back() ? ")" : ", ";
    }
    return false;
}

bool ApplyRevision(Entry& e, const std::string& value, std::string& why) {
    return ParseSmallNumber(value, 0, 9, e.revision, why);
}

bool ApplyBus(Entry& e, const std::string& value, std::string& why) {
    const std::string bus = Lower(value);
    if (bus == "usb" || bus == "1394") {
        e.config.bus = bus == "usb" ? Bus::Usb : Bus::Ieee1394;
        return true;
    }
    why = "expected usb or 1394";
    return false;
}

bool ApplyClass(Entry& e, const std::string& value, std::string& why) {
    const std::string cls = Lower(value);
    if (cls == "disk" || cls == "cdrom") {
        e.config.cls = cls == "disk" ? DeviceClass::Disk : DeviceClass::CdRom;
        return true;
    }
    why = "expected disk or cdrom";
    return false;
}

bool ApplyVendor(Entry& e, const std::string& value, std::string& why) {
    e.vendorGiven = true;
    return ParseText(value, 8, e.config.vendor, why);
}

bool ApplyProduct(Entry& e, const std::string& value, std::string& why) {
    e.productGiven = true;
    return ParseText(value, 16, e.config.product, why);
}

bool ApplyInquiryTag(Entry& e, const std::string& value, std::string& why) {
    return ParseFlag(value, e.variant.inquiryTag, why);
}

bool ApplyChipInfo(Entry& e, const std::string& value, std::string& why) {
    if (value == "12" || value == "16") {
        e.variant.chipInfoLength = value == "12" ? 12U : 16U;
        return true;
    }
    why = "expected 12 or 16";
    return false;
}

bool ApplyStuck(Entry& e, const std::string& value, std::string& why) {
    return ParseFlag(value, e.variant.stuck506A, why);
}

bool ApplyMount(Entry& e, const std::string& value, std::string& why) {
    for (const std::string& part : Split(value, '+')) {
        const std::string path = Trim(part);
        if (path.empty() || path.front() != '/') {
            why = "mount points are absolute paths joined by '+'";
            return false;
        }
        e.config.mountPoints.push_back(path);
    }
    return true;
}

bool ApplyDenied(Entry& e, const std::string& value, std::string& why) {
    return ParseFlag(value, e.config.permissionDenied, why);
}

// SIZE: a number with an optional unit: none or B (bytes), K M G T (powers
// of 1000), KiB MiB GiB TiB (powers of 1024; the B may be left out), or S
// (blocks of the disk's block size).
bool ParseSize(const std::string& value, Size& out, std::string& why) {
    why = "expected a size such as 500G, 2T, 1MiB or 80000000s";
    std::size_t digits = 0;
    while (digits < value.size() && std::isdigit(static_cast<unsigned char>(value[digits])) != 0) {
        ++digits;
    }
    if (digits == 0 || digits > 19) return false;
    std::uint64_t number = std::stoull(value.substr(0, digits));
    const std::string unit = Lower(value.substr(digits));

    struct Unit {
        const char* name;
        std::uint64_t base;
        int power;
    };
    static const Unit kUnits[] = {
        {"", 1, 0},      {"b", 1, 0},     {"k", 1000, 1},   {"kb", 1000, 1},  {"m", 1000, 2},
        {"mb", 1000, 2}, {"g", 1000, 3},  {"gb", 1000, 3},  {"t", 1000, 4},   {"tb", 1000, 4},
        {"ki", 1024, 1}, {"kib", 1024, 1}, {"mi", 1024, 2}, {"mib", 1024, 2}, {"gi", 1024, 3},
        {"gib", 1024, 3}, {"ti", 1024, 4}, {"tib", 1024, 4},
    };
    if (unit == "s") {
        out = {number, true};
        return true;
    }
    for (const Unit& u : kUnits) {
        if (unit != u.name) continue;
        for (int i = 0; i < u.power; ++i) {
            if (number > std::numeric_limits<std::uint64_t>::max() / u.base) {
                why = "too large";
                return false;
            }
            number *= u.base;
        }
        out = {number, false};
        return true;
    }
    return false;
}

bool ApplyDiskSize(Entry& e, const std::string& value, std::string& why) {
    Size size;
    if (!ParseSize(value, size, why)) return false;
    e.disk.size = size;
    return true;
}

// The storage driver's limit per request: at least one 512-byte block, at
// most 16 MiB.
bool ApplyMaxTransfer(Entry& e, const std::string& value, std::string& why) {
    Size size;
    if (!ParseSize(value, size, why)) return false;
    if (size.blocks || size.value < 512 || size.value > 16 * 1024 * 1024) {
        why = "expected a size in bytes from 512 to 16MiB, such as 120KiB";
        return false;
    }
    e.config.maxTransfer = static_cast<std::uint32_t>(size.value);
    return true;
}

bool ApplyBlockSize(Entry& e, const std::string& value, std::string& why) {
    if (value == "512" || value == "4096") {
        e.disk.blockSize = value == "512" ? 512U : 4096U;
        return true;
    }
    why = "expected 512 or 4096";
    return false;
}

bool ApplyReserved(Entry& e, const std::string& value, std::string& why) {
    Size size;
    if (!ParseSize(value, size, why)) return false;
    e.disk.reserved = size;
    return true;
}

bool ApplyOptionalFlag(std::optional<bool>& flag, const std::string& value, std::string& why) {
    bool on = false;
    if (!ParseFlag(value, on, why)) return false;
    flag = on;
    return true;
}

bool ApplyFirmwareArea(Entry& e, const std::string& value, std::string& why) {
    return ApplyOptionalFlag(e.disk.fwarea, value, why);
}

bool ApplyDiskFirmware(Entry& e, const std::string& value, std::string& why) {
    return ApplyOptionalFlag(e.disk.hddfw, value, why);
}

bool ApplyCapacityFlag(Entry& e, const std::string& value, std::string& why) {
    return ApplyOptionalFlag(e.disk.capflag, value, why);
}

bool ApplyFirmwareValid(Entry& e, const std::string& value, std::string& why) {
    return ApplyOptionalFlag(e.disk.fwvalid, value, why);
}

bool ApplyImage(Entry& e, const std::string& value, std::string& why) {
    if (value.empty()) {
        why = "expected the path of an image file";
        return false;
    }
    e.config.image = value;
    return true;
}

bool ApplyFlash(Entry& e, const std::string& value, std::string& why) {
    return SetFlashPart(e.config.flash, value, why);
}

bool ApplyFlashFill(Entry& e, const std::string& value, std::string& why) {
    std::string digits = Lower(value);
    if (digits.rfind("0x", 0) == 0) digits = digits.substr(2);
    if (digits.empty() || digits.size() > 2 ||
        !std::all_of(digits.begin(), digits.end(), [](unsigned char c) { return std::isxdigit(c) != 0; })) {
        why = "expected a byte in hexadecimal (00..FF)";
        return false;
    }
    e.config.flash.fill = static_cast<std::uint8_t>(std::stoi(digits, nullptr, 16));
    return true;
}

bool ApplyFirmware(Entry& e, const std::string& value, std::string& why) {
    const std::string state = Lower(value);
    if (state == "valid" || state == "blank") {
        e.firmware = state == "valid";
        return true;
    }
    why = "expected valid or blank";
    return false;
}

// FAULT { "+" FAULT }, FAULT := KIND "@" NUMBER | KIND ":" HEX. KIND@NUMBER
// hits the request of that number (counted from 1) sent to the device since
// the program started; KIND:HEX every request whose CDB starts with the
// bytes HEX.
constexpr std::size_t kMaxFaultsPerEntry = 16;
constexpr const char* kFaultKinds = "cut, transport, check, short, shortwrite";

bool ParseFaultKind(const std::string& name, FaultRule& rule) {
    if (name == "cut") {
        rule.kind = FaultKind::Cut;
    } else if (name == "transport") {
        rule.kind = FaultKind::Transport;
    } else if (name == "check") {
        rule.kind = FaultKind::CheckCondition;
        rule.senseKey = scsi::kSenseMediumError;
        rule.asc = 0x11;  // unrecovered read error
        rule.ascq = 0x00;
    } else if (name == "short" || name == "shortwrite") {
        rule.kind = FaultKind::ShortTransfer;
        rule.halfTransfer = true;
        rule.dataPhase = name == "short" ? DataDirection::In : DataDirection::Out;
    } else {
        return false;
    }
    return true;
}

bool ApplyFault(Entry& e, const std::string& value, std::string& why) {
    const std::vector<std::string> parts = Split(value, '+');
    if (parts.size() > kMaxFaultsPerEntry) {
        why = "at most " + std::to_string(kMaxFaultsPerEntry) + " faults per entry";
        return false;
    }
    std::vector<FaultRule> rules;
    for (const std::string& part : parts) {
        const std::string text = Trim(part);
        const auto mark = text.find_first_of("@:");
        FaultRule rule;
        if (mark == std::string::npos || !ParseFaultKind(Lower(Trim(text.substr(0, mark))), rule)) {
            why = "expected KIND@N or KIND:HEX joined by '+' (kinds: " + std::string(kFaultKinds) + ")";
            return false;
        }
        const std::string argument = Trim(text.substr(mark + 1));
        const auto isDigit = [](unsigned char c) { return std::isdigit(c) != 0; };
        const auto isHex = [](unsigned char c) { return std::isxdigit(c) != 0; };
        if (text[mark] == '@') {
            if (argument.empty() || argument.size() > 12 ||
                !std::all_of(argument.begin(), argument.end(), isDigit) ||
                std::stoull(argument) == 0) {
                why = "expected the number of a command (1 or more) after '@'";
                return false;
            }
            rule.deviceCommand = std::stoull(argument);
        } else {
            if (argument.empty() || argument.size() % 2 != 0 || argument.size() > 32 ||
                !std::all_of(argument.begin(), argument.end(), isHex)) {
                why = "expected the first CDB bytes in hexadecimal after ':' (1 to 16 bytes, "
                      "such as FF0413)";
                return false;
            }
            for (std::size_t i = 0; i < argument.size(); i += 2) {
                rule.prefix.push_back(
                    static_cast<std::uint8_t>(std::stoi(argument.substr(i, 2), nullptr, 16)));
            }
        }
        rules.push_back(std::move(rule));
    }
    e.config.faults = std::move(rules);
    return true;
}

// The flash a bridge carries when the entry names none.
void EquipFlash(DeviceConfig& config, int kind) {
    const std::string part = DefaultFlashPartForKind(kind, config.bus);
    std::string why;
    if (!part.empty()) SetFlashPart(config.flash, part, why);
}

// The enclosure ships with a working firmware in its flash: a minimal image
// of the chip's family, unless `valid` is false (the flash then stays as its
// fill leaves it). Without a choice, a bridge whose firmware the simulator
// does not know keeps its flash as filled; asked for, that is an error, as
// is any choice on a bridge without flash.
bool EquipFirmware(DeviceConfig& config, int revision, std::optional<bool> valid,
                   std::string& why) {
    const FlashConfig& flash = config.flash;
    const std::uint32_t size = flash.serial     ? flash.serial->size
                               : flash.parallel ? flash.parallel->size
                                                : 0;
    if (size == 0) {
        if (!valid) return true;
        why = "the bridge has no flash";
        return false;
    }
    if (!valid.value_or(true)) return true;
    std::vector<std::uint8_t> image;
    if (!MinimalFirmwareImage(config.firmwareFamily, revision, size, image, why)) {
        return !valid.has_value();
    }
    config.flash.image = std::move(image);
    return true;
}

using Apply = bool (*)(Entry&, const std::string&, std::string&);

struct Key {
    const char* name;
    bool bridge;  // accepted in bridge entries
    bool disk;    // accepted in disk entries
    Apply apply;
};

// Every key an entry may carry. A new key is one line here and one Apply
// function.
const Key kKeys[] = {
    {"kind", true, false, ApplyKind},            // 1..20
    {"chip", true, false, ApplyChip},            // a chip code, see ChipCodes()
    {"rev", true, false, ApplyRevision},         // 0..9; default 1 where the chip can report it, else 0
    {"bus", true, true, ApplyBus},               // usb | 1394
    {"class", true, true, ApplyClass},           // disk | cdrom
    {"vendor", true, true, ApplyVendor},         // INQUIRY vendor, padded or cut to 8
    {"product", true, true, ApplyProduct},       // INQUIRY product, padded or cut to 16
    {"inqtag", true, false, ApplyInquiryTag},    // 0 | 1: chip code in INQUIRY bytes 36..39
    {"chipinfo", true, false, ApplyChipInfo},    // 12 | 16: chip information bytes delivered
    {"stuck506a", true, false, ApplyStuck},      // 0 | 1: scratch byte 0x506A keeps bit 0 set
    {"mount", true, true, ApplyMount},           // PATH[+PATH...]: volumes mounted from the disk
    {"denied", true, true, ApplyDenied},         // 0 | 1: the host refuses to open it (EACCES)
    {"disk", true, true, ApplyDiskSize},         // SIZE of the attached disk (see ParseSize)
    {"blocksize", true, true, ApplyBlockSize},   // 512 | 4096: logical block size of the disk
    {"reserved", true, false, ApplyReserved},    // SIZE kept from the host at the end of the disk
    {"fwarea", true, false, ApplyFirmwareArea},  // 0 | 1: firmware area present (55 AA, status 16)
    {"hddfw", true, false, ApplyDiskFirmware},   // 0 | 1: firmware runs from the disk (status 8)
    {"capflag", true, false, ApplyCapacityFlag}, // 0 | 1: capacity flag (status 17)
    {"fwvalid", true, false, ApplyFirmwareValid},// 0 | 1: running firmware valid (status 19)
    {"image", true, false, ApplyImage},          // PATH: file keeping the firmware store
    {"flash", true, false, ApplyFlash},          // PART | none: the flash chip (default by kind)
    {"flashfill", true, false, ApplyFlashFill},  // HEX: every flash byte at delivery (default FF)
    {"firmware", true, false, ApplyFirmware},    // valid | blank: a working firmware in the flash (default valid)
    {"maxtransfer", true, true, ApplyMaxTransfer}, // SIZE: largest data phase of one request (default 120KiB)
    {"fault", true, true, ApplyFault},           // KIND@N | KIND:HEX [+...]: faults of its commands
};

std::string KeyList(bool bridge) {
    std::string list;
    for (const Key& key : kKeys) {
        if (bridge ? !key.bridge : !key.disk) continue;
        if (!list.empty()) list += ", ";
        list += key.name;
    }
    return list;
}

// Completes a bridge entry: its kind, revision and answers.
bool FinishBridge(Entry& e, std::string& blame, std::string& why) {
    if (e.kind == 0 && e.chip == nullptr) {
        blame = "bridge";
        why = "a bridge needs kind=1..20 or chip=CODE";
        return false;
    }
    if (e.chip != nullptr) {
        const std::vector<int>& kinds = e.chip->kinds;
        if (e.kind == 0) {
            e.kind = kinds.front();
        } else if (std::find(kinds.begin(), kinds.end(), e.kind) == kinds.end()) {
            blame = e.given["kind"];
            why = "a " + std::string(e.chip->code) + " chip identifies as kind " +
                  std::to_string(kinds.front()) + ", not " + std::to_string(e.kind);
            return false;
        }
        const std::string code = e.chip->code;
        e.variant.code644 = code == "644";
        e.variant.chipText623 = code == "623";
    }

    BridgeAnswers answers;
    if (e.revision < 0) {
        // Revision 1 where the chip can report it, else 0.
        e.revision = AnswersForKind(e.kind, 1, e.variant, answers, why) ? 1 : 0;
    }
    if (!MakeBridgeConfig(e.kind, e.revision, e.variant, e.config, why)) {
        // Blame the chip code in INQUIRY only when the chip could report the
        // revision without it.
        BridgeVariant plain = e.variant;
        plain.inquiryTag = false;
        if (e.variant.inquiryTag && AnswersForKind(e.kind, e.revision, plain, answers, why)) {
            AnswersForKind(e.kind, e.revision, e.variant, answers, why);
            blame = e.given["inqtag"];
        } else {
            blame = e.given.count("rev") != 0    ? e.given["rev"]
                    : e.given.count("kind") != 0 ? e.given["kind"]
                                                 : e.given["chip"];
        }
        return false;
    }
    if (e.config.cls == DeviceClass::CdRom && !e.productGiven) {
        e.config.product = "External DVD    ";
    }
    if (e.given.count("flash") == 0) EquipFlash(e.config, e.kind);
    if (e.given.count("flashfill") != 0 && !e.config.flash.serial && !e.config.flash.parallel) {
        blame = e.given["flashfill"];
        why = "the bridge has no flash";
        return false;
    }
    if (!EquipFirmware(e.config, e.revision, e.firmware, why)) {
        blame = e.given["firmware"];
        return false;
    }
    return true;
}

// Sizes of the default disks: a 500 GB drive behind a bridge, a 16 GB
// medium in an ordinary disk.
constexpr std::uint64_t kBridgeDiskBytes = 500107862016;
constexpr std::uint64_t kOrdinaryDiskBytes = 16000000000;

// Gives a disk-class device its attached disk and a bridge the status bytes
// and marks of the keys. On failure `key` names the key to blame.
bool EquipDisk(DeviceConfig& config, int kind, int revision, const DiskKeys& keys, std::string& key,
               std::string& why) {
    BridgeAnswers& answers = config.answers;
    bool diskFirmware = false;
    if (config.isBridge) {
        if (keys.hddfw) {
            SetStatusByte(answers, status_byte::kDiskFirmware,
                          *keys.hddfw ? kDiskFirmwareIndicator : 0);
        }
        diskFirmware = answers.statusRecord.size() > status_byte::kDiskFirmware &&
                       answers.statusRecord[status_byte::kDiskFirmware] >= kDiskFirmwareIndicator;
        if (keys.capflag) SetStatusByte(answers, status_byte::kCapacityFlag, *keys.capflag ? 1 : 0);
        SetStatusByte(answers, status_byte::kRunningFirmwareValid,
                      keys.fwvalid.value_or(diskFirmware) ? 1 : 0);
    }

    // The kind-12 bridge keeps its firmware area inside the capacity it
    // reports; the other disk-firmware bridges keep theirs beyond it.
    const bool areaBeyondEnd = diskFirmware && kind != 12;
    if (config.cls == DeviceClass::Disk) {
        DiskConfig disk;
        disk.blockSize = keys.blockSize.value_or(512);
        const Size size = keys.size.value_or(
            Size{config.isBridge ? kBridgeDiskBytes : kOrdinaryDiskBytes, false});
        disk.sectors = size.blocks ? size.value : size.value / disk.blockSize;
        key = "disk";
        if (disk.sectors == 0) {
            why = "smaller than one " + std::to_string(disk.blockSize) + "-byte block";
            return false;
        }
        if (disk.sectors > kMaxDiskSectors) {
            why = "a drive addresses at most 2^48 blocks";
            return false;
        }
        if (keys.reserved) {
            key = "reserved";
            const Size reserved = *keys.reserved;
            if (!reserved.blocks && reserved.value % disk.blockSize != 0) {
                why = "not a whole number of " + std::to_string(disk.blockSize) + "-byte blocks";
                return false;
            }
            disk.reservedBlocks = reserved.blocks ? reserved.value : reserved.value / disk.blockSize;
        } else if (areaBeyondEnd) {
            disk.reservedBlocks = DefaultReservedBlocks(disk.sectors);
        }
        if (!CheckDiskConfig(disk, why)) return false;
        if (config.isBridge && keys.fwarea.value_or(areaBeyondEnd) && disk.reservedBlocks > 0) {
            disk.presets.push_back(FirmwareAreaSignature(disk));
        }
        // A bridge that runs a valid firmware from its disk copy was shipped
        // with one there.
        std::uint64_t copyStart = 0;
        if (config.isBridge && diskFirmware && KeepsFirmwareCopyOnDisk(config.firmwareFamily) &&
            keys.fwvalid.value_or(true) && DiskFirmwareCopyStart(disk.sectors, disk.blockSize, copyStart)) {
            disk.presets.push_back({copyStart, MinimalDiskFirmwareCopy(revision)});
        }
        config.disk = disk;
    } else {
        const std::pair<const char*, bool> diskKeys[] = {{"disk", keys.size.has_value()},
                                                         {"blocksize", keys.blockSize.has_value()},
                                                         {"reserved", keys.reserved.has_value()}};
        for (const auto& [name, given] : diskKeys) {
            if (given) {
                key = name;
                why = "a CD-ROM-class device has no hard disk";
                return false;
            }
        }
    }
    if (config.isBridge) SetFirmwareAreaMark(answers, keys.fwarea.value_or(areaBeyondEnd));
    return true;
}

bool ParseEntry(const std::string& text, std::size_t number, DeviceConfig& out,
                std::string& error) {
    const std::string where = "entry " + std::to_string(number) + ": ";
    const auto colon = text.find(':');
    const std::string typeText = Trim(text.substr(0, colon));
    const std::string type = Lower(typeText);
    if (type != "bridge" && type != "disk") {
        error = where + Shown(typeText) + ": not an entry type (bridge or disk)";
        return false;
    }

    Entry e;
    e.bridge = type == "bridge";
    if (!e.bridge) {
        e.config.isBridge = false;
        e.config.vendor = "Generic ";
        e.config.product = "USB Flash Disk  ";
    }

    const std::string pairs = colon == std::string::npos ? "" : text.substr(colon + 1);
    for (const std::string& rawPair : Split(pairs, ',')) {
        const std::string pair = Trim(rawPair);
        if (pair.empty()) continue;
        const auto equals = pair.find('=');
        if (equals == std::string::npos) {
            error = where + Shown(pair) + ": expected key=value";
            return false;
        }
        const std::string name = Lower(Trim(pair.substr(0, equals)));
        const std::string value = Trim(pair.substr(equals + 1));
        // The pair as messages quote it.
        const std::string written = Shown(name) + "=" + Shown(value);
        const Key* key = nullptr;
        for (const Key& candidate : kKeys) {
            if (name == candidate.name) key = &candidate;
        }
        if (key == nullptr) {
            error = where + written + ": unknown key (" + type + " keys: " + KeyList(e.bridge) +
                    ")";
            return false;
        }
        if (e.bridge ? !key->bridge : !key->disk) {
            error = where + written + ": not a key of a " + type + " entry (" + type +
                    " keys: " + KeyList(e.bridge) + ")";
            return false;
        }
        if (e.given.count(name) != 0) {
            error = where + written + ": " + name + " is given twice";
            return false;
        }
        e.given[name] = written;
        std::string why;
        if (!key->apply(e, value, why)) {
            error = where + written + ": " + why;
            return false;
        }
    }

    if (e.bridge) {
        std::string blame;
        std::string why;
        if (!FinishBridge(e, blame, why)) {
            error = where + blame + ": " + why;
            return false;
        }
    } else if (e.config.cls == DeviceClass::CdRom && !e.productGiven) {
        e.config.product = "USB DVD Drive   ";
    }
    std::string key;
    std::string why;
    if (!EquipDisk(e.config, e.kind, e.revision, e.disk, key, why)) {
        const std::string blame = e.given.count(key) != 0 ? e.given[key] : key;
        error = where + blame + ": " + why;
        return false;
    }
    out = std::move(e.config);
    return true;
}

DeviceConfig Bridge(int kind, int revision, Bus bus, DeviceClass cls, const std::string& product,
                    std::vector<std::string> mounts) {
    DeviceConfig config;
    std::string why;
    MakeBridgeConfig(kind, revision, BridgeVariant{}, config, why);
    config.bus = bus;
    config.cls = cls;
    config.product = Fit(product, 16);
    config.mountPoints = std::move(mounts);
    std::string key;
    EquipDisk(config, kind, revision, {}, key, why);
    EquipFlash(config, kind);
    EquipFirmware(config, revision, std::nullopt, why);
    return config;
}

}  // namespace

bool ParseSimulationDescription(const std::string& description, std::vector<DeviceConfig>& out,
                         std::string& error) {
    if (Lower(Trim(description)) == "default") {
        out = DefaultSimulation();
        return true;
    }
    std::vector<DeviceConfig> devices;
    std::map<std::string, std::size_t> images;  // image file -> entry number
    const std::vector<std::string> entries = Split(description, ';');
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (Trim(entries[i]).empty()) continue;
        if (devices.size() == kMaxEntries) {
            error = "entry " + std::to_string(i + 1) + ": a description holds at most " +
                    std::to_string(kMaxEntries) + " devices";
            return false;
        }
        DeviceConfig config;
        if (!ParseEntry(entries[i], i + 1, config, error)) return false;
        if (!config.image.empty()) {
            const auto [at, fresh] = images.emplace(config.image, i + 1);
            if (!fresh) {
                error = "entry " + std::to_string(i + 1) + ": image=" + Shown(config.image) +
                        ": already the image of entry " + std::to_string(at->second);
                return false;
            }
        }
        devices.push_back(std::move(config));
    }
    out = std::move(devices);
    return true;
}

std::vector<DeviceConfig> DefaultSimulation() {
    std::vector<DeviceConfig> devices;
    devices.push_back(Bridge(8, 2, Bus::Usb, DeviceClass::Disk, "Portable HDD",
                             {"/media/user/DATA", "/media/user/BACKUP"}));
    devices.push_back(Bridge(3, 1, Bus::Usb, DeviceClass::Disk, "External Disk", {}));
    devices.push_back(Bridge(7, 2, Bus::Ieee1394, DeviceClass::Disk, "IEEE1394 Disk", {}));
    devices.push_back(Bridge(12, 1, Bus::Usb, DeviceClass::CdRom, "External DVD", {}));

    DeviceConfig stick;
    stick.isBridge = false;
    stick.vendor = "Generic ";
    stick.product = "USB Flash Disk  ";
    stick.mountPoints = {"/media/user/STICK"};
    std::string key;
    std::string why;
    EquipDisk(stick, 0, 0, {}, key, why);
    devices.push_back(stick);
    // Keeps its firmware in the reserved area of its 500 GB disk.
    devices.push_back(Bridge(14, 1, Bus::Usb, DeviceClass::Disk, "External HDD", {}));
    return devices;
}

}  // namespace v62x::sim
