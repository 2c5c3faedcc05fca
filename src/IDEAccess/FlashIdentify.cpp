#include "IDEAccess/FlashIdentify.h"

#include <array>
#include <map>
#include <optional>
#include <utility>
#include <vector>

#include "IDEAccess/Bytes.h"
#include "IDEAccess/FlashCommands.h"
#include "IDEAccess/Transport.h"

namespace v62x {
namespace {

constexpr std::uint32_t kDefaultSizeKB = 64;

// Identification answers are read whole: a short answer is no answer.
int ReadExact(const std::string& path, const Cdb12& cdb, std::uint8_t* buffer,
              std::uint32_t length) {
    return ScsiReadExact(path, cdb.data(), cdb.size(), buffer, length);
}

// The settings commands answer with bytes nobody looks at; any count of
// them is taken.
int SendSetting(const std::string& path, const Cdb12& cdb, std::uint8_t* answer,
                std::uint32_t length) {
    std::uint32_t transferred = 0;
    return ScsiPassThroughIn(path, cdb.data(), cdb.size(), answer, length, transferred);
}

// An answer to one identification query, zeroed before the query.
struct Answer {
    bool ok = false;
    std::array<std::uint8_t, 6> b{};
};

enum class QueryKind { Query, ReadId, ReadIdDummy };

struct Query {
    QueryKind kind;
    std::uint8_t opcode;
    std::uint8_t length;  // 4 or 6 for queries; 3 for the ID reads
};

Answer Ask(const std::string& path, const Query& q) {
    Answer a;
    switch (q.kind) {
        case QueryKind::Query:
            a.ok = SpiQuery(path, q.opcode, a.b.data(), q.length) != 0;
            break;
        case QueryKind::ReadId:
        case QueryKind::ReadIdDummy:
            a.ok = SpiReadId(path, a.b.data(), q.opcode, q.kind == QueryKind::ReadIdDummy) != 0;
            break;
    }
    return a;
}

struct ByteIs {
    std::uint8_t index;
    std::uint8_t value;
};

bool Holds(const Answer& a, const std::vector<ByteIs>& tests) {
    for (const ByteIs& t : tests) {
        if (a.b[t.index] != t.value) return false;
    }
    return true;
}

constexpr Query kJedec{QueryKind::Query, 0x9F, 4};

// --- Maker from the JEDEC answer, tried in order -----------------------
struct MakerRule {
    std::vector<ByteIs> when;
    std::uint8_t type;
    std::uint8_t sectorEraseOp;  // 0: keep the default
};

const std::vector<MakerRule> kJedecMakers = {
    {{{0, 0x7F}, {1, 0x37}}, kFlashAmic, 0},
    {{{0, 0x37}, {1, 0x30}}, kFlashAmic, 0},
    {{{0, 0x1F}}, kFlashAtmel, 0},
    {{{0, 0xC2}}, kFlashMxic, 0},
    {{{0, 0xEF}}, kFlashWinbond, 0},
    {{{0, 0x20}}, kFlashStEonMxic, 0},
    {{{0, 0x1C}}, kFlashEon, 0},
    {{{0, 0x8C}}, kFlashEsmt, 0},
    {{{0, 0x7F}, {1, 0x9D}}, kFlashPmc, 0},
    {{{0, 0x62}}, kFlashSanyo, 0xD7},
};

// --- Makers found by the older identification opcodes -------------------
struct Opcodes {
    std::uint8_t chipErase;
    std::uint8_t blockErase;
    std::uint8_t program;
};

struct FallbackRule {
    std::vector<ByteIs> when;
    std::uint8_t type;
    std::optional<Opcodes> opcodes;
};

struct FallbackStep {
    Query query;
    std::vector<FallbackRule> rules;
};

const std::vector<FallbackStep> kFallbackSteps = {
    {{QueryKind::Query, 0x90, 4}, {{{{3, 0xBF}}, kFlashSst, Opcodes{0x60, 0x52, 0xAF}}}},
    {{QueryKind::Query, 0xAB, 4}, {{{{3, 0x9D}}, kFlashPmc, {}}, {{{3, 0x05}}, kFlashStEonMxic, {}}}},
    {{QueryKind::Query, 0x15, 4}, {{{{0, 0x1F}}, kFlashAtmel, Opcodes{0x62, 0x52, 0x02}}}},
    {{QueryKind::ReadId, 0x15, 3}, {{{{0, 0x1F}}, kFlashAtmel, Opcodes{0x62, 0x52, 0x02}}}},
    {{QueryKind::ReadIdDummy, 0xAB, 3}, {{{{0, 0x05}}, kFlashStEonMxic, {}}}},
};

// --- Size rules, per flash type -----------------------------------------
enum class When { Always, NoMatchYet, AfterMatch };

// Where the size comes from once a rule's bytes match.
struct SizeFrom {
    std::optional<std::uint8_t> mapIndex;  // size from a table over this answer byte
    std::vector<std::pair<std::uint8_t, std::uint32_t>> map;
    std::optional<std::pair<std::uint8_t, std::uint8_t>> jedecRange;  // 2^b2 bytes for b2 in range
    std::uint32_t fixed = 0;  // a fixed size (0: none)
};

struct SizeRule {
    std::uint8_t type;
    When when;
    Query query;  // kJedec: the shared answer to 0x9F
    std::vector<ByteIs> match;
    SizeFrom size;
};

SizeFrom Map(std::uint8_t index, std::vector<std::pair<std::uint8_t, std::uint32_t>> map) {
    SizeFrom s;
    s.mapIndex = index;
    s.map = std::move(map);
    return s;
}
SizeFrom Jedec(std::uint8_t low, std::uint8_t high) {
    SizeFrom s;
    s.jedecRange = std::make_pair(low, high);
    return s;
}
SizeFrom Fixed(std::uint32_t kb) {
    SizeFrom s;
    s.fixed = kb;
    return s;
}
SizeFrom Nothing() { return SizeFrom{}; }

const std::vector<SizeRule> kSizeRules = {
    {kFlashPmc, When::Always, kJedec, {{0, 0x7F}, {1, 0x9D}},
     Map(2, {{0x20, 64}, {0x21, 128}, {0x22, 256}, {0x7C, 128}, {0x7D, 256}})},
    {kFlashPmc, When::NoMatchYet, {QueryKind::Query, 0xAB, 6}, {{3, 0x9D}, {4, 0x7B}}, Fixed(64)},

    {kFlashSst, When::Always, kJedec, {{0, 0xBF}}, Map(2, {{0x41, 2048}, {0x4A, 4096}})},
    {kFlashSst, When::NoMatchYet, {QueryKind::Query, 0xAB, 6}, {{3, 0xBF}, {4, 0x48}}, Fixed(64)},
    {kFlashSst, When::NoMatchYet, {QueryKind::Query, 0xAB, 6}, {{3, 0xBF}, {4, 0x49}}, Fixed(128)},

    {kFlashStEonMxic, When::Always, kJedec, {{0, 0x20}}, Jedec(0x10, 0x16)},
    {kFlashStEonMxic, When::NoMatchYet, {QueryKind::Query, 0xAB, 4}, {{0, 0xFF}, {3, 0x05}}, Fixed(64)},

    {kFlashAtmel, When::Always, kJedec, {{0, 0x1F}}, Map(1, {{0x65, 64}, {0x66, 128}})},
    {kFlashAtmel, When::NoMatchYet, {QueryKind::Query, 0x15, 4}, {{0, 0x1F}, {1, 0x60}}, Fixed(128)},

    {kFlashMxic, When::Always, kJedec, {{0, 0xC2}, {1, 0x20}}, Jedec(0x10, 0x17)},
    {kFlashMxic, When::NoMatchYet, kJedec, {{0, 0xC2}, {1, 0x22}}, Jedec(0x10, 0x17)},

    {kFlashWinbond, When::Always, kJedec, {{0, 0xEF}},
     Map(2, {{0x11, 128}, {0x12, 256}, {0x13, 512}, {0x14, 1024}})},

    {kFlashAmic, When::Always, kJedec, {{0, 0x37}}, Jedec(0x10, 0x16)},
    {kFlashAmic, When::NoMatchYet, kJedec, {{0, 0x7F}, {1, 0x37}},
     Map(3, {{0x14, 1024}, {0x20, 64}, {0x21, 128}, {0x22, 256}})},

    {kFlashEon, When::Always, kJedec, {{0, 0x1C}}, Jedec(0x10, 0x17)},

    {kFlashEsmt, When::Always, kJedec, {{0, 0x8C}, {1, 0x30}, {2, 0x11}}, Fixed(128)},

    {kFlashSanyo, When::Always, kJedec, {{0, 0x62}}, Nothing()},
    {kFlashSanyo, When::AfterMatch, {QueryKind::Query, 0xAB, 4}, {{3, 0x44}}, Fixed(256)},
};

std::optional<std::uint32_t> SizeOf(const SizeFrom& from, const Answer& a) {
    if (from.fixed != 0) return from.fixed;
    if (from.mapIndex) {
        for (const auto& [code, kb] : from.map) {
            if (a.b[*from.mapIndex] == code) return kb;
        }
        return std::nullopt;
    }
    if (from.jedecRange) {
        const std::uint8_t b2 = a.b[2];
        if (b2 >= from.jedecRange->first && b2 <= from.jedecRange->second) {
            return kDefaultSizeKB << (b2 - 0x10);
        }
    }
    return std::nullopt;
}

// The table of a probe: answer bytes to code, with `otherwise` for the rest.
int ProbeCode(std::uint8_t key, const std::vector<std::pair<std::uint8_t, int>>& table, int otherwise) {
    for (const auto& [value, code] : table) {
        if (key == value) return code;
    }
    return otherwise;
}

// Both requests of the JEDEC probe; the answer is not valid unless both succeed.
Answer ProbeJedec(const std::string& path) {
    Answer a;
    Cdb12 read = VendorCdb(0x21);
    a.ok = ReadExact(path, SpiQueryOpcodeCdb(0x9F), nullptr, 0) != 0 &&
           ReadExact(path, read, a.b.data(), 4) != 0;
    return a;
}

}  // namespace

Cdb12 GetFlashVendorCdb() {
    Cdb12 cdb = VendorCdb(0x23);
    cdb[3] = 0x04;
    return cdb;
}

Cdb12 SpiQueryOpcodeCdb(std::uint8_t opcode) {
    Cdb12 cdb = VendorCdb(0x20);
    cdb[3] = 0x01;
    cdb[4] = 0x01;
    cdb[5] = opcode;
    return cdb;
}

Cdb12 SpiReadIdCdb(std::uint8_t opcode, bool dummy) {
    Cdb12 cdb = VendorCdb(0x15);
    cdb[3] = 0x03;
    cdb[4] = opcode;
    cdb[5] = dummy ? 3 : 0;
    return cdb;
}

Cdb12 SetFlashOpcodesCdb(const FlashProfile& p) {
    return Cdb12{0xFF, 0x04, 0x24, 0x02, p.ChipEraseOp, p.BlockEraseOp, p.ProgramOp, p.FlashType, 0x01};
}

Cdb12 SetFlashPageSizeCdb(std::uint32_t size) {
    return Cdb12{0xFF, 0x04, 0x25, 0x02, static_cast<std::uint8_t>(size / 4)};
}

Cdb12 SetFlashParamsCdb(const FlashProfile& p, std::uint32_t size) {
    return Cdb12{0xFF, 0x04, 0x0F, p.ChipEraseOp, p.BlockEraseOp, p.ProgramOp, p.SectorEraseOp,
                 static_cast<std::uint8_t>(size / 4)};
}

Cdb12 SetFlashParamsWideCdb(const FlashProfile& p, std::uint32_t size) {
    Cdb12 cdb{0xFF, 0x04, 0x0F, p.ChipEraseOp, p.BlockEraseOp, p.ProgramOp, p.SectorEraseOp};
    PutBe16(&cdb[7], size);
    return cdb;
}

int GetFlashVendor(const std::string& path, std::uint8_t* buffer4) {
    return ReadExact(path, GetFlashVendorCdb(), buffer4, 4);
}

int SpiQuery(const std::string& path, std::uint8_t opcode, std::uint8_t* buffer,
             std::uint8_t length) {
    if (ReadExact(path, SpiQueryOpcodeCdb(opcode), nullptr, 0) == 0) return 0;
    return ReadExact(path, SpiReadDataCdb(length), buffer, length);
}

int SpiReadId(const std::string& path, std::uint8_t* buffer3, std::uint8_t opcode, bool dummy) {
    return ReadExact(path, SpiReadIdCdb(opcode, dummy), buffer3, 3);
}

int ProbeAmicFlash(const std::string& path) {
    const Answer a = ProbeJedec(path);
    if (!a.ok || !Holds(a, {{0, 0x7F}, {1, 0x37}, {2, 0x20}})) return -1;
    return ProbeCode(a.b[3], {{0x12, 1}, {0x11, 3}, {0x20, 4}, {0x10, 5}}, -1);
}

int ProbeAtmelFlash(const std::string& path) {
    const Answer a = ProbeJedec(path);
    if (!a.ok || a.b[0] != 0x1F) return -1;
    return ProbeCode(a.b[1], {{0x65, 1}, {0x66, 2}}, 0);
}

int SetFlashOpcodes(const std::string& path, const FlashProfile& profile) {
    std::uint8_t answer[2] = {};
    return SendSetting(path, SetFlashOpcodesCdb(profile), answer, sizeof answer);
}

int SetFlashOpcodesNoData(const std::string& path, const FlashProfile& profile) {
    return SendSetting(path, SetFlashOpcodesCdb(profile), nullptr, 0);
}

int SetFlashPageSize(const std::string& path, std::uint32_t size, std::uint32_t answerLength) {
    std::uint8_t answer[255] = {};
    if (answerLength > sizeof answer) return 0;
    return SendSetting(path, SetFlashPageSizeCdb(size), answerLength != 0 ? answer : nullptr,
                       answerLength);
}

int SetFlashParams(const std::string& path, const FlashProfile& profile, std::uint32_t size) {
    std::uint32_t transferred = 0;
    const Cdb12 cdb = SetFlashParamsCdb(profile, size);
    return ScsiPassThroughOut(path, cdb.data(), cdb.size(), nullptr, 0, transferred);
}

int SetFlashParamsWide(const std::string& path, const FlashProfile& profile, std::uint32_t size) {
    std::uint32_t transferred = 0;
    const Cdb12 cdb = SetFlashParamsWideCdb(profile, size);
    return ScsiPassThroughOut(path, cdb.data(), cdb.size(), nullptr, 0, transferred);
}

int DetectSerialFlash(const std::string& path, FlashProfile& profile) {
    profile.ChipEraseOp = 0xC7;
    profile.BlockEraseOp = 0xD8;
    profile.ProgramOp = 0x02;
    profile.FlashType = kFlashUnknown;
    profile.SectorEraseOp = 0x20;

    const Answer jedec = Ask(path, kJedec);
    if (!jedec.ok) return 1;  // a flash that does not answer at all is left unknown
    for (const MakerRule& rule : kJedecMakers) {
        if (Holds(jedec, rule.when)) {
            profile.FlashType = rule.type;
            if (rule.sectorEraseOp != 0) profile.SectorEraseOp = rule.sectorEraseOp;
            return 1;
        }
    }
    for (const FallbackStep& step : kFallbackSteps) {
        const Answer a = Ask(path, step.query);
        if (!a.ok) continue;
        for (const FallbackRule& rule : step.rules) {
            if (!Holds(a, rule.when)) continue;
            profile.FlashType = rule.type;
            if (rule.opcodes) {
                profile.ChipEraseOp = rule.opcodes->chipErase;
                profile.BlockEraseOp = rule.opcodes->blockErase;
                profile.ProgramOp = rule.opcodes->program;
            }
            return 1;
        }
    }
    return 0;
}

int DetectFlashSize(const std::string& path, FlashProfile& profile) {
    if (profile.FlashType == kFlashUnknown) DetectSerialFlash(path, profile);
    const Answer jedec = Ask(path, kJedec);

    // Each query is sent at most once; later rules reuse its answer.
    std::map<std::pair<std::uint8_t, std::uint8_t>, Answer> asked;
    std::uint32_t sizeKB = kDefaultSizeKB;
    bool matched = false;
    bool answered = true;  // every query the rules needed came back whole
    for (const SizeRule& rule : kSizeRules) {
        if (rule.type != profile.FlashType) continue;
        if (rule.when == When::NoMatchYet && matched) continue;
        if (rule.when == When::AfterMatch && !matched) continue;
        const bool shared = rule.query.opcode == kJedec.opcode && rule.query.length == kJedec.length;
        const auto key = std::make_pair(rule.query.opcode, rule.query.length);
        if (!shared && asked.find(key) == asked.end()) asked[key] = Ask(path, rule.query);
        const Answer& answer = shared ? jedec : asked[key];
        if (!answer.ok) answered = false;
        if (!answer.ok || !Holds(answer, rule.match)) continue;
        matched = true;
        if (const auto kb = SizeOf(rule.size, answer)) sizeKB = *kb;
    }
    profile.SizeKB = sizeKB;
    return answered ? 1 : 0;
}

}  // namespace v62x
