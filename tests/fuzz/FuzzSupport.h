// Pieces every fuzz target shares: a reader that takes values from the front
// of the input, and the scratch folder a target writes its files into.
#pragma once

#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

namespace v62x::fuzz {

// Takes values from the front of the input; past its end every byte is 0.
class ByteReader {
public:
    ByteReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    bool empty() const { return at_ >= size_; }
    std::size_t left() const { return size_ - at_; }
    std::uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
    // Four bytes, the least significant first.
    std::uint32_t Word32() {
        std::uint32_t value = 0;
        for (int shift = 0; shift < 32; shift += 8) value |= std::uint32_t{Byte()} << shift;
        return value;
    }
    // Copies up to n bytes to out; fewer when the input ends first.
    std::size_t Take(std::uint8_t* out, std::size_t n) {
        const std::size_t count = std::min(n, left());
        if (count > 0) std::memcpy(out, data_ + at_, count);
        at_ += count;
        return count;
    }
    // Everything not taken yet.
    std::string Rest() {
        std::string rest(reinterpret_cast<const char*>(data_ + at_), left());
        at_ = size_;
        return rest;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

// A folder of this process under the system's temporary folder; it is
// removed with everything in it when the process ends. A process that dies
// (a crash, a fuzzer job that ends with _Exit) leaves its folder behind: the
// next target to start removes the folders of processes that are gone.
inline const std::string& ScratchFolder() {
    struct Folder {
        std::string path;
        Folder() {
            const std::filesystem::path temporary = std::filesystem::temp_directory_path();
            std::error_code ignored;
            for (const auto& entry : std::filesystem::directory_iterator(temporary, ignored)) {
                const std::string name = entry.path().filename().string();
                const long pid = std::strtol(name.c_str() + std::min<std::size_t>(name.size(), 10), nullptr, 10);
                if (name.rfind("v62x-fuzz-", 0) == 0 && pid > 0 && ::kill(static_cast<pid_t>(pid), 0) != 0 &&
                    errno == ESRCH) {
                    std::filesystem::remove_all(entry.path(), ignored);
                }
            }
            std::string pattern = (temporary / ("v62x-fuzz-" + std::to_string(::getpid()) + "-XXXXXX")).string();
            if (::mkdtemp(pattern.data()) == nullptr) ::abort();
            path = pattern;
        }
        ~Folder() {
            std::error_code ignored;
            std::filesystem::remove_all(path, ignored);
        }
    };
    static const Folder folder;
    return folder.path;
}

inline std::string ScratchFile(const std::string& name) { return ScratchFolder() + "/" + name; }

inline void WriteFile(const std::string& file, const void* data, std::size_t size) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
}

}  // namespace v62x::fuzz
