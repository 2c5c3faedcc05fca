// The answers each chip of the bridge family gives to the identification
// commands. A chip is described by what it says about itself: its chip code
// and revision digit in the information record, the USB IDs of the bridge,
// the optional chip tag, the chip ID word and a few bridge registers. The
// tool's identification derives the kind from these answers; nothing here
// stores a kind in a device.
#include <algorithm>
#include <string>

#include "VirtualBridge/VirtualDevice.h"

namespace v62x::sim {
namespace {

// How a chip's tag (FF 04 30 08) spells its revision, if it has a tag.
enum class TagForm {
    None,   // the chip rejects the tag request
    V620C,  // "v620C" + (revision + 0x2F)
    V624C,  // "v624C" + (revision + 0x2F)
    V624E,  // "v624E" + (revision - 1)
    V715A,  // "v715A" + (revision + 0x2F)
    V641,   // "v641" + a letter + (revision + 0x2F)
    V2646,  // "v2646" + (revision + 0x2F)
};

// How the information record looks.
enum class RecordForm {
    Marked,     // F4 E7 marker, USB IDs, version, chip text
    Unmarked,   // an older record without the marker; the chip ID word tells the chip
    ForeignId,  // marked record of a bridge sold under the 2E7A/2621 USB IDs
};

struct ChipFacts {
    const char* code;       // three-digit chip code
    RecordForm record;
    TagForm tag;
    std::uint8_t idBits;    // bits 5 and 6 of chip ID word byte 0
    bool diskFirmware;      // status record byte 8 reads 0xD0
};

// Indexed by kind; kind 0 and kind 9 are never the kind of a chip.
const ChipFacts kChips[21] = {
    {"", RecordForm::Marked, TagForm::None, 0x00, false},         // 0: unknown
    {"620", RecordForm::Marked, TagForm::V620C, 0x00, false},     // 1
    {"621", RecordForm::Marked, TagForm::None, 0x00, false},      // 2
    {"622", RecordForm::Marked, TagForm::None, 0x00, false},      // 3
    {"624", RecordForm::Marked, TagForm::V624C, 0x00, false},     // 4
    {"614", RecordForm::Marked, TagForm::None, 0x00, true},       // 5
    {"641", RecordForm::Marked, TagForm::V641, 0x00, false},      // 6
    {"642", RecordForm::Marked, TagForm::None, 0x00, false},      // 7
    {"645", RecordForm::Marked, TagForm::None, 0x00, false},      // 8 (or 644)
    {"", RecordForm::Marked, TagForm::None, 0x00, false},         // 9: unreachable
    {"646", RecordForm::Marked, TagForm::V2646, 0x00, false},     // 10
    {"751", RecordForm::Marked, TagForm::None, 0x00, false},      // 11
    {"735", RecordForm::Marked, TagForm::None, 0x00, false},      // 12
    {"715", RecordForm::Marked, TagForm::V715A, 0x00, false},     // 13
    {"705", RecordForm::Marked, TagForm::None, 0x00, true},       // 14
    {"624", RecordForm::Marked, TagForm::V624E, 0x00, false},     // 15
    {"622", RecordForm::Unmarked, TagForm::None, 0x00, false},    // 16
    {"623", RecordForm::Unmarked, TagForm::None, 0x20, false},    // 17
    {"624", RecordForm::Unmarked, TagForm::None, 0x40, false},    // 18
    {"620", RecordForm::Unmarked, TagForm::None, 0x60, false},    // 19
    {"621", RecordForm::ForeignId, TagForm::None, 0x00, false},   // 20
};

// The family's own USB vendor ID; product IDs carry the chip code.
constexpr std::uint8_t kVendorHi = 0x56;
constexpr std::uint8_t kVendorLo = 0x52;

// Revision register contents of a 751 chip (byte 1): revisions 1..4 read
// 0xB0..0xB3, revision 5 reads 0xB4.
constexpr std::uint8_t kRevisionRegBase = 0xB0;
constexpr std::uint8_t kRevision5Mark = 0xB4;

std::string Code(int kind, const BridgeVariant& variant) {
    if (kind == 8 && variant.code644) return "644";
    return kChips[kind].code;
}

std::uint8_t Digit(char c) { return static_cast<std::uint8_t>(c - '0'); }

// Product ID: first code digit, then the last two as one BCD byte (645 -> 06 45).
std::array<std::uint8_t, 2> ProductId(const std::string& code) {
    return {Digit(code[0]),
            static_cast<std::uint8_t>((Digit(code[1]) << 4) | Digit(code[2]))};
}

std::string Kind(int kind) { return "kind " + std::to_string(kind); }

std::string ChipName(int kind, const BridgeVariant& variant) {
    return "a " + Code(kind, variant) + " chip";
}

// The revisions a chip of `kind` can make the identification report.
bool RevisionIsReachable(int kind, int revision, const BridgeVariant& variant, std::string& why) {
    if (revision < 0 || revision > 9) {
        why = "revision " + std::to_string(revision) +
              " is out of range (the chip text carries one digit, 0..9)";
        return false;
    }
    const ChipFacts& chip = kChips[kind];
    const std::string name = ChipName(kind, variant);

    if (variant.inquiryTag) {
        // The kind comes from INQUIRY; the information record is never asked
        // for, so only a tag, the 12-byte re-read or a register tells a revision.
        if (kind == 16 || kind == 18 || kind == 19 || kind == 20) {
            why = "with the chip code in INQUIRY, code " + std::string(chip.code) +
                  " identifies as an earlier kind, never as " + Kind(kind);
            return false;
        }
        if (chip.tag != TagForm::None) {
            if (revision == 0) {
                why = name + " reports revision 1 or higher through its tag";
                return false;
            }
            return true;
        }
        if (kind == 7) {
            if (revision == 1 || revision == 2) return true;
            why = name + " reports revision 1 or 2 only";
            return false;
        }
        if (kind == 11) {
            if (revision == 0 || revision == 5) return true;
            why = "with the chip code in INQUIRY " + name +
                  " reports revision 5 (revision register 0xB4 or more) or 0";
            return false;
        }
        if (revision == 0) return true;
        why = "with the chip code in INQUIRY " + name +
              " reports revision 0 only (nothing else tells its revision)";
        return false;
    }

    if (chip.record == RecordForm::Unmarked && !(kind == 17 && variant.chipText623)) {
        if (revision == 0) return true;
        why = Kind(kind) + " is told by the chip ID word only and always has revision 0" +
              (kind == 17 ? " (a record with chip text 623 can carry a revision)" : "");
        return false;
    }
    if (chip.record == RecordForm::ForeignId) {
        if (revision == 0) return true;
        why = Kind(kind) + " is told by its USB IDs 2E7A/2621 and always has revision 0";
        return false;
    }
    if (revision == 0) {
        why = name + " reports revision 1 or higher";
        return false;
    }
    if (kind == 7 && revision > 2) {
        why = name + " reports revision 1 or 2 only";
        return false;
    }
    if (kind == 11 && revision > 5) {
        why = name + " of revision 5 or later reads 0xB4 or more in its revision register "
                     "and identifies as revision 5";
        return false;
    }
    return true;
}

std::vector<std::uint8_t> TagBytes(TagForm form, int revision) {
    std::string text;
    int t = revision + 0x2F;
    switch (form) {
    case TagForm::None:
        return {};
    case TagForm::V620C: text = "v620C"; break;
    case TagForm::V624C: text = "v624C"; break;
    case TagForm::V715A: text = "v715A"; break;
    case TagForm::V2646: text = "v2646"; break;
    case TagForm::V624E:
        text = "v624E";
        t = revision - 1;
        break;
    case TagForm::V641: text = "v641A"; break;
    }
    std::vector<std::uint8_t> tag(text.begin(), text.end());
    tag.push_back(static_cast<std::uint8_t>(t));
    tag.resize(8, 0x00);
    return tag;
}

// The chip information record (E0 F4 E7) of a chip of `revision` whose
// code is `code`.
std::array<std::uint8_t, 16> ChipInfoRecord(const ChipFacts& chip, const std::string& code,
                                            const BridgeVariant& variant, int revision) {
    // A chip whose revision is not told (kind 20, or the code in INQUIRY on a
    // tagless kind) still has a revision digit in its record: revision 1.
    const int textRevision = revision == 0 ? 1 : revision;
    std::array<std::uint8_t, 16> record{};
    const bool marked = chip.record != RecordForm::Unmarked || variant.chipText623;
    if (marked) {
        record[0] = 0xF4;
        record[1] = 0xE7;
        if (chip.record == RecordForm::ForeignId) {
            record[2] = 0x2E;
            record[3] = 0x7A;
            record[4] = 0x26;
            record[5] = 0x21;
        } else {
            const auto product = ProductId(code);
            record[2] = kVendorHi;
            record[3] = kVendorLo;
            record[4] = product[0];
            record[5] = product[1];
        }
        record[6] = variant.versionMajor;
        record[7] = variant.versionMinor;
        for (std::size_t i = 0; i < 3; ++i) record[8 + i] = static_cast<std::uint8_t>(code[i]);
        record[11] = static_cast<std::uint8_t>('0' + textRevision);
        record[12] = variant.versionMajor;
        record[13] = variant.versionMinor;
    } else {
        // The older record: no marker, only the firmware version.
        record[6] = variant.versionMajor;
        record[7] = variant.versionMinor;
    }
    return record;
}

}  // namespace

bool KindIsReachable(int kind, std::string& why) {
    if (kind == 9) {
        why = "no chip identifies as kind 9 (a 644/645 chip identifies as kind 8)";
        return false;
    }
    if (kind < 1 || kind > 20) {
        why = "no chip identifies as kind " + std::to_string(kind) + " (kinds are 1..20)";
        return false;
    }
    return true;
}

bool AnswersForKind(int kind, int revision, const BridgeVariant& variant, BridgeAnswers& out,
                    std::string& why) {
    if (!KindIsReachable(kind, why)) return false;
    if (variant.chipInfoLength != 12 && variant.chipInfoLength != 16) {
        why = "a bridge delivers 12 or 16 bytes of chip information, not " +
              std::to_string(variant.chipInfoLength);
        return false;
    }
    if (variant.code644 && kind != 8) {
        why = "chip code 644 belongs to kind 8, not " + Kind(kind);
        return false;
    }
    if (variant.chipText623 && kind != 17) {
        why = "chip text 623 belongs to kind 17, not " + Kind(kind);
        return false;
    }
    if (!RevisionIsReachable(kind, revision, variant, why)) return false;

    const ChipFacts& chip = kChips[kind];
    const std::string code = Code(kind, variant);
    BridgeAnswers answers;

    if (variant.inquiryTag) {
        answers.inquiryTag = std::array<std::uint8_t, 4>{
            0x76, static_cast<std::uint8_t>(code[0]), static_cast<std::uint8_t>(code[1]),
            static_cast<std::uint8_t>(code[2])};
    }

    answers.chipIdWord = {static_cast<std::uint8_t>(chip.idBits | 0x02), 0x62};

    answers.chipInfo = ChipInfoRecord(chip, code, variant, revision);
    answers.chipInfoLength = variant.chipInfoLength;

    if (chip.tag != TagForm::None) answers.chipTag = TagBytes(chip.tag, revision);

    if (chip.diskFirmware) answers.statusRecord[8] = 0xD0;

    answers.memory.push_back({bridge_memory::kScratch, {variant.stuck506A ? std::uint8_t{0x01}
                                                                          : std::uint8_t{0x00}}});
    answers.memory.push_back({bridge_memory::kFlashMode, {0x00, 0x00, 0x00, 0x00}});
    if (kind == 11) {
        const std::uint8_t reg =
            revision == 5 ? kRevision5Mark
                          : static_cast<std::uint8_t>(kRevisionRegBase + std::max(revision - 1, 0));
        answers.memory.push_back({bridge_memory::kRevisionReg, {0x00, reg}});
    }

    out = std::move(answers);
    return true;
}

bool MakeBridgeConfig(int kind, int revision, const BridgeVariant& variant, DeviceConfig& out,
                      std::string& why) {
    BridgeAnswers answers;
    if (!AnswersForKind(kind, revision, variant, answers, why)) return false;
    out.isBridge = true;
    out.answers = std::move(answers);
    out.stuck506A = variant.stuck506A;
    out.firmwareFamily = FirmwareFamilyOfKind(kind);
    return true;
}

}  // namespace v62x::sim
