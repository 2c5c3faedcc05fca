// Answers a device may really give and the command layer must not take as
// data: short answers on every read path, and numbers no real disk reports.
#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "IDEAccess/ChipCommands.h"
#include "IDEAccess/CommandSession.h"
#include "IDEAccess/DiskCommands.h"
#include "IDEAccess/FlashCommands.h"
#include "IDEAccess/FlashIdentify.h"
#include "support/RuleHost.h"

namespace v62x {
namespace {

using test::RuleHost;
using Bytes = RuleHost::Bytes;

// Completes every request with GOOD status but delivers only half of what a
// read asks for (nothing of a two-byte transfer, so that the one-byte reads
// come up short too). The bytes that do arrive read 55 AA 55 AA ..., which
// would pass several of the layer's checks if a short answer were taken.
class HalfDeliveringHost : public RuleHost {
public:
    HostReply PassThrough(const HostRequest& request) override {
        HostReply reply;
        reply.opened = true;
        reply.completed = true;
        if (request.direction == DataDirection::In && request.data != nullptr) {
            reply.transferred = request.length <= 2 ? 0 : request.length / 2;
            for (std::uint32_t i = 0; i < reply.transferred; ++i) {
                request.data[i] = i % 2 == 0 ? 0x55 : 0xAA;
            }
        } else {
            reply.transferred = request.length;
        }
        return reply;
    }
};

TEST(ShortAnswers, EveryReadPathFailsWhenTheDeviceDeliversLess) {
    HalfDeliveringHost host;
    CommandSession scoped(host);
    const std::string p = "/dev/sg2";
    std::vector<std::uint8_t> buffer(65536);
    std::uint8_t* b = buffer.data();
    std::uint32_t arrived = 0;
    FlashProfile profile;

    struct Case {
        const char* what;
        std::function<long long()> call;
        long long expected;  // what the command answers for a failed read
    };
    const std::vector<Case> cases = {
        {"ReadFlashData", [&] { return ReadFlashData(p, 0, b, 0x8000); }, 0},
        {"ReadFlashDirect", [&] { return ReadFlashDirect(p, 0x1000, b, 1024); }, 0},
        {"ReadRom", [&] { return ReadRom(p, 0, b, 0x10000); }, 0},
        {"ReadFlashStatus (one byte)", [&] { return ReadFlashStatus(p, b); }, 0},
        {"ReadRomBusy counts as busy", [&] { return ReadRomBusy(p); }, 1},
        {"ReadChipIdWord", [&] { return ReadChipIdWord(p, b); }, 0},
        {"GetChipInfo below 12 bytes", [&] { return GetChipInfo(p, b, 16, arrived); }, 0},
        {"ReadChipTag below 8 bytes", [&] { return ReadChipTag(p, b, 8); }, 0},
        {"GetBridgeStatus", [&] { return GetBridgeStatus(p, b, 20); }, 0},
        {"ReadBridgeMemory", [&] { return ReadBridgeMemory(p, b, 0xC000, 16); }, 0},
        {"ReadBridgeMemory (one byte)", [&] { return ReadBridgeMemory(p, b, kScratchRegister, 1); }, 0},
        {"CheckDiskFirmware", [&] { return CheckDiskFirmware(p, 5); }, 0},
        {"ReadCapacity16", [&] { return ReadCapacity16(p, b, 32); }, 0},
        {"GetDiskBlockSize falls back", [&] { return GetDiskBlockSize(p); }, 512},
        {"GetDiskLastLba", [&] { return GetDiskLastLba(p); }, 0},
        {"GetDiskLastLba64", [&] { return GetDiskLastLba64(p); }, 0},
        {"ReadDisk10", [&] { return ReadDisk10(p, b, 100, 4096, 512); }, 0},
        {"ReadDisk16", [&] { return ReadDisk16(p, b, 100, 4096, 512); }, 0},
        {"AtaReadDmaExt", [&] { return AtaReadDmaExt(p, b, 100, 4096, 512); }, 0},
        {"AtaIdentify", [&] { return AtaIdentify(p, b); }, 0},
        {"GetDiskSectorsDirect", [&] { return static_cast<long long>(GetDiskSectorsDirect(p)); }, 0},
        {"GetDiskSectorsAta", [&] { return static_cast<long long>(GetDiskSectorsAta(p)); }, 0},
        {"GetFlashVendor", [&] { return GetFlashVendor(p, b); }, 0},
        {"SpiQuery", [&] { return SpiQuery(p, 0x9F, b, 4); }, 0},
        {"SpiReadId", [&] { return SpiReadId(p, b, 0x15, false); }, 0},
        {"DetectSerialFlash leaves the flash unknown",
         [&] { return DetectSerialFlash(p, profile) * 100 + profile.FlashType; }, 100},
    };
    for (const Case& c : cases) {
        std::fill(buffer.begin(), buffer.end(), 0);
        EXPECT_EQ(c.expected, c.call()) << c.what;
    }
}

// Appends a big-endian value of `bytes` bytes.
void PutBe(Bytes& out, std::uint64_t value, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

Bytes Capacity10(std::uint32_t last, std::uint32_t blockSize) {
    Bytes b;
    PutBe(b, last, 4);
    PutBe(b, blockSize, 4);
    return b;
}

Bytes Capacity16(std::uint64_t last, std::uint32_t blockSize) {
    Bytes b;
    PutBe(b, last, 8);
    PutBe(b, blockSize, 4);
    b.resize(16, 0);
    return b;
}

Bytes Identify(std::uint32_t count28, std::uint64_t count48) {
    Bytes id(512, 0);
    auto put = [&id](int word, std::uint16_t v) {
        id[2 * word] = static_cast<std::uint8_t>(v);
        id[2 * word + 1] = static_cast<std::uint8_t>(v >> 8);
    };
    put(60, static_cast<std::uint16_t>(count28));
    put(61, static_cast<std::uint16_t>(count28 >> 16));
    for (int w = 0; w < 4; ++w) put(100 + w, static_cast<std::uint16_t>(count48 >> (16 * w)));
    return id;
}

const Bytes kCapacity10 = {0x25};
const Bytes kCapacity16 = {0x9E, 0x10};
const Bytes kIdentifyDirect = {0xDF, 0x10, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xA0, 0xEC};
const Bytes kAtaIdentify = {0xA1, 0x08, 0x0B};
const Bytes kStatus18 = {0xFF, 0x04, 0xA0, 0x12};
const Bytes kMark = {0xDF, 0x10, 0x00, 0x00, 0x04, 0x00, 0xC0, 0x00};
const Bytes kRead10 = {0x28};

// A disk-firmware bridge (kind 14, area mark set, capacity flag set) with
// the given capacity and a signature block storing `stored`.
void AreaBridge(RuleHost& host, const Bytes& capacity, std::uint32_t stored) {
    host.Answer(kCapacity10, capacity);
    Bytes status(18, 0);
    status[8] = 0xD0;
    status[17] = 1;
    host.Answer(kStatus18, status);
    host.Answer(kMark, {0x55, 0xAA, 0, 0});
    host.Answer(kIdentifyDirect, Identify(2000, 0));
    Bytes area(2048, 0);
    area[150] = 0x55;
    for (int i = 0; i < 4; ++i) area[151 + i] = static_cast<std::uint8_t>(stored >> (8 * (3 - i)));
    area[155] = 0xAA;
    host.Answer(kRead10, area);
}

TEST(ImplausibleAnswers, NumbersNoRealDiskReportsAreNoAnswer) {
    struct Case {
        const char* what;
        std::function<void(RuleHost&)> device;
        std::function<std::uint64_t(const std::string&)> ask;
        std::uint64_t expected;
        Bytes neverSent = {};  // a CDB prefix the answer must not lead to
    };
    auto capacity10 = [](std::uint32_t last, std::uint32_t blockSize) {
        return [=](RuleHost& h) { h.Answer(kCapacity10, Capacity10(last, blockSize)); };
    };
    auto capacity16 = [](std::uint64_t last, std::uint32_t blockSize) {
        return [=](RuleHost& h) { h.Answer(kCapacity16, Capacity16(last, blockSize)); };
    };
    auto identify = [](std::uint32_t count28, std::uint64_t count48) {
        return [=](RuleHost& h) {
            h.Answer(kIdentifyDirect, Identify(count28, count48));
            h.Answer(kAtaIdentify, Identify(count28, count48));
        };
    };
    const auto blockSize = [](const std::string& p) -> std::uint64_t { return GetDiskBlockSize(p); };
    const auto last10 = [](const std::string& p) -> std::uint64_t { return GetDiskLastLba(p); };
    const auto last16 = [](const std::string& p) { return GetDiskLastLba64(p); };
    const auto direct = [](const std::string& p) { return GetDiskSectorsDirect(p); };
    const auto ata = [](const std::string& p) { return GetDiskSectorsAta(p); };
    const auto firmwareLba = [](std::uint32_t size) {
        return [=](const std::string& p) -> std::uint64_t { return GetDiskFirmwareLba(p, size, 14); };
    };
    const std::uint64_t k2e48 = std::uint64_t{1} << 48;

    const std::vector<Case> cases = {
        {"block length 512", capacity10(999, 512), blockSize, 512},
        {"block length 4096", capacity10(999, 4096), blockSize, 4096},
        {"block length 65536", capacity10(999, 65536), blockSize, 65536},
        {"block length 0", capacity10(999, 0), blockSize, 0},
        {"block length 256", capacity10(999, 256), blockSize, 0},
        {"block length 520 (not a power of two)", capacity10(999, 520), blockSize, 0},
        {"block length 131072", capacity10(999, 131072), blockSize, 0},
        {"block length 0x10000000", capacity10(999, 0x10000000), blockSize, 0},
        {"block length 0xFFFFFFFF", capacity10(999, 0xFFFFFFFF), blockSize, 0},
        {"last block beside block length 0xFFFFFFFF", capacity10(999, 0xFFFFFFFF), last10, 0},
        {"last block 0xFFFFFFFF is an answer", capacity10(0xFFFFFFFF, 512), last10, 0xFFFFFFFF},
        {"READ CAPACITY(16) within 48 bits", capacity16(k2e48 - 1, 4096), last16, k2e48 - 1},
        {"READ CAPACITY(16) last block 2^48", capacity16(k2e48, 512), last16, 0},
        {"READ CAPACITY(16) block length 0x10000000", capacity16(0x1000, 0x10000000), last16, 0},
        {"identify 28-bit count above 28 bits", identify(0x10000000, 0), direct, 0},
        {"identify 48-bit count of 2^48", identify(0x0FFFFFFF, k2e48), direct, k2e48},
        {"identify 48-bit count above 2^48", identify(0x0FFFFFFF, k2e48 + 1), ata, 0},
        {"identify words 100-103 all set", identify(0x0FFFFFFF, ~std::uint64_t{0}), ata, 0},
        {"firmware area with block size 0x10000000: nothing read, as absent",
         [](RuleHost& h) { AreaBridge(h, Capacity10(1000, 512), 1500); }, firmwareLba(0x10000000), 1001,
         kRead10},
        {"firmware area stored inside the host's blocks counts as none",
         [](RuleHost& h) { AreaBridge(h, Capacity10(1000, 512), 0x42); }, firmwareLba(512),
         1000 + 1 + 0x101},
        {"firmware area past the host's end is taken",
         [](RuleHost& h) { AreaBridge(h, Capacity10(1000, 512), 1500); }, firmwareLba(512), 1500},
        {"last block 0xFFFFFFFF: no area read wrapping to block 0, no address",
         [](RuleHost& h) { AreaBridge(h, Capacity10(0xFFFFFFFF, 512), 1500); }, firmwareLba(512),
         0x00000000, kRead10},
    };
    for (const Case& c : cases) {
        RuleHost host;
        CommandSession scoped(host);
        c.device(host);
        EXPECT_EQ(c.expected, c.ask("/dev/sg1")) << c.what;
        if (!c.neverSent.empty()) {
            EXPECT_TRUE(host.SentWith(c.neverSent).empty()) << c.what;
        }
    }
}

}  // namespace
}  // namespace v62x
