#include "Fwupdate/NvramKeeper.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "Fwupdate/FlashStatusTexts.h"
#include "Fwupdate/ProcedureHelpers.h"
#include "Fwupdate/SafeFile.h"
#include "Fwupdate/SerialFlashBlocks.h"
#include "IDEAccess/FirmwareFile.h"
#include "IDEAccess/Host.h"

namespace v62x {
namespace {

// Creates each missing folder of `path` (mode 0700: the settings are the
// operator's own).
bool MakeFolders(const std::string& path) {
    for (std::size_t at = 1; at <= path.size(); ++at) {
        if (at != path.size() && path[at] != '/') continue;
        const std::string part = path.substr(0, at);
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
    }
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::string KindPrefix(std::uint8_t chipKind) { return "kind" + std::to_string(chipKind) + "-"; }

std::string BaseName(const std::string& file) {
    const std::size_t slash = file.find_last_of('/');
    return slash == std::string::npos ? file : file.substr(slash + 1);
}

// The flash holds `kept` (place.size bytes) where the place says.
bool NvramInPlace(const NvramPlace& place, const std::uint8_t* kept) {
    std::vector<std::uint8_t> seen(place.size);
    return place.read(seen.data()) && std::equal(seen.begin(), seen.end(), kept);
}

}  // namespace

std::string NvramFolder() {
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state != nullptr && state[0] == '/') return std::string(state) + "/v62xfwtool/nvram";
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] == '/') return std::string(home) + "/.local/state/v62xfwtool/nvram";
    return "";
}

std::string SaveKeptNvram(ProcedureContext& ctx, const std::uint8_t* bytes, std::size_t size) {
    const std::string folder = NvramFolder();
    if (folder.empty() || !MakeFolders(folder)) {
        CurrentHost().Trace("The kept NVRAM cannot be saved: no folder " + folder + "\n");
        return "";
    }
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    ::gmtime_r(&now, &utc);
    char stamp[32] = {};
    std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &utc);
    // The enclosure's USB serial, where it reports one, tells copies of
    // several enclosures of one kind apart; only plain characters go into
    // the name.
    std::string serial;
    for (const char c : CurrentHost().UsbSerial(ctx.path)) {
        if (serial.size() < 32 && (std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-' || c == '_')) serial += c;
    }
    const std::string stem =
        folder + "/" + KindPrefix(ctx.state.id.ChipKind) + (serial.empty() ? "" : serial + "-") + stamp;
    // A second run within the same second gets a name of its own.
    std::string file = stem + ".nvram";
    struct stat info {};
    for (int n = 2; ::lstat(file.c_str(), &info) == 0 && n < 1000; ++n) file = stem + "-" + std::to_string(n) + ".nvram";

    const SafeWrite result = WriteFileSafely(file, bytes, size);
    if (result != SafeWrite::Ok) {
        CurrentHost().Trace("The kept NVRAM cannot be saved: " + SafeWriteText(result, file) + "\n");
        return "";
    }
    CurrentHost().Trace("The kept NVRAM is saved in " + file + "\n");
    return file;
}

void ReportNvramNotRestored(ProcedureContext& ctx, const std::string& savedFile) {
    ctx.panel.ShowMessage("Error", "The bridge's NVRAM settings could not be written back. A copy is saved in " +
                                       savedFile + " ; restore it with: v62xfw run --restore-nvram " + savedFile);
}

std::string ReadAndSaveNvram(ProcedureContext& ctx, std::uint32_t address, std::uint8_t* kept,
                             std::size_t size) {
    std::string saved;
    if (ReadFlashBlocks(ctx, address, kept, static_cast<std::uint32_t>(size)) != 0) {
        saved = SaveKeptNvram(ctx, kept, size);
    }
    if (saved.empty()) Say(ctx, kBackupNvramFailText);
    return saved;
}

NvramBack WriteNvramBack(const NvramPlace& place, const std::uint8_t* kept) {
    std::vector<std::uint8_t> seen(place.size);
    const auto readBack = [&]() { return place.read(seen.data()); };
    const auto isKept = [&]() { return std::equal(seen.begin(), seen.end(), kept); };
    bool known = readBack();
    if (known && isKept()) return NvramBack::AlreadyThere;
    for (int attempt = 0; attempt < 2; ++attempt) {
        const bool wrote = place.write(kept, attempt, known ? seen.data() : nullptr);
        known = readBack();
        if (wrote && known && isKept()) return NvramBack::Written;
    }
    return NvramBack::Failed;
}

bool PutNvramBack(const NvramPlace& place, const std::uint8_t* kept) {
    const NvramBack back = WriteNvramBack(place, kept);
    switch (back) {
        case NvramBack::AlreadyThere:
            CurrentHost().Trace(place.traces.stillThere);
            break;
        case NvramBack::Written:
            CurrentHost().Trace(place.traces.written);
            break;
        case NvramBack::Failed:
            CurrentHost().Trace(place.traces.failed);
            break;
    }
    return back != NvramBack::Failed;
}

void RestoreKeptNvram(ProcedureContext& ctx, const NvramPlace& place, const std::uint8_t* kept,
                      const std::string& savedFile) {
    if (!PutNvramBack(place, kept)) ReportNvramNotRestored(ctx, savedFile);
}

bool NvramBackAfterErase(ProcedureContext& ctx, const NvramPlace& place, const std::uint8_t* kept,
                         const std::string& savedFile, bool written) {
    if (written && NvramInPlace(place, kept)) return true;
    Say(ctx, kWriteNvramBackFailText);
    RestoreKeptNvram(ctx, place, kept, savedFile);
    return false;
}

bool LoadSavedNvram(const std::string& file, std::uint8_t chipKind, std::size_t size,
                    std::vector<std::uint8_t>& out, std::string& why) {
    if (BaseName(file).rfind(KindPrefix(chipKind), 0) != 0) {
        why = file + " is no NVRAM copy of a kind-" + std::to_string(chipKind) + " bridge";
        return false;
    }
    FirmwareImage image;
    const ImageLoad load = LoadFirmwareImage(file, image);
    if (load != ImageLoad::Ok) {
        why = file + ": " + (load == ImageLoad::CannotOpen ? std::string("cannot be opened") : ImageLoadText(load, file));
        return false;
    }
    if (image.bytes.size() != size) {
        why = file + " holds " + std::to_string(image.bytes.size()) + " bytes; this bridge keeps " +
              std::to_string(size) + " bytes of NVRAM";
        return false;
    }
    out = std::move(image.bytes);
    return true;
}

}  // namespace v62x
