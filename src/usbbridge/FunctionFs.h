// The mass storage function through FunctionFS: the descriptors and strings
// written to ep0, the ep0 events and control requests, and the bulk
// endpoint files (ep1 IN, ep2 OUT, numbered in descriptor order).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "IDEAccess/UniqueFd.h"
#include "usbbridge/Transaction.h"

namespace v62x::usb {

// Max packet sizes of the bulk endpoints at full and at high speed.
constexpr std::uint16_t kFullSpeedPacket = 64;
constexpr std::uint16_t kHighSpeedPacket = 512;

// The descriptor block (FunctionFS format 2, full and high speed): one
// interface of class mass storage, subclass SCSI transparent, protocol
// Bulk-Only, with a bulk IN and a bulk OUT endpoint.
std::vector<std::uint8_t> MassStorageDescriptors();
// The string block: the interface's name in language 0x0409.
std::vector<std::uint8_t> MassStorageStrings(const std::string& interfaceName);

// What the function does with one control request addressed to it.
struct ControlAnswer {
    enum class Kind { Data, Acknowledge, Stall } kind = Kind::Stall;
    std::vector<std::uint8_t> data;  // Kind::Data: the data-in stage
    bool resetBulk = false;          // Bulk-Only Mass Storage Reset
};
// Get Max LUN answers 0 (one logical unit); Bulk-Only Mass Storage Reset is
// acknowledged and resets the bulk transport; anything else stalls.
ControlAnswer AnswerControlRequest(std::uint8_t requestType, std::uint8_t request,
                                   std::uint16_t value, std::uint16_t length);

// The files of one mounted FunctionFS instance, descriptors written.
class FunctionFsFiles : public BulkEndpoints {
public:
    // Opens `mountDir`/ep0, writes descriptors and strings and opens the
    // bulk endpoint files they make appear. False with the reason.
    bool Open(const std::string& mountDir, const std::string& interfaceName, std::string& error);

    int ep0() const { return ep0_.get(); }
    // Carries out a control answer on ep0: the call that follows the SETUP
    // event of a request whose data stage is `in` (device to host) or not.
    void Answer(const ControlAnswer& answer, bool in);

    long Receive(std::span<std::uint8_t> buffer) override;
    long Send(std::span<const std::uint8_t> bytes) override;
    void HaltIn() override;
    void HaltOut() override;

    // Closes the files (before the instance is unmounted).
    void Close();

private:
    UniqueFd ep0_;
    UniqueFd in_;
    UniqueFd out_;
};

}  // namespace v62x::usb
