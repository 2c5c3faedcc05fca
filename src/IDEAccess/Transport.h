// SCSI pass-through transport: every bridge command is one CDB sent through
// one of the request functions below. Each request sends exactly one CDB
// through the current host (which opens and closes the device unless it
// holds a claim on it) and frees its buffers before it returns; nothing is
// kept between requests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

#include "Host.h"

namespace v62x {

constexpr std::size_t kTransferAlignment = 8192;

// The largest data phase the tool puts in one request. The USB storage
// driver passes at most 120 KiB in one request on a USB 2.0 bridge and
// refuses larger ones before they reach the device; longer transfers are
// split into requests of this size.
constexpr std::uint32_t kLargestRequest = 65536;

// The largest piece of a split transfer to path: kLargestRequest, or the
// largest power of two within a smaller limit the host reports for the
// device (powers of two keep block and page boundaries). 0 when the limit
// is below 512 bytes.
std::uint32_t RequestPiece(const std::string& path);
// True when a command of length data bytes that cannot be split passes the
// host's limit for path (or the host knows no limit).
bool FitsOneRequest(const std::string& path, std::uint32_t length);
// Moves length bytes as consecutive requests of at most RequestPiece(path)
// bytes: send(offset, piece) sends one (a transfer of 0 bytes is one
// request of 0). 1 when every piece succeeded, 0 at the first that fails
// (the later pieces are not sent).
int InRequestPieces(const std::string& path, std::uint32_t length,
                    const std::function<int(std::uint32_t offset, std::uint32_t piece)>& send);

// A zeroed block of size + alignment bytes, or null when it cannot be had.
std::uint8_t* AllocPadded(std::size_t size, std::size_t alignment);
// The first address at or after block that is a multiple of alignment
// (a power of two).
std::uint8_t* AlignUp(std::uint8_t* block, std::size_t alignment);
// Releases a block from AllocPadded; null is ignored. Pass the block, never
// the aligned address.
void FreeBuffer(std::uint8_t* block);

// Owns one AllocPadded block and hands out its aligned data area.
class PaddedBuffer {
public:
    PaddedBuffer() = default;
    PaddedBuffer(std::size_t size, std::size_t alignment = kTransferAlignment);
    ~PaddedBuffer();
    PaddedBuffer(PaddedBuffer&& other) noexcept;
    PaddedBuffer& operator=(PaddedBuffer&& other) noexcept;
    PaddedBuffer(const PaddedBuffer&) = delete;
    PaddedBuffer& operator=(const PaddedBuffer&) = delete;

    bool valid() const { return block_ != nullptr; }
    std::uint8_t* data() const { return aligned_; }
    std::size_t size() const { return size_; }

private:
    std::uint8_t* block_ = nullptr;
    std::uint8_t* aligned_ = nullptr;
    std::size_t size_ = 0;
};

// Length of an open stream in bytes; the stream position is unchanged.
// Returns -1 when the stream cannot be positioned.
long FileLength(std::FILE* stream);

// Transfer length after the one-byte rule: a single byte is asked as two.
std::uint32_t TransferLength(std::uint32_t length);
// Time-out in seconds of a data-out request, read from the raw CDB bytes:
// 100 s for the long erase operations, 50 s for everything else.
std::uint32_t DataOutTimeout(const std::uint8_t* cdb, std::size_t cdbLength);
// True when a completed request counts as success: SCSI status GOOD or
// CONDITION MET, or CHECK CONDITION with sense data saying NO SENSE or
// RECOVERED ERROR.
bool RequestSucceeded(const HostReply& reply);

// Sends the CDB and receives up to length bytes into buffer (length 0: no
// data phase). length bytes are copied to buffer whether or not the request
// succeeded. transferred is left untouched when the device cannot be opened;
// it never exceeds the transfer length asked of the host. Returns 1 when the
// request succeeded, whatever number of bytes arrived: commands whose answer
// is data use ScsiReadExact or ScsiReadAtLeast instead.
int ScsiPassThroughIn(const std::string& path, const std::uint8_t* cdb, std::size_t cdbLength,
                      std::uint8_t* buffer, std::uint32_t length, std::uint32_t& transferred);
// A data-in request whose answer is data: 1 only when the request succeeded
// and at least minimum bytes arrived (minimum is capped at length). A
// one-byte read is asked as two bytes and one byte suffices. transferred
// reports the bytes that arrived, at most length. After a failure the
// buffer holds what arrived followed by zeros and is never data.
int ScsiReadAtLeast(const std::string& path, const std::uint8_t* cdb, std::size_t cdbLength,
                    std::uint8_t* buffer, std::uint32_t length, std::uint32_t minimum,
                    std::uint32_t& transferred);
// A data-in request for a fixed-size answer: 1 only when the request
// succeeded and every one of the length bytes arrived.
int ScsiReadExact(const std::string& path, const std::uint8_t* cdb, std::size_t cdbLength,
                  std::uint8_t* buffer, std::uint32_t length);
// Sends the CDB and, when length is non-zero, length bytes from buffer (a
// null buffer sends zeros). The device is opened exclusively.
int ScsiPassThroughOut(const std::string& path, const std::uint8_t* cdb, std::size_t cdbLength,
                       const std::uint8_t* buffer, std::uint32_t length, std::uint32_t& transferred);

// The storage device number of path as the 12-byte record the drive-name
// lookup compares: device type, device number, partition number, each an
// unsigned 32-bit number in host order.
int GetDeviceNumber(const std::string& path, std::uint8_t out12[12]);

// Observes every request the transport sends (for --trace and the window's
// developer log): the command session's observer. Replaces the previous
// observer; an empty function removes it.
using RequestObserver = std::function<void(const HostRequest&, const HostReply&, int result)>;
void SetRequestObserver(RequestObserver observer);
// The observer installed now (empty when none), for one that passes requests on.
RequestObserver CurrentRequestObserver();

}  // namespace v62x
