// The serial flash parts the simulator knows, from their datasheets:
// identification answers, size, erase units with their opcodes and typical
// times, page size and program time, the SST auto-address-increment mode,
// the status register's protection bits and what enables a status write.
// Times are the datasheets' typical values, in microseconds.
#include "VirtualBridge/SerialFlash.h"

namespace v62x::sim {
namespace {

constexpr std::uint32_t KiB = 1024;
constexpr std::uint32_t MiB = 1024 * KiB;
constexpr std::uint32_t ms = 1000;
constexpr std::uint32_t s = 1000 * ms;

std::vector<SerialFlashPart> Build() {
    std::vector<SerialFlashPart> parts;

    // ---- PMC (type 1): 4 KiB sectors with 0xD7, 32 KiB blocks with 0xD8.
    for (const auto& [name, size, device] :
         {std::tuple<const char*, std::uint32_t, std::uint8_t>{"Pm25LV512", 64 * KiB, 0x7B},
          {"Pm25LV010", 128 * KiB, 0x7C}}) {
        parts.push_back({
            .name = name,
            .typeCode = 1,
            .size = size,
            .jedecId = {0x7F, 0x9D, device},
            .idAB = {0x9D, device},
            .eraseUnits = {{0xD7, 4 * KiB, 40 * ms}, {0xD8, 32 * KiB, 80 * ms}},
            .chipEraseOps = {0xC7},
            .chipEraseUs = 80 * ms,
            .pageSize = 256,
            .programUs = 1500,
            .writeStatusUs = 10 * ms,
            .protectBits = 2,
            .protectBase = size / 4,
        });
    }

    // ---- SST (type 2). The older parts know only the address-driven
    // read-ID (0x90 and 0xAB alike), program single bytes with 0x02 or in
    // auto-address-increment byte mode (0xAF), and need 0x50 immediately
    // before a status write. All come up with every block protected.
    for (const auto& [name, size, device] :
         {std::tuple<const char*, std::uint32_t, std::uint8_t>{"SST25VF512A", 64 * KiB, 0x48},
          {"SST25VF010A", 128 * KiB, 0x49}}) {
        parts.push_back({
            .name = name,
            .typeCode = 2,
            .size = size,
            .id90 = {0xBF, device},
            .idAB = {0xBF, device},
            .idABTakesAddress = true,
            .eraseUnits = {{0x20, 4 * KiB, 18 * ms}, {0x52, 32 * KiB, 18 * ms}},
            .chipEraseOps = {0x60},
            .chipEraseUs = 70 * ms,
            .pageSize = 256,
            .programUs = 14,
            .singleByteProgram = true,
            .aai = AaiKind::Byte,
            .aaiUs = 14,
            .statusWrite = StatusWriteEnable::EwsrOnly,
            .protectBits = 2,
            .protectBase = size / 4,
            .statusVolatile = true,
            .powerUpStatus = 0x0C,
        });
    }
    // The newer parts add the JEDEC answer, 64 KiB blocks and word-wise
    // auto-address-increment (0xAD); 0x50 or the latch enables a status write.
    for (const auto& [name, size, device, powerUp] :
         {std::tuple<const char*, std::uint32_t, std::uint8_t, std::uint8_t>{"SST25VF016B", 2 * MiB,
                                                                            0x41, 0x1C},
          {"SST25VF032B", 4 * MiB, 0x4A, 0x3C}}) {
        parts.push_back({
            .name = name,
            .typeCode = 2,
            .size = size,
            .jedecId = {0xBF, 0x25, device},
            .id90 = {0xBF, device},
            .idAB = {0xBF, device},
            .idABTakesAddress = true,
            .eraseUnits = {{0x20, 4 * KiB, 18 * ms}, {0x52, 32 * KiB, 18 * ms}, {0xD8, 64 * KiB, 18 * ms}},
            .chipEraseOps = {0x60, 0xC7},
            .chipEraseUs = 35 * ms,
            .pageSize = 256,
            .programUs = 7,
            .singleByteProgram = true,
            .aai = AaiKind::Word,
            .aaiUs = 7,
            .aaiStatusBit = true,
            .statusWrite = StatusWriteEnable::EwsrOrLatch,
            .protectBits = 4,
            .protectBase = 64 * KiB,
            .statusVolatile = true,
            .powerUpStatus = powerUp,
        });
    }

    // ---- ST (type 3): sector erase 0xD8 and bulk erase only; commands
    // execute only when chip select rises right after their last byte.
    // The first M25P05 answers only the electronic signature (0xAB).
    parts.push_back({
        .name = "M25P05",
        .typeCode = 3,
        .size = 64 * KiB,
        .idAB = {0x05},
        .eraseUnits = {{0xD8, 32 * KiB, 1 * s}},
        .chipEraseOps = {0xC7},
        .chipEraseUs = 2 * s,
        .pageSize = 256,
        .programUs = 1400,
        .writeStatusUs = 5 * ms,
        .protectBits = 2,
        .protectBase = 32 * KiB,
        .exactLength = true,
    });
    parts.push_back({
        .name = "M25P10A",
        .typeCode = 3,
        .size = 128 * KiB,
        .jedecId = {0x20, 0x20, 0x11},
        .idAB = {0x10},
        .eraseUnits = {{0xD8, 32 * KiB, 650 * ms}},
        .chipEraseOps = {0xC7},
        .chipEraseUs = 1300 * ms,
        .pageSize = 256,
        .programUs = 1400,
        .writeStatusUs = 5 * ms,
        .protectBits = 2,
        .protectBase = 32 * KiB,
        .exactLength = true,
    });
    parts.push_back({
        .name = "M25P80",
        .typeCode = 3,
        .size = 1 * MiB,
        .jedecId = {0x20, 0x20, 0x14},
        .idAB = {0x13},
        .eraseUnits = {{0xD8, 64 * KiB, 600 * ms}},
        .chipEraseOps = {0xC7},
        .chipEraseUs = 8 * s,
        .pageSize = 256,
        .programUs = 1400,
        .writeStatusUs = 5 * ms,
        .protectBits = 3,
        .protectBase = 64 * KiB,
        .exactLength = true,
    });

    // ---- ATMEL (type 4). The AT25F parts answer only their own read-ID
    // (0x15), erase 32 KiB sectors with 0x52 and the chip with 0x62.
    parts.push_back({
        .name = "AT25F512",
        .typeCode = 4,
        .size = 64 * KiB,
        .id15 = {0x1F, 0x65},
        .eraseUnits = {{0x52, 32 * KiB, 1100 * ms}},
        .chipEraseOps = {0x62},
        .chipEraseUs = 2200 * ms,
        .pageSize = 128,
        .programUs = 2500,
        .writeStatusUs = 10 * ms,
        .protectBits = 2,
        .protectBase = 32 * KiB,
    });
    parts.push_back({
        .name = "AT25F1024",
        .typeCode = 4,
        .size = 128 * KiB,
        .id15 = {0x1F, 0x60},
        .eraseUnits = {{0x52, 32 * KiB, 1100 * ms}},
        .chipEraseOps = {0x62},
        .chipEraseUs = 2200 * ms,
        .pageSize = 256,
        .programUs = 2500,
        .writeStatusUs = 10 * ms,
        .protectBits = 2,
        .protectBase = 32 * KiB,
    });
    parts.push_back({
        .name = "AT25FS010",
        .typeCode = 4,
        .size = 128 * KiB,
        .jedecId = {0x1F, 0x66, 0x01},
        .eraseUnits = {{0x20, 4 * KiB, 50 * ms}, {0x52, 32 * KiB, 250 * ms}, {0xD8, 64 * KiB, 500 * ms}},
        .chipEraseOps = {0x60, 0xC7},
        .chipEraseUs = 1 * s,
        .pageSize = 256,
        .programUs = 1500,
        .writeStatusUs = 10 * ms,
        .protectBits = 3,
        .protectBase = 16 * KiB,
    });

    // ---- MXIC (type 5). The MX25L1021E programs 32-byte pages.
    parts.push_back({
        .name = "MX25L8005",
        .typeCode = 5,
        .size = 1 * MiB,
        .jedecId = {0xC2, 0x20, 0x14},
        .id90 = {0xC2, 0x13},
        .idAB = {0x13},
        .eraseUnits = {{0x20, 4 * KiB, 60 * ms}, {0xD8, 64 * KiB, 700 * ms}},
        .chipEraseOps = {0x60, 0xC7},
        .chipEraseUs = 8 * s,
        .pageSize = 256,
        .programUs = 1400,
        .writeStatusUs = 5 * ms,
        .protectBits = 3,
        .protectBase = 64 * KiB,
    });
    parts.push_back({
        .name = "MX25L1021E",
        .typeCode = 5,
        .size = 128 * KiB,
        .jedecId = {0xC2, 0x22, 0x11},
        .id90 = {0xC2, 0x10},
        .idAB = {0x10},
        .eraseUnits = {{0x20, 4 * KiB, 40 * ms}, {0xD8, 64 * KiB, 400 * ms}},
        .chipEraseOps = {0x60, 0xC7},
        .chipEraseUs = 700 * ms,
        .pageSize = 32,
        .programUs = 600,
        .writeStatusUs = 5 * ms,
        .protectBits = 2,
        .protectBase = 32 * KiB,
    });

    // ---- WINBOND (type 6).
    for (const auto& [name, size, type, device, chipUs] :
         {std::tuple<const char*, std::uint32_t, std::uint8_t, std::uint8_t, std::uint32_t>{
              "W25X10", 128 * KiB, 0x11, 0x10, 1 * s},
          {"W25X40", 512 * KiB, 0x13, 0x12, 4 * s}}) {
        parts.push_back({
            .name = name,
            .typeCode = 6,
            .size = size,
            .jedecId = {0xEF, 0x30, type},
            .id90 = {0xEF, device},
            .idAB = {device},
            .eraseUnits = {{0x20, 4 * KiB, 150 * ms}, {0xD8, 64 * KiB, 1 * s}},
            .chipEraseOps = {0xC7},
            .chipEraseUs = chipUs,
            .pageSize = 256,
            .programUs = 1500,
            .writeStatusUs = 10 * ms,
            .protectBits = 3,
            .protectBase = size / 8 < 64 * KiB ? 64 * KiB : size / 8,
        });
    }

    // ---- AMIC (type 7). The P series answers with the continuation code
    // first and knows only its 64 KiB sector erase and bulk erase.
    parts.push_back({
        .name = "A25L10P",
        .typeCode = 7,
        .size = 128 * KiB,
        .jedecId = {0x7F, 0x37, 0x20, 0x21},
        .eraseUnits = {{0xD8, 64 * KiB, 600 * ms}},
        .chipEraseOps = {0xC7},
        .chipEraseUs = 1200 * ms,
        .pageSize = 256,
        .programUs = 1500,
        .writeStatusUs = 5 * ms,
        .protectBits = 2,
        .protectBase = 64 * KiB,
        .exactLength = true,
    });
    parts.push_back({
        .name = "A25L080",
        .typeCode = 7,
        .size = 1 * MiB,
        .jedecId = {0x37, 0x30, 0x14},
        .id90 = {0x37, 0x13},
        .idAB = {0x13},
        .eraseUnits = {{0x20, 4 * KiB, 90 * ms}, {0xD8, 64 * KiB, 700 * ms}},
        .chipEraseOps = {0x60, 0xC7},
        .chipEraseUs = 7 * s,
        .pageSize = 256,
        .programUs = 1500,
        .writeStatusUs = 5 * ms,
        .protectBits = 3,
        .protectBase = 64 * KiB,
    });

    // ---- EON (type 8).
    parts.push_back({
        .name = "EN25F80",
        .typeCode = 8,
        .size = 1 * MiB,
        .jedecId = {0x1C, 0x31, 0x14},
        .id90 = {0x1C, 0x13},
        .idAB = {0x13},
        .eraseUnits = {{0x20, 4 * KiB, 90 * ms}, {0xD8, 64 * KiB, 800 * ms}},
        .chipEraseOps = {0x60, 0xC7},
        .chipEraseUs = 10 * s,
        .pageSize = 256,
        .programUs = 1300,
        .writeStatusUs = 10 * ms,
        .protectBits = 3,
        .protectBase = 64 * KiB,
    });

    // ---- ESMT (type 9).
    parts.push_back({
        .name = "F25L01PA",
        .typeCode = 9,
        .size = 128 * KiB,
        .jedecId = {0x8C, 0x30, 0x11},
        .id90 = {0x8C, 0x10},
        .idAB = {0x10},
        .eraseUnits = {{0x20, 4 * KiB, 60 * ms}, {0xD8, 64 * KiB, 500 * ms}},
        .chipEraseOps = {0x60, 0xC7},
        .chipEraseUs = 1 * s,
        .pageSize = 256,
        .programUs = 1500,
        .writeStatusUs = 10 * ms,
        .protectBits = 2,
        .protectBase = 32 * KiB,
    });

    // ---- SANYO (type 10): small sectors erase with 0xD7; the signature
    // read (0xAB) gives the device code.
    parts.push_back({
        .name = "LE25FW203A",
        .typeCode = 10,
        .size = 256 * KiB,
        .jedecId = {0x62, 0x44},
        .idAB = {0x44},
        .eraseUnits = {{0xD7, 4 * KiB, 40 * ms}, {0xD8, 64 * KiB, 80 * ms}},
        .chipEraseOps = {0xC7},
        .chipEraseUs = 250 * ms,
        .pageSize = 256,
        .programUs = 4 * ms,
        .writeStatusUs = 10 * ms,
        .protectBits = 2,
        .protectBase = 64 * KiB,
    });

    return parts;
}

}  // namespace

const std::vector<SerialFlashPart>& SerialFlashCatalogue() {
    static const std::vector<SerialFlashPart> parts = Build();
    return parts;
}

}  // namespace v62x::sim
