#include "Fwupdate/SafeFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <vector>

#include "IDEAccess/UniqueFd.h"

namespace v62x {
namespace {

// A temporary file this writer made: closed, and removed unless it was
// renamed into place.
class TemporaryFile {
public:
    explicit TemporaryFile(const std::string& pattern) {
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        fd_ = UniqueFd(::mkostemp(buffer.data(), O_CLOEXEC));
        made_ = fd_.valid();
        if (made_) name_.assign(buffer.data());
    }
    ~TemporaryFile() {
        fd_.Reset();
        if (made_ && !renamed_) ::unlink(name_.c_str());
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    bool made() const { return made_; }
    int fd() const { return fd_.get(); }
    const std::string& name() const { return name_; }

    // Flushes the data to the disk and closes the file.
    bool SyncAndClose() {
        const bool synced = ::fsync(fd_.get()) == 0;
        const bool closed = ::close(fd_.release()) == 0;
        return synced && closed;
    }
    void Renamed() { renamed_ = true; }

private:
    std::string name_;
    UniqueFd fd_;
    bool made_ = false;
    bool renamed_ = false;
};

std::string FolderOf(const std::string& name) {
    const std::size_t slash = name.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : name.substr(0, slash);
}

bool WriteAll(int fd, const std::uint8_t* data, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, data + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

SafeWrite WriteFileSafely(const std::string& name, const std::uint8_t* data, std::size_t size) {
    if (name.empty() || (data == nullptr && size > 0)) return SafeWrite::CannotCreate;
    // A link is followed: the file it names is replaced, the link stays.
    std::string target = name;
    struct stat info {};
    mode_t mode = 0644;
    if (::lstat(name.c_str(), &info) == 0) {
        if (S_ISLNK(info.st_mode)) {
            char resolved[PATH_MAX];
            if (::realpath(name.c_str(), resolved) == nullptr) return SafeWrite::NotRegular;
            target = resolved;
            if (::stat(target.c_str(), &info) != 0) return SafeWrite::NotRegular;
        }
        if (!S_ISREG(info.st_mode)) return SafeWrite::NotRegular;
        mode = info.st_mode & 07777;
    }

    TemporaryFile temp(FolderOf(target) + "/.v62x-tmp-XXXXXX");
    if (!temp.made()) return SafeWrite::CannotCreate;
    if (::fchmod(temp.fd(), mode) != 0 || !WriteAll(temp.fd(), data, size) || !temp.SyncAndClose()) {
        return SafeWrite::WriteFailed;
    }
    if (::rename(temp.name().c_str(), target.c_str()) != 0) return SafeWrite::WriteFailed;
    temp.Renamed();
    // The rename itself reaches the disk with its folder.
    const UniqueFd folder(::open(FolderOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.valid()) ::fsync(folder.get());
    return SafeWrite::Ok;
}

std::string SafeWriteText(SafeWrite result, const std::string& name) {
    switch (result) {
        case SafeWrite::Ok:
            return name + " written";
        case SafeWrite::NotRegular:
            return name + " is not a regular file: it is left as it is";
        case SafeWrite::CannotCreate:
            return "no file can be created beside " + name;
        case SafeWrite::WriteFailed:
            return name + " could not be written whole; any earlier file of that name is unchanged";
    }
    return name;
}

}  // namespace v62x
