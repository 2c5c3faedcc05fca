#include "IDEAccess/Transport.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <utility>

#include "IDEAccess/CommandSession.h"

namespace v62x {
namespace {

void Observe(const HostRequest& request, const HostReply& reply, int result) {
    const RequestObserver& observer = CurrentSession().observer();
    if (observer) observer(request, reply, result);
}

// Builds the request record shared by both directions. False when the CDB
// length is outside 1..16 (nothing can be sent then).
bool FillRequest(HostRequest& request, const std::string& path, const std::uint8_t* cdb,
                 std::size_t cdbLength) {
    if (cdb == nullptr || cdbLength == 0 || cdbLength > request.cdb.size()) return false;
    request.path = path;
    std::memcpy(request.cdb.data(), cdb, cdbLength);
    request.cdbLength = static_cast<std::uint8_t>(cdbLength);
    return true;
}

}  // namespace

std::uint8_t* AllocPadded(std::size_t size, std::size_t alignment) {
    if (size > std::numeric_limits<std::size_t>::max() - alignment) return nullptr;
    return static_cast<std::uint8_t*>(std::calloc(size + alignment, 1));
}

std::uint8_t* AlignUp(std::uint8_t* block, std::size_t alignment) {
    const auto address = reinterpret_cast<std::uintptr_t>(block);
    const auto mask = static_cast<std::uintptr_t>(alignment) - 1;
    return block + (((address + mask) & ~mask) - address);
}

void FreeBuffer(std::uint8_t* block) {
    if (block != nullptr) std::free(block);
}

PaddedBuffer::PaddedBuffer(std::size_t size, std::size_t alignment)
    : block_(AllocPadded(size, alignment)) {
    if (block_ != nullptr) {
        aligned_ = AlignUp(block_, alignment);
        size_ = size;
    }
}

PaddedBuffer::~PaddedBuffer() { FreeBuffer(block_); }

PaddedBuffer::PaddedBuffer(PaddedBuffer&& other) noexcept
    : block_(std::exchange(other.block_, nullptr)),
      aligned_(std::exchange(other.aligned_, nullptr)),
      size_(std::exchange(other.size_, 0)) {}

PaddedBuffer& PaddedBuffer::operator=(PaddedBuffer&& other) noexcept {
    if (this != &other) {
        FreeBuffer(block_);
        block_ = std::exchange(other.block_, nullptr);
        aligned_ = std::exchange(other.aligned_, nullptr);
        size_ = std::exchange(other.size_, 0);
    }
    return *this;
}

long FileLength(std::FILE* stream) {
    if (stream == nullptr) return -1;
    const long position = std::ftell(stream);
    if (position < 0 || std::fseek(stream, 0, SEEK_END) != 0) return -1;
    const long length = std::ftell(stream);
    if (std::fseek(stream, position, SEEK_SET) != 0) return -1;
    return length;
}

std::uint32_t TransferLength(std::uint32_t length) { return length == 1 ? 2 : length; }

std::uint32_t DataOutTimeout(const std::uint8_t* cdb, std::size_t cdbLength) {
    // The rule reads the 16-byte CDB field, zero beyond the caller's bytes.
    std::uint8_t raw[16] = {};
    if (cdb != nullptr) std::memcpy(raw, cdb, cdbLength < sizeof raw ? cdbLength : sizeof raw);
    const bool chipErase = raw[2] == 0x13;
    const bool eraseThenWrite = raw[1] == 0x03 && raw[11] == 0xFB;
    return chipErase || eraseThenWrite ? 100 : 50;
}

bool RequestSucceeded(const HostReply& reply) {
    if (!reply.opened || !reply.completed) return false;
    switch (reply.scsiStatus) {
        case scsi::kGood:
        case scsi::kConditionMet:
            return true;
        case scsi::kCheckCondition:
            // Without sense data nothing says the command was carried out.
            return reply.senseValid && (reply.senseKey == scsi::kSenseNoSense ||
                                        reply.senseKey == scsi::kSenseRecoveredError);
        default:
            return false;
    }
}

namespace {

// The data-in request behind every read: 1 when the request succeeded and at
// least `minimum` bytes (of the caller's length) arrived. The observer sees
// that result, so a short answer shows as a failure in the traces.
int ReadIn(const std::string& path, const std::uint8_t* cdb, std::size_t cdbLength,
           std::uint8_t* buffer, std::uint32_t length, std::uint32_t minimum,
           std::uint32_t& transferred) {
    HostRequest request;
    if (!FillRequest(request, path, cdb, cdbLength)) return 0;
    request.direction = DataDirection::In;
    request.open = OpenMode::Shared;
    request.timeoutSeconds = 10;
    request.length = TransferLength(length);

    PaddedBuffer data;
    if (request.length != 0) {
        data = PaddedBuffer(request.length);
        if (!data.valid()) return 0;  // never send a request without its buffer
        request.data = data.data();
    }

    const HostReply reply = CurrentHost().PassThrough(request);
    if (!reply.opened) {
        Observe(request, reply, 0);
        return 0;
    }
    // The caller's length, not the rounded one, is copied back, also after
    // a failure: the caller then sees zeros where nothing arrived.
    if (length > 0 && buffer != nullptr) std::memcpy(buffer, data.data(), length);
    // A host may claim more than it was asked for; no count beyond the
    // request is ever believed.
    transferred = std::min(reply.transferred, request.length);
    const bool enough = transferred >= std::min(minimum, length);
    const int result = RequestSucceeded(reply) && enough ? 1 : 0;
    Observe(request, reply, result);
    return result;
}

}  // namespace

int ScsiPassThroughIn(const std::string& path, const std::uint8_t* cdb, std::size_t cdbLength,
                      std::uint8_t* buffer, std::uint32_t length, std::uint32_t& transferred) {
    return ReadIn(path, cdb, cdbLength, buffer, length, 0, transferred);
}

int ScsiReadAtLeast(const std::string& path, const std::uint8_t* cdb, std::size_t cdbLength,
                    std::uint8_t* buffer, std::uint32_t length, std::uint32_t minimum,
                    std::uint32_t& transferred) {
    std::uint32_t arrived = 0;
    const int result = ReadIn(path, cdb, cdbLength, buffer, length, minimum, arrived);
    // The one-byte rule asks for two bytes: the caller only ever sees its own length.
    transferred = std::min(arrived, length);
    return result;
}

int ScsiReadExact(const std::string& path, const std::uint8_t* cdb, std::size_t cdbLength,
                  std::uint8_t* buffer, std::uint32_t length) {
    std::uint32_t transferred = 0;
    return ScsiReadAtLeast(path, cdb, cdbLength, buffer, length, length, transferred);
}

int ScsiPassThroughOut(const std::string& path, const std::uint8_t* cdb, std::size_t cdbLength,
                       const std::uint8_t* buffer, std::uint32_t length,
                       std::uint32_t& transferred) {
    HostRequest request;
    if (!FillRequest(request, path, cdb, cdbLength)) return 0;
    request.direction = DataDirection::Out;
    request.open = OpenMode::Exclusive;
    request.timeoutSeconds = DataOutTimeout(cdb, cdbLength);
    request.length = TransferLength(length);

    PaddedBuffer data;
    if (request.length != 0) {
        data = PaddedBuffer(request.length);
        if (!data.valid()) return 0;
        if (buffer != nullptr && length > 0) std::memcpy(data.data(), buffer, length);
        request.data = data.data();
    }

    const HostReply reply = CurrentHost().PassThrough(request);
    if (!reply.opened) {
        Observe(request, reply, 0);
        return 0;
    }
    transferred = reply.transferred;
    const int result = RequestSucceeded(reply) ? 1 : 0;
    Observe(request, reply, result);
    return result;
}

int GetDeviceNumber(const std::string& path, std::uint8_t out12[12]) {
    StorageDeviceNumber number;
    if (out12 == nullptr || !CurrentHost().DeviceNumber(path, number)) return 0;
    const std::uint32_t fields[3] = {number.deviceType, number.deviceNumber,
                                     number.partitionNumber};
    std::memcpy(out12, fields, sizeof fields);
    return 1;
}

void SetRequestObserver(RequestObserver observer) { CurrentSession().SetObserver(std::move(observer)); }

RequestObserver CurrentRequestObserver() { return CurrentSession().observer(); }

std::uint32_t RequestPiece(const std::string& path) {
    const std::uint32_t limit = CurrentHost().MaxTransferBytes(path);
    std::uint32_t piece = kLargestRequest;
    if (limit == 0) return piece;
    while (piece > limit) piece /= 2;
    return piece >= 512 ? piece : 0;
}

bool FitsOneRequest(const std::string& path, std::uint32_t length) {
    const std::uint32_t limit = CurrentHost().MaxTransferBytes(path);
    return limit == 0 || length <= limit;
}

int InRequestPieces(const std::string& path, std::uint32_t length,
                    const std::function<int(std::uint32_t offset, std::uint32_t piece)>& send) {
    if (length == 0) return send(0, 0);
    const std::uint32_t largest = RequestPiece(path);
    if (largest == 0) return 0;
    for (std::uint32_t done = 0; done < length;) {
        const std::uint32_t piece = std::min(largest, length - done);
        if (send(done, piece) == 0) return 0;
        done += piece;
    }
    return 1;
}

}  // namespace v62x
