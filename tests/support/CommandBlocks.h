// Command blocks as the host's usb-storage driver sends them, for the USB
// bridge tests.
#pragma once

#include <cstddef>
#include <cstdint>

#include "support/Bytes.h"
#include "usbbridge/BulkOnly.h"

namespace v62x::test {

// `n` bytes that differ from their neighbours, to tell data apart.
inline Bytes Pattern(std::size_t n) {
    Bytes bytes(n);
    for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<std::uint8_t>(i % 251);
    return bytes;
}

// The 31 bytes of a command block wrapper; `cdbLength` 0 means cdb.size().
inline Bytes CbwBytes(std::uint32_t tag, std::uint32_t length, bool in, const Bytes& cdb,
                      std::uint8_t lun = 0, std::uint8_t cdbLength = 0) {
    Bytes b(usb::kCommandBlockBytes, 0);
    auto put32 = [&b](std::size_t at, std::uint32_t v) {
        for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
    };
    put32(0, usb::kCommandBlockSignature);
    put32(4, tag);
    put32(8, length);
    b[12] = in ? 0x80 : 0x00;
    b[13] = lun;
    b[14] = cdbLength != 0 ? cdbLength : static_cast<std::uint8_t>(cdb.size());
    for (std::size_t i = 0; i < cdb.size() && i < 16; ++i) b[15 + i] = cdb[i];
    return b;
}

inline usb::CommandBlock Block(std::uint32_t length, bool in, const Bytes& cdb,
                               std::uint32_t tag = 7) {
    usb::CommandBlock block;
    block.tag = tag;
    block.dataLength = length;
    block.dataIn = in;
    block.cdbLength = static_cast<std::uint8_t>(cdb.size());
    for (std::size_t i = 0; i < cdb.size() && i < 16; ++i) block.cdb[i] = cdb[i];
    return block;
}

// CDBs the host stack and the tool send.
inline Bytes Inquiry(std::uint8_t n) { return {0x12, 0, 0, 0, n, 0}; }
inline Bytes RequestSense(std::uint8_t n) { return {0x03, 0, 0, 0, n, 0}; }
inline Bytes ModeSense6(std::uint8_t pageByte, std::uint8_t n) { return {0x1A, 0, pageByte, 0, n, 0}; }
inline Bytes ModeSense10(std::uint8_t pageByte, std::uint16_t n) {
    return {0x5A, 0, pageByte, 0, 0, 0, 0, static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n), 0};
}
inline Bytes ReadCapacity10() { return {0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}; }
inline Bytes Read10(std::uint32_t lba, std::uint16_t blocks) {
    return {0x28, 0, static_cast<std::uint8_t>(lba >> 24), static_cast<std::uint8_t>(lba >> 16),
            static_cast<std::uint8_t>(lba >> 8), static_cast<std::uint8_t>(lba), 0,
            static_cast<std::uint8_t>(blocks >> 8), static_cast<std::uint8_t>(blocks), 0};
}
inline Bytes Write10(std::uint32_t lba, std::uint16_t blocks) {
    Bytes cdb = Read10(lba, blocks);
    cdb[0] = 0x2A;
    return cdb;
}

}  // namespace v62x::test
