#include "VirtualBridge/DeviceReplies.h"
#include "VirtualBridge/BridgeDiskPaths.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

namespace v62x::sim {
namespace {

using Cdb = std::array<std::uint8_t, 16>;

constexpr std::uint8_t kOpReadCapacity10 = 0x25;
constexpr std::uint8_t kOpRead10 = 0x28;
constexpr std::uint8_t kOpWrite10 = 0x2A;
constexpr std::uint8_t kOpAtaPassThrough16 = 0x85;
constexpr std::uint8_t kOpRead16 = 0x88;
constexpr std::uint8_t kOpWrite16 = 0x8A;
constexpr std::uint8_t kOpServiceActionIn16 = 0x9E;
constexpr std::uint8_t kOpAtaPassThrough12 = 0xA1;
constexpr std::uint8_t kOpDirect = 0xDF;
constexpr std::uint8_t kReadCapacity16Action = 0x10;

// Byte 11 of the direct layout: these name bridge targets, every other
// value is an ATA command code for the drive.
constexpr std::uint8_t kDirectTargets[] = {0xFA, 0xFB, 0xFD, 0xFE, 0xFF};
constexpr std::uint8_t kDirectRead = 0x10;

constexpr std::uint8_t kSenseAbortedCommand = 0x0B;
constexpr std::uint8_t kAscLbaOutOfRange = 0x21;
constexpr std::uint8_t kAscMediumNotPresent = 0x3A;
constexpr std::uint8_t kAscqAtaInformationAvailable = 0x1D;

// ATA registers: the device register's DEV bit selects the second drive of
// the cable (there is none behind a bridge), its LBA bit selects logical
// block addressing.
constexpr std::uint8_t kDeviceDev = 0x10;
constexpr std::uint8_t kDeviceLba = 0x40;
constexpr std::uint8_t kAtaIdentify = 0xEC;
constexpr std::uint32_t kIdentifyBytes = 512;

HostReply OutOfRange() { return CheckCondition(scsi::kSenseIllegalRequest, kAscLbaOutOfRange); }
HostReply NoMedium() { return CheckCondition(scsi::kSenseNotReady, kAscMediumNotPresent); }
// The drive aborted the command (ATA error register ABRT).
HostReply DriveAborted() { return CheckCondition(kSenseAbortedCommand, 0x00); }

std::uint64_t BigEndian(const Cdb& cdb, std::size_t at, std::size_t bytes) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < bytes; ++i) value = (value << 8) | cdb[at + i];
    return value;
}

void PutBigEndian(std::uint8_t* out, std::uint64_t value, std::size_t bytes) {
    for (std::size_t i = 0; i < bytes; ++i) {
        out[i] = static_cast<std::uint8_t>(value >> (8 * (bytes - 1 - i)));
    }
}

// Whether the host's buffer carries a data phase of `bytes` in direction
// `in`: it must point the same way and hold at least that many bytes (more
// is left over as residue).
bool DataPhaseFits(bool in, std::uint64_t bytes, DataDirection direction, std::uint32_t length) {
    if (length > 0 && (direction == DataDirection::In) != in) return false;
    return bytes <= length;
}

// ---- standard SCSI block commands ------------------------------------------

HostReply ReadCapacity10(const AttachedDisk& disk, const Cdb& cdb, DataDirection direction,
                         std::uint8_t* data, std::uint32_t length) {
    // Without PMI the logical block address field must be zero.
    if ((cdb[8] & 0x01) == 0 && BigEndian(cdb, 2, 4) != 0) return InvalidField();
    const std::uint64_t last = disk.hostBlocks() - 1;
    std::uint8_t answer[8];
    PutBigEndian(answer, std::min<std::uint64_t>(last, 0xFFFFFFFF), 4);
    PutBigEndian(answer + 4, disk.blockSize(), 4);
    return SendAnswer(answer, sizeof answer, direction, data, length);
}

HostReply ReadCapacity16(const AttachedDisk& disk, const Cdb& cdb, DataDirection direction,
                         std::uint8_t* data, std::uint32_t length) {
    if ((cdb[14] & 0x01) == 0 && BigEndian(cdb, 2, 8) != 0) return InvalidField();
    std::uint8_t answer[32] = {};
    PutBigEndian(answer, disk.hostBlocks() - 1, 8);
    PutBigEndian(answer + 8, disk.blockSize(), 4);
    // Bytes 12..31: no protection information, one logical block per
    // physical block, lowest aligned block 0.
    const auto allocation = static_cast<std::size_t>(BigEndian(cdb, 10, 4));
    return SendAnswer(answer, std::min(sizeof answer, allocation), direction, data, length);
}

struct BlockTransfer {
    bool write = false;
    std::uint64_t lba = 0;
    std::uint64_t count = 0;
};

HostReply RunBlockTransfer(AttachedDisk& disk, const Cdb& cdb, const BlockTransfer& t,
                           DataDirection direction, std::uint8_t* data, std::uint32_t length) {
    // RDPROTECT / WRPROTECT: the drive is formatted without protection information.
    if ((cdb[1] & 0xE0) != 0) return InvalidField();
    const std::uint64_t limit = disk.reservedOpenToScsi() ? disk.sectors() : disk.hostBlocks();
    if (!AttachedDisk::InRange(t.lba, t.count, limit)) return OutOfRange();
    const std::uint64_t bytes = t.count * disk.blockSize();
    if (!DataPhaseFits(!t.write, bytes, direction, length)) return PhaseError();
    if (t.write) {
        disk.Write(t.lba, t.count, data);
    } else {
        disk.Read(t.lba, t.count, data);
    }
    return Good(static_cast<std::uint32_t>(bytes));
}

// ---- ATA commands on the drive ----------------------------------------------

struct AtaTaskfile {
    std::uint16_t features = 0;
    std::uint16_t count = 0;
    std::uint64_t lba = 0;  // 48 bits; the 28-bit commands add bits 27-24 from the device register
    std::uint8_t device = 0;
    std::uint8_t command = 0;
};

enum class AtaTransfer { Pio, Dma };

// The ATA commands the drive carries out.
struct AtaCommand {
    std::uint8_t code;
    bool in;
    bool ext;  // 48-bit addressing and a 16-bit sector count
    AtaTransfer transfer;
};
constexpr AtaCommand kAtaCommands[] = {
    {0xEC, true, false, AtaTransfer::Pio},   // IDENTIFY DEVICE
    {0x20, true, false, AtaTransfer::Pio},   // READ SECTORS
    {0x24, true, true, AtaTransfer::Pio},    // READ SECTORS EXT
    {0xC8, true, false, AtaTransfer::Dma},   // READ DMA
    {0x25, true, true, AtaTransfer::Dma},    // READ DMA EXT
    {0x30, false, false, AtaTransfer::Pio},  // WRITE SECTORS
    {0x34, false, true, AtaTransfer::Pio},   // WRITE SECTORS EXT
    {0xCA, false, false, AtaTransfer::Dma},  // WRITE DMA
    {0x35, false, true, AtaTransfer::Dma},   // WRITE DMA EXT
};

const AtaCommand* FindAtaCommand(std::uint8_t code) {
    for (const AtaCommand& command : kAtaCommands) {
        if (command.code == code) return &command;
    }
    return nullptr;
}

// Where and how much a read or write command of the drive moves.
struct AtaExtent {
    std::uint64_t lba = 0;
    std::uint64_t count = 0;
    std::uint64_t bytes = 0;
};

// The drive's view of the registers: false when it aborts the command
// before moving data (no drive 1, no LBA addressing).
bool AtaExtentOf(const AttachedDisk& disk, const AtaCommand& command, const AtaTaskfile& tf,
                 AtaExtent& out) {
    if ((tf.device & kDeviceDev) != 0) return false;
    if (command.code == kAtaIdentify) {
        out = {0, 0, kIdentifyBytes};
        return true;
    }
    if ((tf.device & kDeviceLba) == 0) return false;  // CHS addressing is not offered
    if (command.ext) {
        out.lba = tf.lba & 0xFFFFFFFFFFFF;
        out.count = tf.count == 0 ? 0x10000 : tf.count;
    } else {
        out.lba = (tf.lba & 0xFFFFFF) | (static_cast<std::uint64_t>(tf.device & 0x0F) << 24);
        out.count = (tf.count & 0xFF) == 0 ? 0x100 : (tf.count & 0xFF);
    }
    out.bytes = out.count * disk.blockSize();
    return true;
}

// Moves the data of a command the drive accepted; the host buffer was
// checked to hold extent.bytes.
HostReply RunAtaData(AttachedDisk& disk, const AtaCommand& command, const AtaExtent& extent,
                     std::uint8_t* data) {
    if (command.code == kAtaIdentify) {
        const auto identify = disk.Identify();
        std::memcpy(data, identify.data(), identify.size());
        return Good(kIdentifyBytes);
    }
    // ID NOT FOUND: the address lies beyond the drive's last sector.
    if (!AttachedDisk::InRange(extent.lba, extent.count, disk.sectors())) return OutOfRange();
    if (command.in) {
        disk.Read(extent.lba, extent.count, data);
    } else {
        disk.Write(extent.lba, extent.count, data);
    }
    return Good(static_cast<std::uint32_t>(extent.bytes));
}

// The registers an ATA PASS-THROUGH (12) or (16) carries; `extend` (the
// 16-byte form only) adds the previous contents of the 48-bit registers.
AtaTaskfile PassThroughTaskfile(const Cdb& cdb, bool sixteen, bool extend) {
    AtaTaskfile tf;
    if (sixteen) {
        tf.features = static_cast<std::uint16_t>((extend ? cdb[3] << 8 : 0) | cdb[4]);
        tf.count = static_cast<std::uint16_t>((extend ? cdb[5] << 8 : 0) | cdb[6]);
        // Each register pair is (previous, current): bits 31-24 / 7-0,
        // 39-32 / 15-8, 47-40 / 23-16.
        tf.lba = static_cast<std::uint64_t>(cdb[8]) | static_cast<std::uint64_t>(cdb[10]) << 8 |
                 static_cast<std::uint64_t>(cdb[12]) << 16;
        if (extend) {
            tf.lba |= static_cast<std::uint64_t>(cdb[7]) << 24 |
                      static_cast<std::uint64_t>(cdb[9]) << 32 |
                      static_cast<std::uint64_t>(cdb[11]) << 40;
        }
        tf.device = cdb[13];
        tf.command = cdb[14];
    } else {
        tf.features = cdb[3];
        tf.count = cdb[4];
        tf.lba = static_cast<std::uint64_t>(cdb[5]) | static_cast<std::uint64_t>(cdb[6]) << 8 |
                 static_cast<std::uint64_t>(cdb[7]) << 16;
        tf.device = cdb[8];
        tf.command = cdb[9];
    }
    return tf;
}

// How the bridge runs a pass-through command: with a data phase or not,
// its direction and the transfer mode.
struct PassThroughProtocol {
    bool data = true;
    bool in = false;
    AtaTransfer transfer = AtaTransfer::Pio;
};

// The protocols this bridge carries: non-data, PIO in/out, DMA, UDMA
// in/out; false for any other. DMA takes its direction from the
// transfer-direction bit (`towardHost`).
bool ReadProtocol(std::uint8_t protocol, bool towardHost, PassThroughProtocol& out) {
    out.in = towardHost;
    switch (protocol) {
    case 3: out.data = false; break;
    case 4: out.in = true; break;
    case 5: out.in = false; break;
    case 6: out.transfer = AtaTransfer::Dma; break;
    case 10: out.in = true; out.transfer = AtaTransfer::Dma; break;
    case 11: out.in = false; out.transfer = AtaTransfer::Dma; break;
    default: return false;
    }
    return true;
}

// ATA PASS-THROUGH (12) and (16): the protocol and transfer fields tell the
// bridge how to run the command; the drive decides what the command does.
HostReply AtaPassThrough(const DiskRoute& route, const Cdb& cdb, DataDirection direction,
                         std::uint8_t* data, std::uint32_t length) {
    const bool sixteen = cdb[0] == kOpAtaPassThrough16;
    const bool checkCondition = (cdb[2] & 0x20) != 0;
    const bool towardHost = (cdb[2] & 0x08) != 0;
    const bool inBlocks = (cdb[2] & 0x04) != 0;
    const bool logicalSectors = (cdb[2] & 0x10) != 0;
    const std::uint8_t lengthField = cdb[2] & 0x03;
    const AtaTaskfile tf = PassThroughTaskfile(cdb, sixteen, sixteen && (cdb[1] & 0x01) != 0);

    PassThroughProtocol protocol;
    if (!ReadProtocol((cdb[1] >> 1) & 0x0F, towardHost, protocol)) return InvalidField();
    if (protocol.data && (lengthField == 0 || towardHost != protocol.in)) return InvalidField();
    if (!protocol.data && lengthField != 0) return InvalidField();

    if (route.disk == nullptr) return NoMedium();
    AttachedDisk& disk = *route.disk;

    // What the drive makes of the command; a command it does not know, or
    // one run with a protocol that does not match its transfer, is aborted.
    const AtaCommand* command = FindAtaCommand(tf.command);
    AtaExtent extent;
    if (command == nullptr || !protocol.data || command->in != protocol.in ||
        command->transfer != protocol.transfer || !AtaExtentOf(disk, *command, tf, extent)) {
        return DriveAborted();
    }

    // The length the bridge prepares the transport for.
    std::uint64_t expected = length;
    if (lengthField != 3) {
        const std::uint64_t field = lengthField == 1 ? tf.features : tf.count;
        const std::uint64_t unit = !inBlocks ? 1 : logicalSectors ? disk.blockSize() : 512;
        expected = field * unit;
        if (expected != extent.bytes) return DriveAborted();
    }
    if (!DataPhaseFits(protocol.in, std::max(expected, extent.bytes), direction, length)) {
        return PhaseError();
    }

    HostReply reply = RunAtaData(disk, *command, extent, data);
    if (checkCondition && reply.scsiStatus == scsi::kGood) {
        // The host asked for the ATA registers back: they come as sense data.
        const std::uint32_t moved = reply.transferred;
        reply = CheckCondition(scsi::kSenseRecoveredError, 0x00, kAscqAtaInformationAvailable);
        reply.transferred = moved;
    }
    return reply;
}

// The direct layout with an ATA command code in byte 11: byte 10 is the
// device register, bytes 3-4 the transfer length. It carries no address or
// count registers, so of the drive's commands only IDENTIFY DEVICE is of
// use through it; the drive aborts the others.
HostReply DirectAtaCommand(const DiskRoute& route, const Cdb& cdb, DataDirection direction,
                           std::uint8_t* data, std::uint32_t length) {
    for (std::size_t i : {2, 5, 6, 7, 8, 9, 12, 13, 14, 15}) {
        if (cdb[i] != 0) return InvalidOpcode();
    }
    if (route.disk == nullptr) return NoMedium();
    AtaTaskfile tf;
    tf.device = cdb[10];
    tf.command = cdb[11];
    const AtaCommand* command = FindAtaCommand(tf.command);
    AtaExtent extent;
    if (command == nullptr || command->code != kAtaIdentify || cdb[1] != kDirectRead ||
        !AtaExtentOf(*route.disk, *command, tf, extent)) {
        return DriveAborted();
    }
    const auto identify = route.disk->Identify();
    const auto asked = static_cast<std::size_t>(BigEndian(cdb, 3, 2));
    return SendAnswer(identify.data(), std::min(identify.size(), asked), direction, data, length);
}

}  // namespace

std::optional<HostReply> RunDiskCommand(const DiskRoute& route, const Cdb& cdb,
                                        DataDirection direction, std::uint8_t* data,
                                        std::uint32_t length) {
    if (data == nullptr) length = 0;
    const std::uint8_t op = cdb[0];

    if (route.bridge) {
        if (op == kOpAtaPassThrough12 || op == kOpAtaPassThrough16) {
            return AtaPassThrough(route, cdb, direction, data, length);
        }
        if (op == kOpDirect && std::find(std::begin(kDirectTargets), std::end(kDirectTargets),
                                         cdb[11]) == std::end(kDirectTargets)) {
            return DirectAtaCommand(route, cdb, direction, data, length);
        }
    }

    BlockTransfer t;
    switch (op) {
    case kOpReadCapacity10:
        if (route.disk == nullptr) return NoMedium();
        return ReadCapacity10(*route.disk, cdb, direction, data, length);
    case kOpServiceActionIn16:
        if ((cdb[1] & 0x1F) != kReadCapacity16Action) return InvalidField();
        if (route.disk == nullptr) return NoMedium();
        return ReadCapacity16(*route.disk, cdb, direction, data, length);
    case kOpRead10:
    case kOpWrite10:
        t = {op == kOpWrite10, BigEndian(cdb, 2, 4), BigEndian(cdb, 7, 2)};
        break;
    case kOpRead16:
    case kOpWrite16:
        t = {op == kOpWrite16, BigEndian(cdb, 2, 8), BigEndian(cdb, 10, 4)};
        break;
    default:
        return std::nullopt;
    }
    if (route.disk == nullptr) return NoMedium();
    return RunBlockTransfer(*route.disk, cdb, t, direction, data, length);
}

}  // namespace v62x::sim
