// The two-bank repair of kind-12 chips against a simulated bridge that ships
// two valid banks: which bank is rewritten and from where, that a valid bank
// is never written, the once-per-refresh mark, the retry in the small-unit
// write mode, and that a failed repair never reports success.
#include "Fwupdate/FirmwareRecovery.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "Fwupdate/ImageChecks.h"
#include "support/SimBench.h"

namespace v62x {
namespace {

using test::Bytes;
using test::DirectAddress;
using test::SimBench;

constexpr std::size_t kBank = 0x10000;
constexpr std::size_t kDamageAt = 0x1234;  // inside the CRC-covered code

enum Damage : unsigned { kNone = 0, kBank0 = 1, kBank1 = 2 };

Bytes Bank(SimBench& bench, std::size_t index) { return test::Slice(bench.Flash(), index * kBank, kBank); }
bool BankValid(SimBench& bench, std::size_t index) { return BankImageValid(Bank(bench, index).data(), 12) != 0; }
void DamageBanks(SimBench& bench, unsigned which) {
    if (which & kBank0) bench.Flash()[kDamageAt] ^= 0x5A;
    if (which & kBank1) bench.Flash()[kBank + kDamageAt] ^= 0x5A;
}
// Bank reads: transfers of whole ProgramChunk pieces (the identification
// itself reads 1 KiB pieces for the running-firmware check).
std::size_t FlashReads(const SimBench& bench) {
    const auto reads = bench.Direct(0xFA);
    const auto chunk = static_cast<std::uint32_t>(bench.state.flash.ProgramChunk);
    return static_cast<std::size_t>(std::count_if(reads.begin(), reads.end(), [chunk](const sim::LogEntry& e) {
        return test::DirectLength(e) == chunk;
    }));
}
std::size_t FlashWrites(const SimBench& bench) { return bench.Direct(0xFB).size(); }
// The erase codes the writes asked for, in order, without the zeros.
std::vector<int> EraseCodes(const SimBench& bench) {
    std::vector<int> codes;
    for (const sim::LogEntry& e : bench.Direct(0xFB)) {
        if ((e.cdb[1] & 0x07) != 0) codes.push_back(e.cdb[1] & 0x07);
    }
    return codes;
}
void FailWrites(SimBench& bench, int nth, sim::FaultKind kind, std::uint32_t limit = 0) {
    bench.Fail({0xDF}, nth, kind, limit, DataDirection::Out);
}
// Runs the recovery straight, as the identification would, after marking
// the record unchecked again.
int RunDirect(SimBench& bench) {
    bench.state.devices.records[0].RecoveryChecked = 0;
    bench.host.ClearLog();
    bench.panel = RecordingPanel{};
    return RecoverFirmware(bench.state, bench.panel, bench.Path(), 12);
}

constexpr const char* kTwoBanks = "bridge:kind=12,firmware=valid";

TEST(FirmwareRecovery, ShippedFlashHoldsTwoValidBanks) {
    SimBench bench(kTwoBanks);
    ASSERT_GE(bench.Flash().size(), 2 * kBank);
    EXPECT_TRUE(BankValid(bench, 0));
    EXPECT_TRUE(BankValid(bench, 1));
}

// Through the identification: which bank is damaged decides what happens.
struct DamageCase {
    const char* name;
    unsigned damage;
    bool repairs;         // a write happens and the success text is shown
    std::size_t target;   // the bank rewritten
};

class FirmwareRecoveryDamage : public ::testing::TestWithParam<DamageCase> {};

TEST_P(FirmwareRecoveryDamage, RepairsOnlyWhenExactlyOneBankIsValid) {
    const DamageCase& c = GetParam();
    SimBench bench(kTwoBanks);
    DamageBanks(bench, c.damage);
    const Bytes before = bench.Flash();
    bench.host.ClearLog();
    bench.Check();

    ASSERT_EQ(12, bench.state.id.ChipKind);
    ASSERT_GE(bench.state.id.FlashSizeKB, 128);
    EXPECT_EQ(1, bench.state.devices.records[0].RecoveryChecked);
    EXPECT_GE(FlashReads(bench), 16u);  // both banks read
    if (!c.repairs) {
        EXPECT_EQ(0u, FlashWrites(bench));
        EXPECT_EQ(before, bench.Flash());
        EXPECT_FALSE(bench.Shown(kRecoverySuccessText));
        EXPECT_FALSE(bench.Shown(kRecoveryFailText));
        return;
    }
    EXPECT_GT(FlashWrites(bench), 0u);
    EXPECT_TRUE(bench.Shown(kRecoverySuccessText));
    EXPECT_FALSE(bench.Shown(kRecoveryFailText));
    EXPECT_TRUE(BankValid(bench, 0));
    EXPECT_TRUE(BankValid(bench, 1));
    EXPECT_EQ(Bank(bench, 0), Bank(bench, 1));
    // The source bank is untouched: it equals what was there before.
    const std::size_t source = 1 - c.target;
    EXPECT_TRUE(std::equal(bench.Flash().begin() + static_cast<long>(source * kBank),
                           bench.Flash().begin() + static_cast<long>((source + 1) * kBank),
                           before.begin() + static_cast<long>(source * kBank)));
    // One attempt in the large-unit mode was enough.
    const std::vector<int> codes = EraseCodes(bench);
    ASSERT_FALSE(codes.empty());
    EXPECT_TRUE(std::all_of(codes.begin(), codes.end(), [](int code) { return code == 2; }));
}

INSTANTIATE_TEST_SUITE_P(
    Banks, FirmwareRecoveryDamage,
    ::testing::Values(DamageCase{"BothValid", kNone, false, 0},
                      DamageCase{"OnlyBank1Valid", kBank0, true, 0},
                      DamageCase{"OnlyBank0Valid", kBank1, true, 1},
                      DamageCase{"BothDamaged", kBank0 | kBank1, false, 0}),
    [](const ::testing::TestParamInfo<DamageCase>& info) { return std::string(info.param.name); });

TEST(FirmwareRecovery, SmallFlashIsNotTouched) {
    SimBench bench("bridge:kind=12,flash=Pm25LV512,firmware=valid");
    bench.Flash()[kDamageAt] ^= 0x5A;
    const Bytes before = bench.Flash();
    bench.host.ClearLog();
    bench.Check();
    ASSERT_EQ(12, bench.state.id.ChipKind);
    EXPECT_LT(bench.state.id.FlashSizeKB, 128);
    EXPECT_EQ(0u, FlashReads(bench));
    EXPECT_EQ(0u, FlashWrites(bench));
    EXPECT_EQ(0, bench.state.devices.records[0].RecoveryChecked);
    EXPECT_EQ(before, bench.Flash());
}

TEST(FirmwareRecovery, DirectCallsOutsideItsScopeDoNothing) {
    struct Case {
        const char* name;
        std::uint8_t kind;
        std::int32_t flashKB;
        int checked;
    };
    const Case cases[] = {
        {"kind 11", 11, 128, 0},
        {"64 KiB", 12, 64, 0},
        {"127 KiB", 12, 127, 0},
        {"already checked", 12, 128, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SimBench bench(kTwoBanks);
        bench.Check();
        DamageBanks(bench, kBank0);
        const Bytes before = bench.Flash();
        bench.state.id.FlashSizeKB = c.flashKB;
        bench.state.devices.records[0].RecoveryChecked = c.checked;
        bench.host.ClearLog();
        EXPECT_EQ(1, RecoverFirmware(bench.state, bench.panel, bench.Path(), c.kind));
        EXPECT_EQ(0u, FlashReads(bench));
        EXPECT_EQ(before, bench.Flash());
    }
}

TEST(FirmwareRecovery, SecondIdentificationWithoutRefreshReadsNothing) {
    SimBench bench(kTwoBanks);
    bench.Check();
    ASSERT_EQ(1, bench.state.devices.records[0].RecoveryChecked);
    // Damage after the first check: without a refresh it goes unnoticed.
    DamageBanks(bench, kBank0);
    const Bytes before = bench.Flash();
    bench.host.ClearLog();
    UpdateBtnCheck(bench.state, SimBench::Listed(), bench.panel);
    EXPECT_EQ(0u, FlashReads(bench));
    EXPECT_EQ(0u, FlashWrites(bench));
    EXPECT_EQ(before, bench.Flash());

    // A refresh clears the mark, and the next identification repairs.
    bench.host.ClearLog();
    bench.Check();
    EXPECT_GT(FlashReads(bench), 0u);
    EXPECT_TRUE(BankValid(bench, 0));
    EXPECT_TRUE(bench.Shown(kRecoverySuccessText));
}

// The first attempt (large units) fails; the second (small units) repairs.
struct RetryCase {
    const char* name;
    int nth;
    sim::FaultKind kind;
    std::uint32_t limit;
};

class FirmwareRecoveryRetry : public ::testing::TestWithParam<RetryCase> {};

TEST_P(FirmwareRecoveryRetry, SecondAttemptInSmallUnitsRepairs) {
    const RetryCase& c = GetParam();
    SimBench bench(kTwoBanks);
    bench.Check();
    DamageBanks(bench, kBank0);
    const Bytes bank1 = Bank(bench, 1);
    FailWrites(bench, c.nth, c.kind, c.limit);

    EXPECT_EQ(1, RunDirect(bench));
    EXPECT_EQ(1, bench.state.devices.records[0].RecoveryChecked);
    EXPECT_EQ("FW Recovery successful!!", bench.panel.status);
    EXPECT_FALSE(bench.Shown(kRecoveryFailText));
    EXPECT_TRUE(BankValid(bench, 0));
    EXPECT_EQ(bank1, Bank(bench, 0));
    EXPECT_EQ(bank1, Bank(bench, 1));
    const std::vector<int> codes = EraseCodes(bench);
    ASSERT_FALSE(codes.empty());
    EXPECT_EQ(2, codes.front());
    EXPECT_EQ(1, codes.back());
    for (const sim::LogEntry& e : bench.Direct(0xFB)) EXPECT_LT(DirectAddress(e), kBank);
    // The small-unit attempt erased every sector of bank 0 again.
    const auto sectorErases = std::count(codes.begin(), codes.end(), 1);
    EXPECT_EQ(static_cast<long>(kBank / static_cast<std::size_t>(bench.state.flash.SectorEraseSize)), sectorErases);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, FirmwareRecoveryRetry,
    ::testing::Values(RetryCase{"FirstWriteLost", 1, sim::FaultKind::Transport, 0},
                      RetryCase{"ThirdWriteRefused", 3, sim::FaultKind::CheckCondition, 0},
                      RetryCase{"SecondWriteTruncated", 2, sim::FaultKind::ShortTransfer, 16}),
    [](const ::testing::TestParamInfo<RetryCase>& info) { return std::string(info.param.name); });

// Both attempts fail: the failure text, result 0, and the valid bank intact.
TEST(FirmwareRecovery, BothAttemptsFailReportFailure) {
    const RetryCase cases[] = {
        {"every write lost", 0, sim::FaultKind::Transport, 0},
        {"every write truncated", 0, sim::FaultKind::ShortTransfer, 16},
    };
    for (const RetryCase& c : cases) {
        SCOPED_TRACE(c.name);
        SimBench bench(kTwoBanks);
        bench.Check();
        DamageBanks(bench, kBank1);
        const Bytes bank0 = Bank(bench, 0);
        FailWrites(bench, c.nth, c.kind, c.limit);

        EXPECT_EQ(0, RunDirect(bench));
        EXPECT_EQ("FW Recovery Fail!!", bench.panel.status);
        EXPECT_FALSE(bench.Shown(kRecoverySuccessText));
        EXPECT_EQ(bank0, Bank(bench, 0));
        EXPECT_TRUE(BankValid(bench, 0));
        EXPECT_EQ(1, bench.state.devices.records[0].RecoveryChecked);
        // Two attempts were made, the second in small units; no write ever
        // reached below bank 1.
        const std::vector<int> codes = EraseCodes(bench);
        ASSERT_FALSE(codes.empty());
        EXPECT_EQ(2, codes.front());
        EXPECT_EQ(1, codes.back());
        for (const sim::LogEntry& e : bench.Direct(0xFB)) EXPECT_GE(DirectAddress(e), kBank);
    }
}

// Run stays disabled while the banks are worked on and comes back as it was,
// after a repair, after a failure, and when the read fails.
TEST(FirmwareRecovery, RunButtonIsHeldAndRestored) {
    for (const bool runBefore : {true, false}) {
        SimBench bench(kTwoBanks);
        bench.Check();
        DamageBanks(bench, kBank1);
        bench.state.devices.records[0].RecoveryChecked = 0;
        bench.panel = RecordingPanel{};
        bench.panel.runEnabled = runBefore;
        EXPECT_EQ(1, RecoverFirmware(bench.state, bench.panel, bench.Path(), 12));
        EXPECT_EQ((std::vector<bool>{false, runBefore}), bench.panel.runChanges) << runBefore;
        EXPECT_EQ(runBefore, bench.panel.runEnabled) << runBefore;
    }
}

// A failed read leaves the mark clear, so the next identification tries again.
TEST(FirmwareRecovery, FailedReadLeavesTheMarkClear) {
    SimBench bench(kTwoBanks);
    bench.Check();
    DamageBanks(bench, kBank0);
    const Bytes before = bench.Flash();
    bench.Fail({0xDF, 0x10}, 0, sim::FaultKind::Transport, 0, DataDirection::In);
    EXPECT_EQ(0, RunDirect(bench));
    EXPECT_EQ(0, bench.state.devices.records[0].RecoveryChecked);
    EXPECT_EQ(0u, FlashWrites(bench));
    EXPECT_EQ(before, bench.Flash());
    EXPECT_FALSE(bench.Shown(kRecoverySuccessText));
    EXPECT_FALSE(bench.Shown(kRecoveryFailText));
}

}  // namespace
}  // namespace v62x
