#include "VirtualBridge/DeviceImage.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "VirtualBridge/BridgeFirmware.h"
#include "VirtualBridge/ShownText.h"
#include "IDEAccess/UniqueFd.h"

namespace v62x::sim {
namespace {

std::string Reason(const std::string& what, const std::string& file, int error) {
    return what + " " + ShownPath(file) + ": " + std::strerror(error);
}

// What a file that is no regular file is, for the message that refuses it.
const char* KindOfFile(mode_t mode) {
    if (S_ISDIR(mode)) return "a folder";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device node";
    if (S_ISSOCK(mode)) return "a socket";
    return "something else";
}

// The reserved area of the disk; no disk when there is none.
struct DiskArea {
    AttachedDisk* disk = nullptr;
    std::uint64_t first = 0;
    std::uint64_t blocks = 0;
};

// The part of the disk that holds the firmware: the reserved area beyond
// the host-visible end, or on a 735 bridge that runs its firmware from the
// disk (it keeps no reserved area) the 64 KiB copy it reads at every start.
DiskArea ReservedArea(VirtualDevice& device) {
    AttachedDisk* disk = device.disk();
    if (disk == nullptr) return {};
    if (disk->reservedBlocks() != 0) return {disk, disk->hostBlocks(), disk->reservedBlocks()};
    std::uint64_t start = 0;
    if (device.config().firmwareFamily == FirmwareFamily::Vrs735 && device.FlashContents() == nullptr &&
        DiskFirmwareCopyStart(disk->sectors(), disk->blockSize(), start)) {
        return {disk, start, kDiskCopySize / disk->blockSize()};
    }
    return {};
}

}  // namespace

std::uint64_t FirmwareStoreSize(VirtualDevice& device) {
    if (const std::vector<std::uint8_t>* flash = device.FlashContents()) return flash->size();
    const DiskArea area = ReservedArea(device);
    return area.disk == nullptr ? 0 : area.blocks * area.disk->blockSize();
}

std::vector<std::uint8_t> ReadFirmwareStore(VirtualDevice& device) {
    if (const std::vector<std::uint8_t>* flash = device.FlashContents()) return *flash;
    const DiskArea area = ReservedArea(device);
    if (area.disk == nullptr) return {};
    std::vector<std::uint8_t> bytes(area.blocks * area.disk->blockSize());
    area.disk->Read(area.first, area.blocks, bytes.data());
    return bytes;
}

bool WriteFirmwareStore(VirtualDevice& device, const std::vector<std::uint8_t>& bytes) {
    if (std::vector<std::uint8_t>* flash = device.FlashContents()) {
        if (bytes.size() != flash->size()) return false;
        *flash = bytes;
        return true;
    }
    const DiskArea area = ReservedArea(device);
    if (area.disk == nullptr || bytes.size() != area.blocks * area.disk->blockSize()) return false;
    return area.disk->Write(area.first, area.blocks, bytes.data());
}

int OpenImageFile(const std::string& file, bool& missing, std::string& error) {
    missing = false;
    // Asked by name first, so that nothing is opened that might wait (a
    // FIFO without a writer) or act (a device node); then again through the
    // descriptor, in case the name was replaced in between.
    struct stat info {};
    if (::stat(file.c_str(), &info) != 0) {
        missing = errno == ENOENT;
        error = Reason("cannot open image", file, errno);
        return -1;
    }
    if (!S_ISREG(info.st_mode)) {
        error = "image " + ShownPath(file) + " is " + KindOfFile(info.st_mode) +
                ", not a regular file";
        return -1;
    }
    UniqueFd fd(::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd.valid()) {
        missing = errno == ENOENT;
        error = Reason("cannot open image", file, errno);
        return -1;
    }
    if (::fstat(fd.get(), &info) != 0) {
        error = Reason("cannot read image", file, errno);
        return -1;
    }
    if (!S_ISREG(info.st_mode)) {
        error = "image " + ShownPath(file) + " is " + KindOfFile(info.st_mode) +
                ", not a regular file";
        return -1;
    }
    return fd.release();
}

bool ReadImageFile(const std::string& file, std::uint64_t size, const std::string& store,
                   std::vector<std::uint8_t>& out, bool& exists, std::string& error) {
    exists = false;
    bool missing = false;
    UniqueFd fd(OpenImageFile(file, missing, error));
    if (!fd.valid()) {
        if (!missing) return false;
        error.clear();
        return true;
    }
    exists = true;
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) {
        error = Reason("cannot read image", file, errno);
        return false;
    }
    if (static_cast<std::uint64_t>(info.st_size) != size) {
        error = "image " + ShownPath(file) + " holds " + std::to_string(info.st_size) +
                " bytes, but " + store + " holds " + std::to_string(size) + " bytes";
        return false;
    }
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::read(fd.get(), bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error = Reason("cannot read image", file, errno);
            return false;
        }
        if (n == 0) {
            error = "image " + ShownPath(file) + " shrank while it was read";
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    out = std::move(bytes);
    return true;
}

bool WriteImageFile(const std::string& file, const std::vector<std::uint8_t>& bytes,
                    std::string& error) {
    std::string temporary = file + ".XXXXXX";
    UniqueFd fd(::mkstemp(temporary.data()));
    if (!fd.valid()) {
        error = Reason("cannot create a temporary file for image", file, errno);
        return false;
    }
    const auto fail = [&](const std::string& what) {
        error = Reason(what, file, errno);
        ::unlink(temporary.c_str());
        return false;
    };
    // Keep the permissions of an image that is already there.
    struct stat old {};
    const mode_t mode = ::stat(file.c_str(), &old) == 0 ? (old.st_mode & 07777) : 0644;
    if (::fchmod(fd.get(), mode) != 0) return fail("cannot set the permissions of image");
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd.get(), bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return fail("cannot write image");
        done += static_cast<std::size_t>(n);
    }
    if (::fsync(fd.get()) != 0) return fail("cannot flush image");
    if (::close(fd.release()) != 0) return fail("cannot write image");
    if (::rename(temporary.c_str(), file.c_str()) != 0) return fail("cannot replace image");
    return true;
}

}  // namespace v62x::sim
