// The serial flash parts the simulator knows, from their datasheets:
// identification answers, size, erase units with their opcodes and typical
// times, page size and program time, the SST auto-address-increment mode,
// the status register's protection bits and what enables a status write.
// Times are the datasheets' typical values, in microseconds.
#include <array>
#include <cstddef>
#include <initializer_list>

#include "VirtualBridge/SerialFlash.h"

namespace v62x::sim {
namespace {

constexpr std::uint32_t KiB = 1024;
constexpr std::uint32_t MiB = 1024 * KiB;
constexpr std::uint32_t ms = 1000;
constexpr std::uint32_t s = 1000 * ms;

// A short list in a table row: a few answer bytes, opcodes or erase units.
template <typename T, std::size_t Capacity>
struct Few {
    std::array<T, Capacity> items{};
    std::size_t count = 0;

    constexpr Few() = default;
    constexpr Few(std::initializer_list<T> list) {
        for (const T& item : list) items[count++] = item;
    }
    std::vector<T> ToVector() const {
        return std::vector<T>(items.begin(), items.begin() + static_cast<std::ptrdiff_t>(count));
    }
};

// One part as the table writes it: the fields of SerialFlashPart, in its
// order and with its defaults.
struct PartRow {
    const char* name = "";
    int typeCode = 0;
    std::uint32_t size = 0;
    Few<std::uint8_t, 4> jedecId{};
    Few<std::uint8_t, 2> id90{};
    Few<std::uint8_t, 2> idAB{};
    bool idABTakesAddress = false;
    Few<std::uint8_t, 2> id15{};
    Few<EraseUnit, 3> eraseUnits{};
    Few<std::uint8_t, 2> chipEraseOps{};
    std::uint32_t chipEraseUs = 0;
    std::uint32_t pageSize = 256;
    std::uint32_t programUs = 0;
    bool singleByteProgram = false;
    AaiKind aai = AaiKind::None;
    std::uint32_t aaiUs = 0;
    bool aaiStatusBit = false;
    StatusWriteEnable statusWrite = StatusWriteEnable::Latch;
    std::uint32_t writeStatusUs = 0;
    int protectBits = 2;
    std::uint32_t protectBase = 0;
    bool statusVolatile = false;
    std::uint8_t powerUpStatus = 0;
    bool exactLength = false;
};

constexpr PartRow kParts[] = {
    // PMC (type 1): 4 KiB sectors with 0xD7, 32 KiB blocks with 0xD8.
    {.name = "Pm25LV512", .typeCode = 1, .size = 64 * KiB, .jedecId = {0x7F, 0x9D, 0x7B}, .idAB = {0x9D, 0x7B},
     .eraseUnits = {{0xD7, 4 * KiB, 40 * ms}, {0xD8, 32 * KiB, 80 * ms}}, .chipEraseOps = {0xC7},
     .chipEraseUs = 80 * ms, .pageSize = 256, .programUs = 1500, .writeStatusUs = 10 * ms, .protectBits = 2,
     .protectBase = 16 * KiB},
    {.name = "Pm25LV010", .typeCode = 1, .size = 128 * KiB, .jedecId = {0x7F, 0x9D, 0x7C}, .idAB = {0x9D, 0x7C},
     .eraseUnits = {{0xD7, 4 * KiB, 40 * ms}, {0xD8, 32 * KiB, 80 * ms}}, .chipEraseOps = {0xC7},
     .chipEraseUs = 80 * ms, .pageSize = 256, .programUs = 1500, .writeStatusUs = 10 * ms, .protectBits = 2,
     .protectBase = 32 * KiB},

    // SST (type 2). The older parts know only the address-driven read-ID
    // (0x90 and 0xAB alike), program single bytes with 0x02 or in
    // auto-address-increment byte mode (0xAF), and need 0x50 immediately
    // before a status write. All come up with every block protected.
    {.name = "SST25VF512A", .typeCode = 2, .size = 64 * KiB, .id90 = {0xBF, 0x48}, .idAB = {0xBF, 0x48},
     .idABTakesAddress = true, .eraseUnits = {{0x20, 4 * KiB, 18 * ms}, {0x52, 32 * KiB, 18 * ms}},
     .chipEraseOps = {0x60}, .chipEraseUs = 70 * ms, .pageSize = 256, .programUs = 14, .singleByteProgram = true,
     .aai = AaiKind::Byte, .aaiUs = 14, .statusWrite = StatusWriteEnable::EwsrOnly, .protectBits = 2,
     .protectBase = 16 * KiB, .statusVolatile = true, .powerUpStatus = 0x0C},
    {.name = "SST25VF010A", .typeCode = 2, .size = 128 * KiB, .id90 = {0xBF, 0x49}, .idAB = {0xBF, 0x49},
     .idABTakesAddress = true, .eraseUnits = {{0x20, 4 * KiB, 18 * ms}, {0x52, 32 * KiB, 18 * ms}},
     .chipEraseOps = {0x60}, .chipEraseUs = 70 * ms, .pageSize = 256, .programUs = 14, .singleByteProgram = true,
     .aai = AaiKind::Byte, .aaiUs = 14, .statusWrite = StatusWriteEnable::EwsrOnly, .protectBits = 2,
     .protectBase = 32 * KiB, .statusVolatile = true, .powerUpStatus = 0x0C},
    // The newer parts add the JEDEC answer, 64 KiB blocks and word-wise
    // auto-address-increment (0xAD); 0x50 or the latch enables a status write.
    {.name = "SST25VF016B", .typeCode = 2, .size = 2 * MiB, .jedecId = {0xBF, 0x25, 0x41}, .id90 = {0xBF, 0x41},
     .idAB = {0xBF, 0x41}, .idABTakesAddress = true,
     .eraseUnits = {{0x20, 4 * KiB, 18 * ms}, {0x52, 32 * KiB, 18 * ms}, {0xD8, 64 * KiB, 18 * ms}},
     .chipEraseOps = {0x60, 0xC7}, .chipEraseUs = 35 * ms, .pageSize = 256, .programUs = 7,
     .singleByteProgram = true, .aai = AaiKind::Word, .aaiUs = 7, .aaiStatusBit = true,
     .statusWrite = StatusWriteEnable::EwsrOrLatch, .protectBits = 4, .protectBase = 64 * KiB,
     .statusVolatile = true, .powerUpStatus = 0x1C},
    {.name = "SST25VF032B", .typeCode = 2, .size = 4 * MiB, .jedecId = {0xBF, 0x25, 0x4A}, .id90 = {0xBF, 0x4A},
     .idAB = {0xBF, 0x4A}, .idABTakesAddress = true,
     .eraseUnits = {{0x20, 4 * KiB, 18 * ms}, {0x52, 32 * KiB, 18 * ms}, {0xD8, 64 * KiB, 18 * ms}},
     .chipEraseOps = {0x60, 0xC7}, .chipEraseUs = 35 * ms, .pageSize = 256, .programUs = 7,
     .singleByteProgram = true, .aai = AaiKind::Word, .aaiUs = 7, .aaiStatusBit = true,
     .statusWrite = StatusWriteEnable::EwsrOrLatch, .protectBits = 4, .protectBase = 64 * KiB,
     .statusVolatile = true, .powerUpStatus = 0x3C},

    // ST (type 3): sector erase 0xD8 and bulk erase only; commands execute
    // only when chip select rises right after their last byte. The first
    // M25P05 answers only the electronic signature (0xAB).
    {.name = "M25P05", .typeCode = 3, .size = 64 * KiB, .idAB = {0x05}, .eraseUnits = {{0xD8, 32 * KiB, 1 * s}},
     .chipEraseOps = {0xC7}, .chipEraseUs = 2 * s, .pageSize = 256, .programUs = 1400, .writeStatusUs = 5 * ms,
     .protectBits = 2, .protectBase = 32 * KiB, .exactLength = true},
    {.name = "M25P10A", .typeCode = 3, .size = 128 * KiB, .jedecId = {0x20, 0x20, 0x11}, .idAB = {0x10},
     .eraseUnits = {{0xD8, 32 * KiB, 650 * ms}}, .chipEraseOps = {0xC7}, .chipEraseUs = 1300 * ms,
     .pageSize = 256, .programUs = 1400, .writeStatusUs = 5 * ms, .protectBits = 2, .protectBase = 32 * KiB,
     .exactLength = true},
    {.name = "M25P80", .typeCode = 3, .size = 1 * MiB, .jedecId = {0x20, 0x20, 0x14}, .idAB = {0x13},
     .eraseUnits = {{0xD8, 64 * KiB, 600 * ms}}, .chipEraseOps = {0xC7}, .chipEraseUs = 8 * s, .pageSize = 256,
     .programUs = 1400, .writeStatusUs = 5 * ms, .protectBits = 3, .protectBase = 64 * KiB, .exactLength = true},

    // ATMEL (type 4). The AT25F parts answer only their own read-ID (0x15),
    // erase 32 KiB sectors with 0x52 and the chip with 0x62.
    {.name = "AT25F512", .typeCode = 4, .size = 64 * KiB, .id15 = {0x1F, 0x65},
     .eraseUnits = {{0x52, 32 * KiB, 1100 * ms}}, .chipEraseOps = {0x62}, .chipEraseUs = 2200 * ms,
     .pageSize = 128, .programUs = 2500, .writeStatusUs = 10 * ms, .protectBits = 2, .protectBase = 32 * KiB},
    {.name = "AT25F1024", .typeCode = 4, .size = 128 * KiB, .id15 = {0x1F, 0x60},
     .eraseUnits = {{0x52, 32 * KiB, 1100 * ms}}, .chipEraseOps = {0x62}, .chipEraseUs = 2200 * ms,
     .pageSize = 256, .programUs = 2500, .writeStatusUs = 10 * ms, .protectBits = 2, .protectBase = 32 * KiB},
    {.name = "AT25FS010", .typeCode = 4, .size = 128 * KiB, .jedecId = {0x1F, 0x66, 0x01},
     .eraseUnits = {{0x20, 4 * KiB, 50 * ms}, {0x52, 32 * KiB, 250 * ms}, {0xD8, 64 * KiB, 500 * ms}},
     .chipEraseOps = {0x60, 0xC7}, .chipEraseUs = 1 * s, .pageSize = 256, .programUs = 1500,
     .writeStatusUs = 10 * ms, .protectBits = 3, .protectBase = 16 * KiB},

    // MXIC (type 5). The MX25L1021E programs 32-byte pages.
    {.name = "MX25L8005", .typeCode = 5, .size = 1 * MiB, .jedecId = {0xC2, 0x20, 0x14}, .id90 = {0xC2, 0x13},
     .idAB = {0x13}, .eraseUnits = {{0x20, 4 * KiB, 60 * ms}, {0xD8, 64 * KiB, 700 * ms}},
     .chipEraseOps = {0x60, 0xC7}, .chipEraseUs = 8 * s, .pageSize = 256, .programUs = 1400,
     .writeStatusUs = 5 * ms, .protectBits = 3, .protectBase = 64 * KiB},
    {.name = "MX25L1021E", .typeCode = 5, .size = 128 * KiB, .jedecId = {0xC2, 0x22, 0x11}, .id90 = {0xC2, 0x10},
     .idAB = {0x10}, .eraseUnits = {{0x20, 4 * KiB, 40 * ms}, {0xD8, 64 * KiB, 400 * ms}},
     .chipEraseOps = {0x60, 0xC7}, .chipEraseUs = 700 * ms, .pageSize = 32, .programUs = 600,
     .writeStatusUs = 5 * ms, .protectBits = 2, .protectBase = 32 * KiB},

    // WINBOND (type 6): the smallest protected area is an eighth of the
    // array, at least 64 KiB.
    {.name = "W25X10", .typeCode = 6, .size = 128 * KiB, .jedecId = {0xEF, 0x30, 0x11}, .id90 = {0xEF, 0x10},
     .idAB = {0x10}, .eraseUnits = {{0x20, 4 * KiB, 150 * ms}, {0xD8, 64 * KiB, 1 * s}}, .chipEraseOps = {0xC7},
     .chipEraseUs = 1 * s, .pageSize = 256, .programUs = 1500, .writeStatusUs = 10 * ms, .protectBits = 3,
     .protectBase = 64 * KiB},
    {.name = "W25X40", .typeCode = 6, .size = 512 * KiB, .jedecId = {0xEF, 0x30, 0x13}, .id90 = {0xEF, 0x12},
     .idAB = {0x12}, .eraseUnits = {{0x20, 4 * KiB, 150 * ms}, {0xD8, 64 * KiB, 1 * s}}, .chipEraseOps = {0xC7},
     .chipEraseUs = 4 * s, .pageSize = 256, .programUs = 1500, .writeStatusUs = 10 * ms, .protectBits = 3,
     .protectBase = 64 * KiB},

    // AMIC (type 7). The P series answers with the continuation code first
    // and knows only its 64 KiB sector erase and bulk erase.
    {.name = "A25L10P", .typeCode = 7, .size = 128 * KiB, .jedecId = {0x7F, 0x37, 0x20, 0x21},
     .eraseUnits = {{0xD8, 64 * KiB, 600 * ms}}, .chipEraseOps = {0xC7}, .chipEraseUs = 1200 * ms,
     .pageSize = 256, .programUs = 1500, .writeStatusUs = 5 * ms, .protectBits = 2, .protectBase = 64 * KiB,
     .exactLength = true},
    {.name = "A25L080", .typeCode = 7, .size = 1 * MiB, .jedecId = {0x37, 0x30, 0x14}, .id90 = {0x37, 0x13},
     .idAB = {0x13}, .eraseUnits = {{0x20, 4 * KiB, 90 * ms}, {0xD8, 64 * KiB, 700 * ms}},
     .chipEraseOps = {0x60, 0xC7}, .chipEraseUs = 7 * s, .pageSize = 256, .programUs = 1500,
     .writeStatusUs = 5 * ms, .protectBits = 3, .protectBase = 64 * KiB},

    // EON (type 8).
    {.name = "EN25F80", .typeCode = 8, .size = 1 * MiB, .jedecId = {0x1C, 0x31, 0x14}, .id90 = {0x1C, 0x13},
     .idAB = {0x13}, .eraseUnits = {{0x20, 4 * KiB, 90 * ms}, {0xD8, 64 * KiB, 800 * ms}},
     .chipEraseOps = {0x60, 0xC7}, .chipEraseUs = 10 * s, .pageSize = 256, .programUs = 1300,
     .writeStatusUs = 10 * ms, .protectBits = 3, .protectBase = 64 * KiB},

    // ESMT (type 9).
    {.name = "F25L01PA", .typeCode = 9, .size = 128 * KiB, .jedecId = {0x8C, 0x30, 0x11}, .id90 = {0x8C, 0x10},
     .idAB = {0x10}, .eraseUnits = {{0x20, 4 * KiB, 60 * ms}, {0xD8, 64 * KiB, 500 * ms}},
     .chipEraseOps = {0x60, 0xC7}, .chipEraseUs = 1 * s, .pageSize = 256, .programUs = 1500,
     .writeStatusUs = 10 * ms, .protectBits = 2, .protectBase = 32 * KiB},

    // SANYO (type 10): small sectors erase with 0xD7; the signature read
    // (0xAB) gives the device code.
    {.name = "LE25FW203A", .typeCode = 10, .size = 256 * KiB, .jedecId = {0x62, 0x44}, .idAB = {0x44},
     .eraseUnits = {{0xD7, 4 * KiB, 40 * ms}, {0xD8, 64 * KiB, 80 * ms}}, .chipEraseOps = {0xC7},
     .chipEraseUs = 250 * ms, .pageSize = 256, .programUs = 4 * ms, .writeStatusUs = 10 * ms, .protectBits = 2,
     .protectBase = 64 * KiB},
};

SerialFlashPart FromRow(const PartRow& row) {
    return {
        .name = row.name,
        .typeCode = row.typeCode,
        .size = row.size,
        .jedecId = row.jedecId.ToVector(),
        .id90 = row.id90.ToVector(),
        .idAB = row.idAB.ToVector(),
        .idABTakesAddress = row.idABTakesAddress,
        .id15 = row.id15.ToVector(),
        .eraseUnits = row.eraseUnits.ToVector(),
        .chipEraseOps = row.chipEraseOps.ToVector(),
        .chipEraseUs = row.chipEraseUs,
        .pageSize = row.pageSize,
        .programUs = row.programUs,
        .singleByteProgram = row.singleByteProgram,
        .aai = row.aai,
        .aaiUs = row.aaiUs,
        .aaiStatusBit = row.aaiStatusBit,
        .statusWrite = row.statusWrite,
        .writeStatusUs = row.writeStatusUs,
        .protectBits = row.protectBits,
        .protectBase = row.protectBase,
        .statusVolatile = row.statusVolatile,
        .powerUpStatus = row.powerUpStatus,
        .exactLength = row.exactLength,
    };
}

}  // namespace

const std::vector<SerialFlashPart>& SerialFlashCatalogue() {
    static const std::vector<SerialFlashPart> parts = [] {
        std::vector<SerialFlashPart> built;
        for (const PartRow& row : kParts) built.push_back(FromRow(row));
        return built;
    }();
    return parts;
}

}  // namespace v62x::sim
