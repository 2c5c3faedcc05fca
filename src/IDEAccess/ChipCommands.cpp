#include "IDEAccess/ChipCommands.h"

#include "IDEAccess/Bytes.h"
#include "IDEAccess/Notifier.h"
#include "IDEAccess/Transport.h"
#include "IDEAccess/VendorTransfer.h"

namespace v62x {
Cdb12 VendorCdb(std::uint8_t subCommand) { return Cdb12{0xFF, 0x04, subCommand}; }

Cdb12 DirectCdb(std::uint8_t mode, std::uint16_t length, std::uint16_t memoryAddress,
                std::uint32_t flashAddress, std::uint8_t target) {
    Cdb12 cdb{0xDF, mode};
    PutBe16(&cdb[3], length);
    PutBe16(&cdb[6], memoryAddress);
    PutBe24(&cdb[8], flashAddress);
    cdb[11] = target;
    return cdb;
}

Cdb12 VendorModeOnCdb() {
    Cdb12 cdb = VendorCdb(0x56);
    cdb[3] = 0x52;
    cdb[4] = 0x55;
    return cdb;
}

Cdb12 VendorModeOffCdb() {
    Cdb12 cdb = VendorCdb(0x56);
    cdb[3] = 0x52;
    cdb[4] = 0xAA;
    return cdb;
}

Cdb12 InquiryCdb(std::uint8_t length) { return Cdb12{0x12, 0x00, 0x00, 0x00, length}; }

Cdb12 ReadChipIdWordCdb() { return DirectCdb(kDirectRead, 2, 0, 0, kTargetChipId); }

Cdb12 GetChipInfoCdb() { return Cdb12{0xE0, kChipInfoMarker0, kChipInfoMarker1}; }

Cdb12 ReadChipTagCdb() {
    Cdb12 cdb = VendorCdb(0x30);
    cdb[3] = 0x08;
    return cdb;
}

Cdb12 GetBridgeStatusCdb(std::uint8_t length) {
    Cdb12 cdb = VendorCdb(0xA0);
    cdb[3] = length;
    return cdb;
}

Cdb12 ReadBridgeMemoryCdb(std::uint16_t address, std::uint16_t length) {
    return DirectCdb(kDirectRead, length, address, 0, kTargetMemoryRead);
}

Cdb12 WriteBridgeMemoryCdb(std::uint16_t address, std::uint16_t length) {
    return DirectCdb(0x00, length, address, 0, kTargetMemoryWrite);
}

int VendorModeOn(const std::string& path) { return SendOut(path, VendorModeOnCdb(), nullptr, 0); }

int VendorModeOff(const std::string& path) {
    return SendOut(path, VendorModeOffCdb(), nullptr, 0);
}

int Inquiry(const std::string& path, std::uint8_t* buffer, std::uint8_t length,
            std::uint32_t& transferred) {
    const Cdb12 cdb = InquiryCdb(length);
    // Any count is an answer; transferred bounds what the caller may use.
    return ScsiReadAtLeast(path, cdb.data(), cdb.size(), buffer, length, 0, transferred);
}

int Inquiry(const std::string& path, std::uint8_t* buffer, std::uint8_t length) {
    std::uint32_t transferred = 0;
    return Inquiry(path, buffer, length, transferred);
}

int ReadChipIdWord(const std::string& path, std::uint8_t* buffer2) {
    return ReadExact(path, ReadChipIdWordCdb(), buffer2, 2);
}

int GetChipInfo(const std::string& path, std::uint8_t* buffer, std::uint32_t length,
                std::uint32_t& transferred) {
    const Cdb12 cdb = GetChipInfoCdb();
    return ScsiReadAtLeast(path, cdb.data(), cdb.size(), buffer, length, kChipInfoMinimum,
                           transferred);
}

int ReadChipTag(const std::string& path, std::uint8_t* buffer, std::uint32_t length) {
    RequireOrAbort(length >= kChipTagLength, "length >= 0x08");
    const Cdb12 cdb = ReadChipTagCdb();
    std::uint32_t transferred = 0;
    return ScsiReadAtLeast(path, cdb.data(), cdb.size(), buffer, length, kChipTagLength,
                           transferred);
}

std::uint8_t GetBridgeStatus(const std::string& path, std::uint8_t* record, std::uint8_t length) {
    if (ReadExact(path, GetBridgeStatusCdb(length), record, length) == 0) return 0;
    return length > 8 && record != nullptr ? record[8] : 0;
}

int ReadBridgeMemory(const std::string& path, std::uint8_t* buffer, std::uint16_t address,
                     std::uint16_t length) {
    return ReadExact(path, ReadBridgeMemoryCdb(address, length), buffer, length);
}

int WriteBridgeMemory(const std::string& path, const std::uint8_t* buffer,
                      std::uint16_t address, std::uint16_t length) {
    return SendOut(path, WriteBridgeMemoryCdb(address, length), buffer, length);
}

}  // namespace v62x
