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

#include "support/Bytes.h"

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
    std::string Write(const std::string& name, const Bytes& bytes) const {
        const std::string file = File(name);
        WriteWholeFile(file, bytes);
        return file;
    }
    // The names of the files in it.
    std::vector<std::string> Names() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(path_)) {
            names.push_back(entry.path().filename().string());
        }
        return names;
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
