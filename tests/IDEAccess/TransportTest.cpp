#include "IDEAccess/CommandSession.h"
#include "IDEAccess/Transport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <vector>

#include "support/ScriptedHost.h"

namespace v62x {
namespace {

using test::ScriptedHost;

class TransportTest : public ::testing::Test {
protected:
    ScriptedHost host;
    CommandSession scoped{host};
    const std::string path = "/dev/sg9";
};

TEST_F(TransportTest, DataInOfOneByteAsksTwoAndHandsBackOne) {
    host.dataIn = {0xAB, 0xCD};
    const std::uint8_t cdb[12] = {0x12};
    std::uint8_t buffer[2] = {0x00, 0x77};
    std::uint32_t transferred = 0;
    host.reply.transferred = 2;
    EXPECT_EQ(1, ScsiPassThroughIn(path, cdb, 12, buffer, 1, transferred));
    ASSERT_EQ(1u, host.sent.size());
    EXPECT_EQ(2u, host.sent[0].request.length);
    EXPECT_EQ(0xAB, buffer[0]);
    EXPECT_EQ(0x77, buffer[1]) << "only the caller's length is copied back";
    EXPECT_EQ(2u, transferred);
}

TEST_F(TransportTest, DataOutOfOneByteSendsItFollowedByZero) {
    const std::uint8_t cdb[12] = {0xDF};
    const std::uint8_t byte = 0x5A;
    std::uint32_t transferred = 0;
    EXPECT_EQ(1, ScsiPassThroughOut(path, cdb, 12, &byte, 1, transferred));
    ASSERT_EQ(1u, host.sent.size());
    EXPECT_EQ((std::vector<std::uint8_t>{0x5A, 0x00}), host.sent[0].dataOut);
}

TEST_F(TransportTest, TimeOutsComeFromTheRawCdbBytes) {
    struct Case {
        const char* what;
        std::vector<std::uint8_t> cdb;
        std::uint32_t seconds;
    };
    const std::vector<Case> cases = {
        {"chip erase (byte 2 0x13)", {0xFF, 0x04, 0x13, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 100},
        {"direct write mode 3 to flash", {0xDF, 0x03, 0, 0x80, 0, 0, 0, 0, 0, 0, 0, 0xFB}, 100},
        {"direct write mode 0x83", {0xDF, 0x83, 0, 0x80, 0, 0, 0, 0, 0, 0, 0, 0xFB}, 50},
        {"mode 3 to bridge memory", {0xDF, 0x03, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0xFE}, 50},
        {"vendor mode on", {0xFF, 0x04, 0x56, 0x52, 0x55, 0, 0, 0, 0, 0, 0, 0}, 50},
        {"short CDB reads zeros beyond its end", {0xDF, 0x03, 0, 0, 0, 0}, 50},
    };
    for (const Case& c : cases) {
        host.sent.clear();
        std::uint32_t transferred = 0;
        ScsiPassThroughOut(path, c.cdb.data(), c.cdb.size(), nullptr, 0, transferred);
        ASSERT_EQ(1u, host.sent.size()) << c.what;
        EXPECT_EQ(c.seconds, host.sent[0].request.timeoutSeconds) << c.what;
        EXPECT_EQ(c.seconds, DataOutTimeout(c.cdb.data(), c.cdb.size())) << c.what;
    }
    std::uint8_t cdb[12] = {0xFF, 0x04, 0x13};
    std::uint32_t transferred = 0;
    host.sent.clear();
    ScsiPassThroughIn(path, cdb, 12, nullptr, 0, transferred);
    EXPECT_EQ(10u, host.sent[0].request.timeoutSeconds) << "data-in requests always get 10 s";
}

TEST_F(TransportTest, CommandWithoutDataSendsNullBufferInBothDirections) {
    const std::uint8_t cdb[12] = {0xFF, 0x04, 0x56, 0x52, 0x55};
    std::uint32_t transferred = 99;
    ScsiPassThroughOut(path, cdb, 12, nullptr, 0, transferred);
    ScsiPassThroughIn(path, cdb, 12, nullptr, 0, transferred);
    ASSERT_EQ(2u, host.sent.size());
    for (const auto& s : host.sent) {
        EXPECT_EQ(nullptr, s.request.data);
        EXPECT_EQ(0u, s.request.length);
    }
    EXPECT_EQ(DataDirection::Out, host.sent[0].request.direction);
    EXPECT_EQ(OpenMode::Exclusive, host.sent[0].request.open);
    EXPECT_EQ(DataDirection::In, host.sent[1].request.direction);
    EXPECT_EQ(OpenMode::Shared, host.sent[1].request.open);
}

TEST_F(TransportTest, NullOutBufferSendsZeros) {
    const std::uint8_t cdb[12] = {0xDF};
    std::uint32_t transferred = 0;
    ScsiPassThroughOut(path, cdb, 12, nullptr, 16, transferred);
    EXPECT_EQ(std::vector<std::uint8_t>(16, 0), host.sent[0].dataOut);
}

TEST_F(TransportTest, TransferBuffersAreAlignedAndZeroed) {
    const std::uint8_t cdb[12] = {0x12};
    std::uint8_t buffer[300];
    std::uint32_t transferred = 0;
    ScsiPassThroughIn(path, cdb, 12, buffer, sizeof buffer, transferred);
    ASSERT_EQ(1u, host.sent.size());
    EXPECT_TRUE(host.sent[0].dataAligned);
    EXPECT_TRUE(host.sent[0].dataZeroed);
}

TEST_F(TransportTest, OpenFailureReturnsZeroAndLeavesTransferredUntouched) {
    host.reply = HostReply{};  // not opened
    const std::uint8_t cdb[12] = {0x12};
    std::uint8_t buffer[4] = {1, 2, 3, 4};
    std::uint32_t transferred = 0xDEAD;
    EXPECT_EQ(0, ScsiPassThroughIn(path, cdb, 12, buffer, 4, transferred));
    EXPECT_EQ(0xDEADu, transferred);
    EXPECT_EQ(0, ScsiPassThroughOut(path, cdb, 12, buffer, 4, transferred));
    EXPECT_EQ(0xDEADu, transferred);
    EXPECT_EQ(1, buffer[0]) << "nothing is copied when the device never opened";
}

TEST_F(TransportTest, ResultFollowsHostCompletionAndScsiStatus) {
    struct Case {
        const char* what;
        bool completed;
        std::uint8_t status;
        std::uint8_t senseKey;
        int result;
        bool senseValid = true;
    };
    const Case cases[] = {
        {"GOOD", true, scsi::kGood, 0, 1},
        {"CONDITION MET", true, scsi::kConditionMet, 0, 1},
        {"CHECK CONDITION, NO SENSE", true, scsi::kCheckCondition, scsi::kSenseNoSense, 1},
        {"CHECK CONDITION, RECOVERED ERROR", true, scsi::kCheckCondition, scsi::kSenseRecoveredError, 1},
        {"CHECK CONDITION, ILLEGAL REQUEST", true, scsi::kCheckCondition, scsi::kSenseIllegalRequest, 0},
        {"CHECK CONDITION, NOT READY", true, scsi::kCheckCondition, scsi::kSenseNotReady, 0},
        {"CHECK CONDITION, MEDIUM ERROR", true, scsi::kCheckCondition, scsi::kSenseMediumError, 0},
        {"BUSY", true, scsi::kBusy, 0, 0},
        {"RESERVATION CONFLICT", true, 0x18, 0, 0},
        {"not completed by the host", false, scsi::kGood, 0, 0},
        {"CHECK CONDITION without sense data", true, scsi::kCheckCondition, 0, 0, false},
    };
    for (const Case& c : cases) {
        host.reply.completed = c.completed;
        host.reply.scsiStatus = c.status;
        host.reply.senseKey = c.senseKey;
        host.reply.senseValid = c.senseValid;
        const std::uint8_t cdb[12] = {0xE0, 0xF4, 0xE7};
        std::uint8_t buffer[16];
        std::uint32_t transferred = 0;
        EXPECT_EQ(c.result, ScsiPassThroughIn(path, cdb, 12, buffer, 16, transferred)) << c.what;
        EXPECT_EQ(c.result, ScsiPassThroughOut(path, cdb, 12, buffer, 16, transferred)) << c.what;
        EXPECT_EQ(c.result == 1, RequestSucceeded(host.reply)) << c.what;
    }
}

TEST_F(TransportTest, DataInIsCopiedOutEvenWhenTheRequestFailed) {
    host.reply.scsiStatus = scsi::kCheckCondition;
    host.reply.senseKey = scsi::kSenseIllegalRequest;
    host.dataIn = {0x11, 0x22};
    const std::uint8_t cdb[12] = {0xE0, 0xF4, 0xE7};
    std::uint8_t buffer[4] = {9, 9, 9, 9};
    std::uint32_t transferred = 0;
    EXPECT_EQ(0, ScsiPassThroughIn(path, cdb, 12, buffer, 4, transferred));
    EXPECT_EQ((std::vector<std::uint8_t>{0x11, 0x22, 0, 0}), std::vector<std::uint8_t>(buffer, buffer + 4))
        << "bytes the device did not deliver read as zeros";
}

TEST_F(TransportTest, CdbLengthOutsideOneToSixteenIsNotSent) {
    std::uint8_t cdb[17] = {0x12};
    std::uint32_t transferred = 0;
    EXPECT_EQ(0, ScsiPassThroughIn(path, cdb, 17, nullptr, 0, transferred));
    EXPECT_EQ(0, ScsiPassThroughOut(path, cdb, 0, nullptr, 0, transferred));
    EXPECT_TRUE(host.sent.empty());
    EXPECT_EQ(1, ScsiPassThroughIn(path, cdb, 16, nullptr, 0, transferred));
    EXPECT_EQ(16u, host.sent[0].request.cdbLength);
}

TEST_F(TransportTest, ObserverSeesEveryRequestWithItsResult) {
    std::vector<int> results;
    SetRequestObserver([&](const HostRequest&, const HostReply&, int result) { results.push_back(result); });
    const std::uint8_t cdb[12] = {0x12};
    std::uint32_t transferred = 0;
    ScsiPassThroughIn(path, cdb, 12, nullptr, 0, transferred);
    host.reply.opened = false;
    ScsiPassThroughOut(path, cdb, 12, nullptr, 0, transferred);
    SetRequestObserver({});
    EXPECT_EQ((std::vector<int>{1, 0}), results);
}

TEST_F(TransportTest, DeviceNumberIsThreeHostOrderWords) {
    host.number = {7, 0x00800010, 2};
    std::uint8_t out[12] = {};
    ASSERT_EQ(1, GetDeviceNumber(path, out));
    std::uint32_t words[3];
    std::memcpy(words, out, sizeof words);
    EXPECT_EQ(7u, words[0]);
    EXPECT_EQ(0x00800010u, words[1]);
    EXPECT_EQ(2u, words[2]);
    host.numberOk = false;
    EXPECT_EQ(0, GetDeviceNumber(path, out));
}

TEST(BufferHelpers, AlignUpFindsTheNextBoundaryAndPaddedBlocksAreZeroed) {
    for (std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{8191}, std::size_t{65536}}) {
        std::uint8_t* block = AllocPadded(size, 8192);
        ASSERT_NE(nullptr, block);
        std::uint8_t* aligned = AlignUp(block, 8192);
        EXPECT_EQ(0u, reinterpret_cast<std::uintptr_t>(aligned) % 8192);
        EXPECT_LT(aligned - block, 8192);
        for (std::size_t i = 0; i < size; ++i) ASSERT_EQ(0, aligned[i]);
        FreeBuffer(block);
    }
    FreeBuffer(nullptr);
    auto* exact = reinterpret_cast<std::uint8_t*>(std::uintptr_t{0x4000});
    EXPECT_EQ(exact, AlignUp(exact, 8192));
    EXPECT_EQ(nullptr, AllocPadded(static_cast<std::size_t>(-1), 8192)) << "size overflow";
}

TEST(BufferHelpers, FileLengthKeepsThePosition) {
    std::FILE* file = std::tmpfile();
    ASSERT_NE(nullptr, file);
    const char text[] = "0123456789";
    std::fwrite(text, 1, 10, file);
    std::fseek(file, 3, SEEK_SET);
    EXPECT_EQ(10, FileLength(file));
    EXPECT_EQ(3, std::ftell(file));
    std::fclose(file);
    EXPECT_EQ(-1, FileLength(nullptr));
}

}  // namespace
}  // namespace v62x
