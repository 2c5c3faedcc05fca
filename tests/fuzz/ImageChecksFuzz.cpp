// Fuzz target: firmware image files. The input begins with three chip
// identification values (low byte kind, high byte revision) and a flash
// size in KiB, two bytes each, least significant first; then a fill byte, a
// length and an offset, both two bytes in units of 16 bytes (below 128 KiB:
// the top three bits are not used). The file is
// `length` fill bytes with the rest of the input laid over them from
// `offset` on (a small input makes a large image). Every check of an image
// runs on it for every chip.
#include <vector>

#include "Fwupdate/ImageChecks.h"
#include "Fwupdate/ProcedureHelpers.h"
#include "FuzzSupport.h"
#include "IDEAccess/FirmwareFile.h"
#include "IDEAccess/IdentifyChip.h"
#include "IDEAccess/Notifier.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace v62x;
    SetMessageNotifier([](const OperatorMessage&) {});
    fuzz::ByteReader input(data, size);
    std::uint16_t chips[3] = {};
    for (std::uint16_t& chip : chips) chip = static_cast<std::uint16_t>(input.Byte() | input.Byte() << 8);
    const std::uint32_t flashSizeKB = input.Byte() | input.Byte() << 8;
    const char fill = static_cast<char>(input.Byte());
    const std::size_t length = std::size_t{16} * ((input.Byte() | input.Byte() << 8) & 0x1FFF);
    const std::size_t offset = std::size_t{16} * ((input.Byte() | input.Byte() << 8) & 0x1FFF);
    const std::string laid = input.Rest();
    std::string contents(std::max(length, laid.empty() ? 0 : offset + laid.size()), fill);
    contents.replace(std::min(offset, contents.size()), laid.size(), laid);
    const std::string file = fuzz::ScratchFile("image.bin");
    fuzz::WriteFile(file, contents.data(), contents.size());

    const auto* bytes = reinterpret_cast<const std::uint8_t*>(contents.data());
    // A 64 KiB bank as the flash would hold it: the file, then erased bytes.
    std::vector<std::uint8_t> bank(0x10000, 0xFF);
    std::copy_n(bytes, std::min(contents.size(), bank.size()), bank.begin());
    std::uint32_t crc32 = 0;
    FileFitsFlash(file, flashSizeKB);
    FindEndMarker(bytes, contents.size());
    FirmwareCrc32(bytes, contents.size(), (chips[0] & 1) != 0, crc32);
    ImageCrc16(bytes, contents.size(), chips[1]);
    for (std::uint16_t chip : chips) {
        FileMatchesChip(file, chip);
        FileHasNvramBlock(file, ChipKindOf(chip));
        FileChecksumOk(file, chip);
        BankImageValid(bank.data(), ChipKindOf(chip));
    }
    return 0;
}
