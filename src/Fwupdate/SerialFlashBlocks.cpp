#include "Fwupdate/SerialFlashBlocks.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "Fwupdate/ImageChecks.h"
#include "Fwupdate/ProcedureHelpers.h"
#include "IDEAccess/ChipKinds.h"
#include "IDEAccess/FlashCommands.h"
#include "IDEAccess/FlashIdentify.h"
#include "IDEAccess/Host.h"
#include "IDEAccess/SerialProgramming.h"
#include "IDEAccess/Transport.h"

namespace v62x {
namespace {

constexpr std::uint32_t kTransferUnit = 512;      // every transfer is a whole number of these
constexpr std::uint32_t kFirstPieceLimit = 4096;  // the piece at flash address 0
constexpr std::uint32_t kMaxChunk = 0xFFFF;       // the direct commands carry a 16-bit length

void Dot(ProcedureContext& ctx) {
    ctx.panel.AppendStatusDot();
    ctx.panel.ProcessPendingEvents();
}

int Unit(int mode) { return mode & 0x7F; }

// A transfer of `rounded` bytes from `address` that the 24-bit flash
// addresses can carry.
bool Reachable(std::uint32_t address, std::uint64_t rounded) {
    return std::uint64_t{address} + rounded <= kFlashAddressSpace;
}

// The counter of the units a mode erases one by one (small units or large
// ones) and the size of such a unit; no counter for the other modes.
struct UnitCounter {
    std::int32_t* next = nullptr;
    std::int32_t unitSize = 0;
};

UnitCounter CounterOf(FlashGeometry& g, int mode) {
    switch (Unit(mode)) {
        case 1:
        case 4:
            return {&g.NextSectorIndex, g.SectorEraseSize};
        case 2:
        case 5:
            return {&g.NextBlockIndex, g.BlockEraseSize};
        default:
            return {};
    }
}

// The end of the units counted so far.
std::uint32_t CountedEnd(const UnitCounter& counter) {
    return static_cast<std::uint32_t>(counter.unitSize) * static_cast<std::uint32_t>(*counter.next);
}

}  // namespace

std::uint32_t DirectChunkSize(const FlashGeometry& geometry) {
    const std::int32_t chunk = geometry.ProgramChunk;
    return chunk > 0 && static_cast<std::uint32_t>(chunk) <= kMaxChunk ? static_cast<std::uint32_t>(chunk) : 0;
}

std::uint8_t SelectEraseCode(FlashGeometry& geometry, std::uint32_t address, int mode) {
    const int m = Unit(mode);
    const UnitCounter counter = CounterOf(geometry, m);
    int code = 0;
    if (counter.next != nullptr) {
        // A piece past the units counted so far opens the next one.
        if (address >= CountedEnd(counter)) {
            ++*counter.next;
            code = m;
        }
    } else if (m == 3 || m == 6 || m == 7) {
        code = address == 0 ? m : 0;
    }
    return static_cast<std::uint8_t>(code & 0x07);
}

void PositionEraseCounters(FlashGeometry& g, std::uint32_t base) {
    const auto unitIndex = [base](std::int32_t unit) {
        return unit > 0 ? static_cast<std::int32_t>(base / static_cast<std::uint32_t>(unit)) : 0;
    };
    g.NextBlockIndex = unitIndex(g.BlockEraseSize);
    g.NextSectorIndex = unitIndex(g.SectorEraseSize);
}

std::uint32_t ClipToEraseUnit(FlashGeometry& geometry, std::uint32_t address, std::uint32_t length, int mode) {
    const UnitCounter counter = CounterOf(geometry, mode);
    if (counter.next == nullptr) return length;
    const std::uint32_t end = CountedEnd(counter);
    // Counters that lag behind the address (a caller that did not position
    // them) give no unit to cut at: the piece stays whole rather than wrap.
    if (end <= address) return length;
    return std::uint64_t{address} + length >= end ? end - address : length;
}

int ReadFlashBlocks(ProcedureContext& ctx, std::uint32_t address, std::uint8_t* destination,
                    std::uint32_t length) {
    if (length == 0 || destination == nullptr) return 0;
    const std::uint32_t chunk = DirectChunkSize(ctx.geometry);
    const std::uint64_t rounded = (std::uint64_t{length} + kTransferUnit - 1) / kTransferUnit * kTransferUnit;
    if (chunk == 0 || !Reachable(address, rounded)) return 0;
    PaddedBuffer buffer(static_cast<std::size_t>(rounded));
    if (!buffer.valid()) return 0;

    Say(ctx, "ReadFlash...");
    std::uint32_t remaining = static_cast<std::uint32_t>(rounded);
    std::uint32_t offset = 0;
    bool ok = false;
    while (remaining > 0) {
        const std::uint32_t n = std::min(remaining, chunk);
        WaitFlashReady(ctx.path);
        if (ReadFlashDirect(ctx.path, address + offset, buffer.data() + offset, static_cast<std::uint16_t>(n)) == 0) {
            ok = false;
            break;
        }
        offset += n;
        remaining -= n;
        ok = true;
        Dot(ctx);
        ctx.panel.SetProgress(offset, rounded);
    }
    std::memcpy(destination, buffer.data(), length);
    return ok ? 1 : 0;
}

int WriteFlashBlocks(ProcedureContext& ctx, std::uint32_t address, const std::uint8_t* source,
                     std::uint32_t length, int mode) {
    if (length == 0 || source == nullptr) return 0;
    const std::uint32_t chunk = DirectChunkSize(ctx.geometry);
    const std::uint64_t rounded = (std::uint64_t{length} + kTransferUnit - 1) / kTransferUnit * kTransferUnit;
    if (chunk == 0 || !Reachable(address, rounded)) return 0;
    PaddedBuffer buffer(static_cast<std::size_t>(rounded));
    if (!buffer.valid()) return 0;
    std::memcpy(buffer.data(), source, length);

    const bool mxic = ctx.state.id.FlashTypeCode == kFlashMxic;
    std::uint32_t remaining = static_cast<std::uint32_t>(rounded);
    std::uint32_t offset = 0;
    bool ok = false;
    while (remaining > 0) {
        const std::uint32_t a = address + offset;
        std::uint32_t n = std::min(remaining, chunk);
        if (a == 0) n = std::min(n, kFirstPieceLimit);
        std::uint8_t code = SelectEraseCode(ctx.geometry, a, mode);
        if (a == 0 && mxic && code != 0) code = static_cast<std::uint8_t>(code | kMxicEraseFlag);
        n = ClipToEraseUnit(ctx.geometry, a, n, mode);
        WaitFlashReady(ctx.path);
        if (WriteFlashDirect(ctx.path, a, buffer.data() + offset, static_cast<std::uint16_t>(n), code) == 0) {
            ok = false;
            break;
        }
        offset += n;
        remaining -= n;
        ok = true;
        Dot(ctx);
        ctx.panel.SetProgress(offset, rounded);
    }
    return ok ? 1 : 0;
}

int EraseByWriting(ProcedureContext& ctx, std::uint32_t length) {
    if (length == 0) return 0;
    PaddedBuffer blank(length);
    if (!blank.valid()) return 0;
    std::memset(blank.data(), 0xFF, length);
    Say(ctx, "Erase...");
    return WriteFlashBlocks(ctx, 0, blank.data(), length, kWriteModeSmallUnit);
}

int BackupFlashToFile(ProcedureContext& ctx, std::uint32_t skip) {
    const IdentificationState& id = ctx.state.id;
    const std::int32_t firmwareSize = ctx.geometry.FirmwareSize;
    std::uint32_t size = firmwareSize > 0 ? static_cast<std::uint32_t>(firmwareSize) : 0;
    if (id.ChipKind == kKind735 && id.FlashSizeKB > 64) size = kBankFlashSize;

    std::string name = ctx.panel.BackupFileName();
    if (name.empty()) {
        name = kDiskBackupFile;
        ctx.panel.ShowMessage("Message", "Default backup firmware as OldFalsh.bak!");
    }
    Say(ctx, "Backup ...");
    // Nothing left to write after the skip is no backup either.
    const std::uint32_t minimum = id.ChipKind == kKind735 ? kBankCodeSize : skip;
    if (size == 0 || (skip > 0 && size <= minimum)) {
        Say(ctx, "Read Back to Backup Error!!");
        return 0;
    }
    PaddedBuffer data(size);
    if (!data.valid()) {
        Say(ctx, "Allocate read buffer Error!!");
        return 0;
    }
    if (ReadFlashBlocks(ctx, 0, data.data(), size) == 0) {
        Say(ctx, "Read Back to Backup Error!!");
        return 0;
    }
    std::uint32_t kept = size;
    if (skip > 0) {
        if (id.ChipKind == kKind735) {
            kept = kBankCodeSize;  // the code only: the NVRAM and the second copy stay out
        } else {
            kept = size - skip;
            std::memmove(data.data(), data.data() + skip, kept);
        }
    }
    return SaveBackup(ctx, name, data.data(), kept);
}

}  // namespace v62x
