#include "IDEAccess/IdentifyChip.h"

#include <cstdio>
#include <cstring>

#include "IDEAccess/ChipCommands.h"
#include "IDEAccess/ChipKinds.h"
#include "IDEAccess/Notifier.h"

namespace v62x {

namespace {

constexpr std::uint8_t kTagLetter = 0x76;  // 'v'

// How a chip tag turns its byte 5 (t) into the revision.
enum class TagRevision { MinusDigitBase, PlusOne, OneWhenZero };

struct TagRule {
    const char* prefix;
    std::uint8_t kind;
    TagRevision revision;
};

// Tried in this order; the first prefix that matches decides.
constexpr TagRule kTagRules[] = {
    {"v620C", kKind620, TagRevision::MinusDigitBase}, {"v624C", kKind624, TagRevision::MinusDigitBase},
    {"v624E", kKind624E, TagRevision::PlusOne},       {"v715A", kKind715, TagRevision::MinusDigitBase},
    {"v641", kKind641, TagRevision::OneWhenZero},     {"v2646", kKind646, TagRevision::MinusDigitBase},
};

std::uint8_t TagRevisionOf(TagRevision rule, std::uint8_t t) {
    switch (rule) {
        case TagRevision::PlusOne:
            return static_cast<std::uint8_t>(t + 1);
        case TagRevision::OneWhenZero:
            if (t == 0) return 1;
            [[fallthrough]];
        case TagRevision::MinusDigitBase:
            break;
    }
    return static_cast<std::uint8_t>(t - 0x2F);
}

bool HasChipInfoMarker(const std::uint8_t* record) {
    return record[0] == kChipInfoMarker0 && record[1] == kChipInfoMarker1;
}

// The USB IDs as the bridge's firmware formats them: two bytes, each in
// upper-case hexadecimal without leading zeros.
std::string IdText(std::uint8_t high, std::uint8_t low) {
    char text[8];
    std::snprintf(text, sizeof text, "%X%X", high, low);
    return text;
}

std::uint8_t KindFromCode(const std::uint8_t* code) {
    std::uint8_t kind = LookupChipKind(code);
    if (kind == kKindUnknown && std::memcmp(code, "644", 3) == 0) kind = kKind645;
    return kind;
}

void ApplyChipTag(const std::string& path, std::uint8_t& kind, std::uint8_t& revision) {
    std::uint8_t tag[40] = {};
    if (ReadChipTag(path, tag, sizeof tag) == 0) {
        if (kind == kKind620) revision = 1;
        return;
    }
    for (const TagRule& rule : kTagRules) {
        if (std::memcmp(tag, rule.prefix, std::strlen(rule.prefix)) == 0) {
            kind = rule.kind;
            revision = TagRevisionOf(rule.revision, tag[5]);
            return;
        }
    }
}

// The 642 reads its revision from a 12-byte record; anything but "1" or "2"
// there is a failed read, which the operator is told about.
void ApplyInfoRecordRevision(const std::string& path, std::uint8_t& revision) {
    std::uint8_t record[12] = {};
    std::uint32_t transferred = 0;
    if (GetChipInfo(path, record, sizeof record, transferred) != 0 && HasChipInfoMarker(record)) {
        if (record[11] == '1') {
            revision = 1;
            return;
        }
        if (record[11] == '2') {
            revision = 2;
            return;
        }
    }
    NotifyOperator({"Error", "Get chip information fail !", MessageIcon::Error});
}

}  // namespace

std::uint8_t LookupChipKind(const std::uint8_t* code) {
    for (const ChipKindRow& row : kChipKinds) {
        if (row.code != nullptr && std::memcmp(code, row.code, 3) == 0) return row.kind;
    }
    return kKindUnknown;
}

std::uint16_t IdentifyChip(const std::string& path) {
    std::uint8_t kind = 0;
    std::uint8_t revision = 0;

    std::uint8_t inquiry[40] = {};
    std::uint32_t arrived = 0;
    if (Inquiry(path, inquiry, sizeof inquiry, arrived) != 0) {
        // The tag is in bytes 36..39: only an answer that reaches them has one.
        if (arrived >= sizeof inquiry && inquiry[36] == kTagLetter) {
            kind = LookupChipKind(&inquiry[37]);
            if (kind == kKindUnknown && std::memcmp(&inquiry[36], "v644", 4) == 0) kind = kKind645;
        }
        std::uint8_t idWord[2] = {};
        std::uint8_t record[16] = {};
        std::uint32_t transferred = 0;
        if (kind == kKindUnknown && ReadChipIdWord(path, idWord) != 0 &&
            GetChipInfo(path, record, sizeof record, transferred) != 0) {
            if (HasChipInfoMarker(record)) {
                if (IdText(record[2], record[3]).find("2E7A") != std::string::npos &&
                    IdText(record[4], record[5]).find("2621") != std::string::npos) {
                    kind = kKind621Id;
                } else {
                    kind = KindFromCode(&record[8]);
                    revision = static_cast<std::uint8_t>(record[11] - 0x30);
                }
            } else {
                // Two bits of the ID word pick one of the four kinds from 16 on.
                kind = static_cast<std::uint8_t>(kKind622Id + ((idWord[0] >> 5) & 0x03));
            }
        }
    }

    switch (ChipKindInfo(kind).revision) {
        case RevisionSource::ChipTag:
            ApplyChipTag(path, kind, revision);
            break;
        case RevisionSource::InfoRecordDigit:
            ApplyInfoRecordRevision(path, revision);
            break;
        case RevisionSource::RevisionRegister:
            if (CheckChipRevision(path) != 0) revision = 5;
            break;
        case RevisionSource::AsFound:
            break;
    }
    return static_cast<std::uint16_t>((revision << 8) | kind);
}

int CheckFlashMode(const std::string& path) {
    std::uint8_t value[4] = {};
    return ReadBridgeMemory(path, value, kFlashModeRegister, sizeof value) != 0 &&
           value[1] == 0 && value[2] == 1;
}

int CheckChipRevision(const std::string& path) {
    std::uint8_t value[4] = {};
    return ReadBridgeMemory(path, value, kChipRevisionRegister, sizeof value) != 0 &&
           value[1] >= 0xB4;
}

}  // namespace v62x
