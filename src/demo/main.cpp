// v62x-demo-set: the demo set of simulated bridges for scripts/demo.
//
//   v62x-demo-set FOLDER   writes each bridge's firmware image into FOLDER
//                          (made when missing) and prints the V62X_SIMULATE
//                          value of the set on standard output
//   v62x-demo-set --list   prints one line per bridge, in the order the tool
//                          lists them: product text, image file, what Run does
//
// Exit status: 0 done, 1 an image could not be built or written, 2 usage.

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

#include "VirtualBridge/DemoSet.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kUsage = "usage: v62x-demo-set FOLDER | v62x-demo-set --list\n";

bool WriteImage(const fs::path& file, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    out.close();
    return static_cast<bool>(out);
}

int List(const std::vector<v62x::sim::DemoBridge>& bridges) {
    for (std::size_t i = 0; i < bridges.size(); ++i) {
        const v62x::sim::DemoBridge& b = bridges[i];
        std::printf("[%zu] %-16s  %-22s  Run: %s: %s\n", i, b.product.c_str(), b.imageName.c_str(),
                    b.procedure.c_str(), b.effect.c_str());
    }
    return 0;
}

int Write(const std::vector<v62x::sim::DemoBridge>& bridges, const fs::path& folder) {
    std::error_code error;
    fs::create_directories(folder, error);
    if (error) {
        std::fprintf(stderr, "v62x-demo-set: %s: %s\n", folder.c_str(), error.message().c_str());
        return 1;
    }
    for (const v62x::sim::DemoBridge& b : bridges) {
        const fs::path file = folder / b.imageName;
        if (!WriteImage(file, b.image)) {
            std::fprintf(stderr, "v62x-demo-set: %s: cannot be written\n", file.c_str());
            return 1;
        }
    }
    std::printf("%s\n", v62x::sim::DemoSimulation(bridges).c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2 || argv[1][0] == '\0') {
        std::fputs(kUsage, stderr);
        return 2;
    }
    const std::string argument = argv[1];
    if (argument == "-h" || argument == "--help") {
        std::fputs(kUsage, stdout);
        return 0;
    }
    std::vector<v62x::sim::DemoBridge> bridges;
    std::string why;
    if (!v62x::sim::DemoBridges(bridges, why)) {
        std::fprintf(stderr, "v62x-demo-set: %s\n", why.c_str());
        return 1;
    }
    if (argument == "--list") return List(bridges);
    if (argument.front() == '-') {
        std::fputs(kUsage, stderr);
        return 2;
    }
    return Write(bridges, argument);
}
