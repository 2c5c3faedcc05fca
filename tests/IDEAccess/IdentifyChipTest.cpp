#include "IDEAccess/CommandSession.h"
#include "IDEAccess/IdentifyChip.h"

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <vector>

#include "IDEAccess/Notifier.h"
#include "VirtualBridge/SimulatedHost.h"

namespace v62x {
namespace {

using sim::BridgeAnswers;
using sim::DeviceConfig;
using sim::FaultKind;
using sim::SimulatedHost;

std::array<std::uint8_t, 16> Record(const char* chipText, std::uint8_t vidHi = 0x3A,
                                    std::uint8_t vidLo = 0x55, std::uint8_t pidHi = 0x06,
                                    std::uint8_t pidLo = 0x20) {
    std::array<std::uint8_t, 16> r{0xF4, 0xE7, vidHi, vidLo, pidHi, pidLo, 1, 7};
    std::memcpy(&r[8], chipText, 4);
    return r;
}

std::vector<std::uint8_t> Tag(const char* text, std::uint8_t t, std::size_t at = 5) {
    std::vector<std::uint8_t> tag(40, 0);
    std::memcpy(tag.data(), text, std::strlen(text));
    tag[at] = t;
    return tag;
}

std::array<std::uint8_t, 4> InquiryTag(const char* text) {
    std::array<std::uint8_t, 4> t{};
    std::memcpy(t.data(), text, 4);
    return t;
}

struct Case {
    const char* what;
    BridgeAnswers answers;
    std::uint8_t kind;
    std::uint8_t revision;
    std::vector<std::uint8_t> memoryFdb0 = {};  // bytes at 0xFDB0
};

BridgeAnswers With(std::optional<std::array<std::uint8_t, 16>> info,
                   std::optional<std::vector<std::uint8_t>> tag = std::nullopt,
                   std::array<std::uint8_t, 2> idWord = {0, 0}) {
    BridgeAnswers a;
    a.chipInfo = info;
    a.chipTag = tag;
    a.chipIdWord = idWord;
    return a;
}

BridgeAnswers WithInquiryTag(const char* text, std::optional<std::vector<std::uint8_t>> tag = std::nullopt) {
    BridgeAnswers a = With(Record("9990"), tag);
    a.inquiryTag = InquiryTag(text);
    return a;
}

TEST(IdentifyChip, DecisionTable) {
    std::array<std::uint8_t, 16> noMarker{};
    noMarker[0] = 0x12;
    const std::vector<Case> cases = {
        {"INQUIRY tag v622: first match is kind 3", WithInquiryTag("v622"), 3, 0},
        {"INQUIRY tag v645: first match is kind 8", WithInquiryTag("v645"), 8, 0},
        {"INQUIRY tag v644: explicit rule gives kind 8", WithInquiryTag("v644"), 8, 0},
        {"INQUIRY tag v623 gives kind 17", WithInquiryTag("v623"), 17, 0},
        {"INQUIRY tag v620 then tag v620C refines the revision", WithInquiryTag("v620", Tag("v620C", 0x32)), 1, 3},
        {"vendor 2E7A product 2621 is kind 20", With(Record("6213", 0x2E, 0x7A, 0x26, 0x21)), 20, 0},
        {"vendor 2E7A alone is not kind 20", With(Record("6213", 0x2E, 0x7A, 0x26, 0x22)), 2, 3},
        {"chip text 6243 gives kind 4 revision 3", With(Record("6243")), 4, 3},
        {"chip text 6243 and tag v624E t=2 give kind 15 revision 3", With(Record("6243"), Tag("v624E", 2)), 15, 3},
        {"tag v624C: kind 4, revision t-0x2F", With(Record("6241"), Tag("v624C", 0x33)), 4, 4},
        {"no marker, ID word 0x40: kind 18", With(noMarker, std::nullopt, {0x40, 0x00}), 18, 0},
        {"no marker, ID word 0x00: kind 16", With(noMarker, std::nullopt, {0x00, 0x00}), 16, 0},
        {"no marker, ID word 0x20: kind 17", With(noMarker, std::nullopt, {0x20, 0xFF}), 17, 0},
        {"no marker, ID word 0xFF: kind 19", With(noMarker, std::nullopt, {0xFF, 0x00}), 19, 0},
        {"unknown code with digit 5: kind 0 revision 5", With(Record("9995")), 0, 5},
        {"unknown code, tag v715A finds kind 13", With(Record("9995"), Tag("v715A", 0x31)), 13, 2},
        {"chip text 644 gives kind 8", With(Record("6442")), 8, 2},
        {"chip text 645 gives kind 8, never 9", With(Record("6452")), 8, 2},
        {"chip text 623 gives kind 17 with its revision", With(Record("6234")), 17, 4},
        {"kind 1 without a tag gets revision 1", With(Record("6204")), 1, 1},
        {"kind 1 with tag v620C t=0x35: revision 6", With(Record("6204"), Tag("v620C", 0x35)), 1, 6},
        {"tag v641 with t=0: revision 1", With(Record("6413"), Tag("v641A", 0x00)), 6, 1},
        {"tag v641 with t=0x33: revision 4", With(Record("6413"), Tag("v641A", 0x33)), 6, 4},
        {"tag v2646: kind 10", With(Record("6460"), Tag("v2646", 0x31)), 10, 2},
        {"an unknown tag leaves kind 3 as it is", With(Record("6222"), Tag("v999Z", 0x31)), 3, 2},
        {"kind 2 runs no tag step", With(Record("6213"), Tag("v620C", 0x31)), 2, 3},
        {"kind 11 without the revision register", With(Record("7513")), 11, 3, {0x00, 0xB3, 0, 0}},
        {"kind 11 with register byte 1 >= 0xB4: revision 5", With(Record("7513")), 11, 5, {0x00, 0xB4, 0, 0}},
        {"kind 12 from chip text", With(Record("7351")), 12, 1},
        {"no chip information: kind 0", With(std::nullopt), 0, 0},
        {"chip digit below '0' wraps as a byte", With(Record("621/")), 2, 0xFF},
    };
    for (const Case& c : cases) {
        SimulatedHost host;
        CommandSession scoped(host);
        DeviceConfig config;
        config.answers = c.answers;
        auto& device = host.AddDevice(config);
        if (!c.memoryFdb0.empty()) {
            std::copy(c.memoryFdb0.begin(), c.memoryFdb0.end(), device.memory().begin() + 0xFDB0);
        }
        const std::uint16_t id = IdentifyChip(device.path());
        EXPECT_EQ(c.kind, ChipKindOf(id)) << c.what;
        EXPECT_EQ(c.revision, ChipRevisionOf(id)) << c.what;
    }
}

TEST(IdentifyChip, InquiryTagSendsNothingButTheTagStep) {
    SimulatedHost host;
    CommandSession scoped(host);
    DeviceConfig config;
    config.answers = WithInquiryTag("v622");
    const std::string path = host.AddDevice(config).path();
    host.ClearLog();
    EXPECT_EQ(0x0003, IdentifyChip(path));
    ASSERT_EQ(2u, host.Log().size());
    EXPECT_EQ(0x12, host.Log()[0].cdb[0]);
    EXPECT_EQ((std::vector<std::uint8_t>{0xFF, 0x04, 0x30, 0x08}),
              std::vector<std::uint8_t>(host.Log()[1].cdb.begin(), host.Log()[1].cdb.begin() + 4));
}

TEST(IdentifyChip, UnknownCodeWithRevisionFiveEndsAs0x0500) {
    SimulatedHost host;
    CommandSession scoped(host);
    DeviceConfig config;
    config.answers = With(Record("9995"));
    EXPECT_EQ(0x0500, IdentifyChip(host.AddDevice(config).path()));
}

TEST(IdentifyChip, FailedRequestsEndEarly) {
    struct FaultCase {
        const char* what;
        std::vector<std::uint8_t> prefix;
        std::uint16_t expected;
    };
    // A kind-4 chip: chip text 6243, tag v624C with t = 0x32.
    const std::vector<FaultCase> cases = {
        {"INQUIRY fails: only the tag step identifies", {0x12}, 0x0304},
        {"chip ID word fails: tag step on kind 0", {0xDF, 0x10, 0x00, 0x00, 0x02}, 0x0304},
        {"chip information fails: tag step on kind 0", {0xE0}, 0x0304},
        {"tag fails: chip text stands", {0xFF, 0x04, 0x30}, 0x0304},
    };
    for (const FaultCase& c : cases) {
        SimulatedHost host;
        CommandSession scoped(host);
        DeviceConfig config;
        config.answers = With(Record("6243"), Tag("v624C", 0x32));
        const std::string path = host.AddDevice(config).path();
        host.AddFault({path, c.prefix, 0, FaultKind::CheckCondition});
        EXPECT_EQ(c.expected, IdentifyChip(path)) << c.what;
    }
    SimulatedHost host;
    CommandSession scoped(host);
    DeviceConfig config;
    config.answers = With(Record("6243"));
    const std::string path = host.AddDevice(config).path();
    host.AddFault({path, {0x12}, 0, FaultKind::Transport});
    EXPECT_EQ(0x0000, IdentifyChip(path)) << "INQUIRY fails and there is no tag: kind 0, revision 0";
}

TEST(IdentifyChip, OrdinaryDiskIsNotAChip) {
    SimulatedHost host;
    CommandSession scoped(host);
    DeviceConfig stick;
    stick.isBridge = false;
    EXPECT_EQ(0, IdentifyChip(host.AddDevice(stick).path()));
}

TEST(IdentifyChip, Kind7ReportsAFailedRevisionRead) {
    struct K7 {
        const char* chipText;
        std::uint8_t revision;
        bool message;
    };
    for (const K7& c : {K7{"6421", 1, false}, K7{"6422", 2, false}, K7{"6423", 3, true}}) {
        SimulatedHost host;
        CommandSession scoped(host);
        std::vector<OperatorMessage> shown;
        SetMessageNotifier([&](const OperatorMessage& m) { shown.push_back(m); });
        DeviceConfig config;
        config.answers = With(Record(c.chipText));
        config.answers.chipInfoLength = 12;
        const std::uint16_t id = IdentifyChip(host.AddDevice(config).path());
        SetMessageNotifier({});
        EXPECT_EQ(7, ChipKindOf(id)) << c.chipText;
        EXPECT_EQ(c.revision, ChipRevisionOf(id)) << c.chipText;
        ASSERT_EQ(c.message ? 1u : 0u, shown.size()) << c.chipText;
        if (c.message) {
            EXPECT_EQ("Get chip information fail !", shown[0].text);
            EXPECT_EQ("Error", shown[0].title);
            EXPECT_EQ(MessageIcon::Error, shown[0].icon);
        }
    }
}

// Every kind a chip can identify as comes out of the answers a real chip of
// that kind gives, for every revision it can report.
TEST(IdentifyChip, EveryKindComesOutOfItsChipsAnswers) {
    for (int kind = 1; kind <= 20; ++kind) {
        for (int revision = 0; revision <= 9; ++revision) {
            for (bool inquiryTag : {false, true}) {
                sim::BridgeVariant variant;
                variant.inquiryTag = inquiryTag;
                BridgeAnswers answers;
                std::string why;
                if (!sim::AnswersForKind(kind, revision, variant, answers, why)) continue;
                SimulatedHost host;
                CommandSession scoped(host);
                SetMessageNotifier([](const OperatorMessage&) {});
                DeviceConfig config;
                config.answers = answers;
                config.stuck506A = false;
                auto& device = host.AddDevice(config);
                const std::uint16_t id = IdentifyChip(device.path());
                SetMessageNotifier({});
                EXPECT_EQ(kind, ChipKindOf(id)) << "kind " << kind << " rev " << revision << " inqtag " << inquiryTag;
                EXPECT_EQ(revision, ChipRevisionOf(id)) << "kind " << kind << " rev " << revision << " inqtag " << inquiryTag;
            }
        }
    }
    BridgeAnswers answers;
    std::string why;
    EXPECT_FALSE(sim::AnswersForKind(9, 1, {}, answers, why)) << "no chip identifies as kind 9";
}

TEST(ChipKindTable, FirstMatchWins) {
    struct Lookup {
        const char* code;
        std::uint8_t kind;
    };
    for (const Lookup& l : {Lookup{"620", 1}, Lookup{"622", 3}, Lookup{"624", 4}, Lookup{"645", 8},
                            Lookup{"623", 17}, Lookup{"621", 2}, Lookup{"644", 0}, Lookup{"999", 0}}) {
        EXPECT_EQ(l.kind, LookupChipKind(reinterpret_cast<const std::uint8_t*>(l.code))) << l.code;
    }
}

TEST(CheckRegisters, FlashModeAndChipRevision) {
    SimulatedHost host;
    CommandSession scoped(host);
    DeviceConfig config;
    config.answers = With(Record("7513"));
    auto& device = host.AddDevice(config);
    auto& memory = device.memory();
    struct Reg {
        std::uint16_t address;
        std::array<std::uint8_t, 4> value;
        int flashMode;
        int revision;
    };
    const Reg cases[] = {
        {0x505E, {0x00, 0x00, 0x01, 0x00}, 1, 0},
        {0x505E, {0x00, 0x01, 0x01, 0x00}, 0, 0},
        {0x505E, {0x00, 0x00, 0x02, 0x00}, 0, 0},
        {0xFDB0, {0x00, 0xB4, 0x00, 0x00}, 0, 1},
        {0xFDB0, {0x00, 0xFF, 0x00, 0x00}, 0, 1},
        {0xFDB0, {0xB4, 0xB3, 0x00, 0x00}, 0, 0},
    };
    for (const Reg& r : cases) {
        std::fill(memory.begin() + 0x505E, memory.begin() + 0x505E + 4, 0);
        std::fill(memory.begin() + 0xFDB0, memory.begin() + 0xFDB0 + 4, 0);
        std::copy(r.value.begin(), r.value.end(), memory.begin() + r.address);
        EXPECT_EQ(r.flashMode, CheckFlashMode(device.path())) << std::hex << r.address;
        EXPECT_EQ(r.revision, CheckChipRevision(device.path())) << std::hex << r.address;
    }
    host.AddFault({device.path(), {}, 0, FaultKind::Transport});
    memory[0xFDB1] = 0xFF;
    EXPECT_EQ(0, CheckChipRevision(device.path())) << "a failed read is no";
}

}  // namespace
}  // namespace v62x
