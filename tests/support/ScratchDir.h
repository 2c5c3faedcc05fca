// A scratch directory for files a test writes, removed with everything in it.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

namespace v62x::test {

class ScratchDir {
public:
    explicit ScratchDir(const std::string& prefix = "v62x") {
        std::string pattern =
            (std::filesystem::path(testing::TempDir()) / (prefix + "-XXXXXX")).string();
        path_ = ::mkdtemp(pattern.data()) != nullptr ? pattern : "";
    }
    ~ScratchDir() {
        std::error_code ignored;
        if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    bool ok() const { return !path_.empty(); }
    std::string File(const std::string& name) const {
        return (std::filesystem::path(path_) / name).string();
    }
    std::string Write(const std::string& name, const std::vector<std::uint8_t>& bytes) const {
        const std::string file = File(name);
        std::ofstream out(file, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
        return file;
    }

private:
    std::string path_;
};

// Runs in `dir` for its lifetime and returns to where it was.
class InDirectory {
public:
    explicit InDirectory(const std::string& dir) : previous_(std::filesystem::current_path()) {
        std::filesystem::current_path(dir);
    }
    ~InDirectory() {
        std::error_code ignored;
        std::filesystem::current_path(previous_, ignored);
    }
    InDirectory(const InDirectory&) = delete;
    InDirectory& operator=(const InDirectory&) = delete;

private:
    std::filesystem::path previous_;
};

}  // namespace v62x::test
