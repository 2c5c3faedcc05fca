#include "usbbridge/FunctionFs.h"

#include <fcntl.h>
#include <linux/usb/ch9.h>
#include <linux/usb/functionfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace v62x::usb {
namespace {

constexpr std::uint8_t kSubclassScsi = 0x06;
constexpr std::uint8_t kProtocolBulkOnly = 0x50;
constexpr std::uint8_t kGetMaxLun = 0xFE;
constexpr std::uint8_t kBulkOnlyReset = 0xFF;
constexpr std::uint8_t kClassInterfaceIn = USB_DIR_IN | USB_TYPE_CLASS | USB_RECIP_INTERFACE;
constexpr std::uint8_t kClassInterfaceOut = USB_DIR_OUT | USB_TYPE_CLASS | USB_RECIP_INTERFACE;
constexpr std::uint16_t kLanguageEnglishUs = 0x0409;
constexpr std::uint32_t kDescriptorsPerSpeed = 3;  // interface, bulk IN, bulk OUT

void Put16(std::vector<std::uint8_t>& out, std::uint16_t value) {
    out.push_back(static_cast<std::uint8_t>(value));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
}

void Put32(std::vector<std::uint8_t>& out, std::uint32_t value) {
    Put16(out, static_cast<std::uint16_t>(value));
    Put16(out, static_cast<std::uint16_t>(value >> 16));
}

// Writes the total length at bytes 4..7 of a FunctionFS block.
void PutLength(std::vector<std::uint8_t>& block) {
    const auto length = static_cast<std::uint32_t>(block.size());
    for (int i = 0; i < 4; ++i) block[4 + i] = static_cast<std::uint8_t>(length >> (8 * i));
}

void PutEndpoint(std::vector<std::uint8_t>& out, std::uint8_t address, std::uint16_t maxPacket) {
    out.insert(out.end(), {USB_DT_ENDPOINT_SIZE, USB_DT_ENDPOINT, address, USB_ENDPOINT_XFER_BULK});
    Put16(out, maxPacket);
    out.push_back(0);  // bInterval: unused by bulk endpoints
}

void PutSpeed(std::vector<std::uint8_t>& out, std::uint16_t maxPacket) {
    out.insert(out.end(), {USB_DT_INTERFACE_SIZE, USB_DT_INTERFACE, 0 /* number */, 0 /* alternate */,
                           2 /* endpoints */, USB_CLASS_MASS_STORAGE, kSubclassScsi,
                           kProtocolBulkOnly, 1 /* string 1 */});
    // IN first: it becomes ep1, OUT ep2.
    PutEndpoint(out, 1 | USB_DIR_IN, maxPacket);
    PutEndpoint(out, 2 | USB_DIR_OUT, maxPacket);
}

long Result(ssize_t n) { return n < 0 ? -errno : static_cast<long>(n); }

// Writes all of `bytes` to a FunctionFS file that takes a block in one write.
bool WriteBlock(int fd, const std::vector<std::uint8_t>& bytes) {
    return ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
}

// An I/O call against an endpoint's direction halts it; FunctionFS then
// answers EBADMSG. An IN endpoint with data still queued refuses (EAGAIN)
// for a moment.
void Halt(int fd, bool byRead) {
    std::uint8_t byte = 0;
    for (int attempt = 0; attempt < 50; ++attempt) {
        const ssize_t n = byRead ? ::read(fd, &byte, 1) : ::write(fd, &byte, 1);
        if (n >= 0 || errno != EAGAIN) return;
        ::usleep(1000);
    }
}

}  // namespace

std::vector<std::uint8_t> MassStorageDescriptors() {
    std::vector<std::uint8_t> out;
    Put32(out, FUNCTIONFS_DESCRIPTORS_MAGIC_V2);
    Put32(out, 0);
    Put32(out, FUNCTIONFS_HAS_FS_DESC | FUNCTIONFS_HAS_HS_DESC);
    Put32(out, kDescriptorsPerSpeed);
    Put32(out, kDescriptorsPerSpeed);
    PutSpeed(out, kFullSpeedPacket);
    PutSpeed(out, kHighSpeedPacket);
    PutLength(out);
    return out;
}

std::vector<std::uint8_t> MassStorageStrings(const std::string& interfaceName) {
    std::vector<std::uint8_t> out;
    Put32(out, FUNCTIONFS_STRINGS_MAGIC);
    Put32(out, 0);
    Put32(out, 1);  // strings
    Put32(out, 1);  // languages
    Put16(out, kLanguageEnglishUs);
    out.insert(out.end(), interfaceName.begin(), interfaceName.end());
    out.push_back(0);
    PutLength(out);
    return out;
}

ControlAnswer AnswerControlRequest(std::uint8_t requestType, std::uint8_t request,
                                   std::uint16_t value, std::uint16_t length) {
    ControlAnswer answer;
    if (requestType == kClassInterfaceIn && request == kGetMaxLun && value == 0 && length >= 1) {
        answer.kind = ControlAnswer::Kind::Data;
        answer.data = {0};  // the highest LUN: one unit
    } else if (requestType == kClassInterfaceOut && request == kBulkOnlyReset && value == 0 &&
               length == 0) {
        answer.kind = ControlAnswer::Kind::Acknowledge;
        answer.resetBulk = true;
    }
    return answer;
}

bool FunctionFsFiles::Open(const std::string& mountDir, const std::string& interfaceName,
                           std::string& error) {
    auto fail = [&error](const std::string& what) {
        error = what + ": " + std::strerror(errno);
        return false;
    };
    ep0_ = UniqueFd(::open((mountDir + "/ep0").c_str(), O_RDWR | O_CLOEXEC));
    if (!ep0_.valid()) return fail(mountDir + "/ep0");
    if (!WriteBlock(ep0_.get(), MassStorageDescriptors())) return fail("descriptors to " + mountDir + "/ep0");
    if (!WriteBlock(ep0_.get(), MassStorageStrings(interfaceName))) return fail("strings to " + mountDir + "/ep0");
    in_ = UniqueFd(::open((mountDir + "/ep1").c_str(), O_RDWR | O_CLOEXEC));
    if (!in_.valid()) return fail(mountDir + "/ep1");
    out_ = UniqueFd(::open((mountDir + "/ep2").c_str(), O_RDWR | O_CLOEXEC));
    if (!out_.valid()) return fail(mountDir + "/ep2");
    return true;
}

void FunctionFsFiles::Answer(const ControlAnswer& answer, bool in) {
    std::uint8_t none = 0;
    ssize_t ignored = 0;
    switch (answer.kind) {
    case ControlAnswer::Kind::Data:
        ignored = ::write(ep0_.get(), answer.data.data(), answer.data.size());
        break;
    case ControlAnswer::Kind::Acknowledge:
        ignored = ::read(ep0_.get(), &none, 0);
        break;
    case ControlAnswer::Kind::Stall:
        // The call against the request's direction stalls ep0.
        ignored = in ? ::read(ep0_.get(), &none, 0) : ::write(ep0_.get(), &none, 0);
        break;
    }
    // The host sees a failed control transfer; nothing else is to be done.
    (void)ignored;
}

long FunctionFsFiles::Receive(std::span<std::uint8_t> buffer) {
    return Result(::read(out_.get(), buffer.data(), buffer.size()));
}

long FunctionFsFiles::Send(std::span<const std::uint8_t> bytes) {
    return Result(::write(in_.get(), bytes.data(), bytes.size()));
}

void FunctionFsFiles::HaltIn() { Halt(in_.get(), true); }

void FunctionFsFiles::HaltOut() { Halt(out_.get(), false); }

void FunctionFsFiles::Close() {
    in_.Reset();
    out_.Reset();
    ep0_.Reset();
}

}  // namespace v62x::usb
