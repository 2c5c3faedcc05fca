// v62x-bench: what the tool's own work costs next to the bridge's. Every
// procedure family of the demo set runs on a simulated bridge the way
// `v62xfw run --file IMAGE` runs it (erase-only for the kind-14 chip, whose
// file check takes no file), and once more as a backup-only run. Per run it
// prints the commands sent, the bytes moved in data phases, the simulated
// device time, the CPU time of the process during the run and their ratio.
//
// The process's CPU time covers the tool and the simulator behind it (the
// bridge, its flash and its disk). The bench times the simulator's part too:
// every command inside the simulated host's pass-through, on the monotonic
// clock, which the vDSO reads in nanoseconds (the CPU clocks are system
// calls that would cost more than many commands do). The model neither
// sleeps nor waits, so that time is CPU time. The tool's share is the
// difference: the
// procedures, the command layer, the image and backup files with their
// fsyncs. The limit applies to the tool's share; the whole process's time
// is printed beside it. Each run is repeated on a fresh bridge and the
// smallest tool time kept.
//
//   v62x-bench [--repeat N] [--limit PERCENT] [--family NAME]
//
// Kept NVRAM copies go where the tool keeps them, $XDG_STATE_HOME (scripts/bench
// points it at a scratch folder); when it is not set, into the bench's own
// scratch folder, removed at the end.
// Exit status: 0 every run succeeded and stayed under the limit (1% by
// default), 1 a run failed or reached the limit, 2 usage.
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include "VirtualBridge/DemoSet.h"
#include "VirtualBridge/SimulatedHost.h"
#include "VirtualBridge/SimulationDescription.h"
#include "cli/Cli.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kUsage = "usage: v62x-bench [--repeat N] [--limit PERCENT] [--family NAME]\n";

enum class Mode { Program, Erase, Backup };

const char* ModeName(Mode mode) {
    switch (mode) {
        case Mode::Program: return "program";
        case Mode::Erase: return "erase-only";
        case Mode::Backup: return "backup-only";
    }
    return "";
}

struct Family {
    std::string name;
    const v62x::sim::DemoBridge* bridge;
    Mode write;  // the run that writes: program, or erase-only without a file
};

struct Measure {
    int status = 0;
    std::string output;
    std::size_t commands = 0;
    std::uint64_t bytes = 0;
    std::uint64_t deviceUs = 0;
    std::uint64_t cpuUs = 0;    // CLOCK_PROCESS_CPUTIME_ID: all threads, user and kernel
    std::uint64_t modelUs = 0;  // of which inside the simulated bridge
    std::uint64_t ToolUs() const { return cpuUs > modelUs ? cpuUs - modelUs : 0; }
};

std::uint64_t ProcessCpuUs() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000000u + static_cast<std::uint64_t>(ts.tv_nsec) / 1000u;
}

std::uint64_t MonotonicNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000000000u + static_cast<std::uint64_t>(ts.tv_nsec);
}

// The simulated host with a meter on the bridge's side of every command.
class MeteredHost : public v62x::sim::SimulatedHost {
public:
    v62x::HostReply PassThrough(const v62x::HostRequest& request) override {
        const std::uint64_t before = MonotonicNs();
        v62x::HostReply reply = SimulatedHost::PassThrough(request);
        modelNs += MonotonicNs() - before;
        return reply;
    }
    std::uint64_t modelNs = 0;
};

bool WriteFile(const fs::path& file, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    out.close();
    return static_cast<bool>(out);
}

// One run on a fresh bridge: only RunCli is timed, on the CPU and on the
// bridge's clock.
Measure RunOnce(const Family& family, Mode mode, const fs::path& dir) {
    Measure m;
    std::vector<v62x::sim::DeviceConfig> configs;
    std::string error;
    if (!v62x::sim::ParseSimulationDescription(family.bridge->entry, configs, error)) {
        m.status = 2;
        m.output = error;
        return m;
    }
    MeteredHost host;
    for (const auto& config : configs) host.AddDevice(config);

    const fs::path firmware = dir / family.bridge->imageName;
    const fs::path backup = dir / (family.name + ".bak");
    std::error_code ignored;
    fs::remove(backup, ignored);
    std::vector<std::string> args;
    switch (mode) {
        case Mode::Program: args = {"run", "--yes", "--file", firmware.string()}; break;
        case Mode::Erase: args = {"run", "--yes", "--erase-only"}; break;
        case Mode::Backup: args = {"run", "--backup-only", "--backup-file", backup.string()}; break;
    }

    std::ostringstream out;
    std::ostringstream err;
    const std::uint64_t startUs = host.Clock().NowUs();
    const std::uint64_t cpuBefore = ProcessCpuUs();
    m.status = v62x::RunCli(args, out, err, &host);
    const std::uint64_t cpuAfter = ProcessCpuUs();
    m.deviceUs = host.Clock().NowUs() - startUs;
    m.cpuUs = cpuAfter - cpuBefore;
    m.modelUs = host.modelNs / 1000u;
    m.commands = host.Log().size();
    for (const v62x::sim::LogEntry& entry : host.Log()) m.bytes += entry.reply.transferred;
    m.output = out.str() + err.str();
    return m;
}

std::string Grouped(std::uint64_t n) {
    const std::string digits = std::to_string(n);
    std::string text;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) text.push_back(',');
        text.push_back(digits[i]);
    }
    return text;
}

std::string Millis(std::uint64_t us) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", static_cast<double>(us) / 1000.0);
    return text;
}

struct Options {
    int repeat = 5;
    double limit = 1.0;
    std::string only;
};

int UsageError() {
    std::fputs(kUsage, stderr);
    return 2;
}

// The command line; a negative result lets the bench go on, any other is
// the exit status.
int ParseArguments(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (i + 1 >= argc) return UsageError();
        const std::string value = argv[++i];
        if (arg == "--repeat") {
            options.repeat = std::atoi(value.c_str());
        } else if (arg == "--limit") {
            options.limit = std::atof(value.c_str());
        } else if (arg == "--family") {
            options.only = value;
        } else {
            return UsageError();
        }
    }
    if (options.repeat < 1 || options.limit <= 0) return UsageError();
    return -1;
}

// The families of the demo set, or the one asked for; a negative result
// lets the bench go on, any other is the exit status.
int ChooseFamilies(const std::vector<v62x::sim::DemoBridge>& bridges, const std::string& only,
                   std::vector<Family>& families) {
    auto demo = [&](const std::string& product) -> const v62x::sim::DemoBridge* {
        for (const auto& b : bridges) {
            if (b.product == product) return &b;
        }
        return nullptr;
    };
    const std::vector<Family> all = {
        {"serial-flash", demo("Serial flash 645"), Mode::Program},
        {"standard", demo("Std flash 624"), Mode::Program},
        {"nvram-keeping", demo("NVRAM flash 641"), Mode::Program},
        {"internal-rom", demo("Internal ROM 621"), Mode::Program},
        {"page-flash", demo("Page flash 642"), Mode::Program},
        {"two-bank", demo("Two-bank 735"), Mode::Program},
        {"disk-area", demo("Disk fw 705"), Mode::Erase},
        {"735-disk-area", demo("Disk fw 735"), Mode::Program},
    };
    for (const Family& f : all) {
        if (f.bridge == nullptr) {
            std::fprintf(stderr, "v62x-bench: the demo set has no bridge for %s\n", f.name.c_str());
            return 1;
        }
        if (only.empty() || f.name == only) families.push_back(f);
    }
    if (!families.empty()) return -1;
    std::fprintf(stderr, "v62x-bench: no family named %s\n", only.c_str());
    return 2;
}

struct Tally {
    bool failed = false;
    double worst = 0;
    std::string worstRow;
};

// One table row: the best of the repeats of one run.
void MeasureRow(const Family& family, Mode mode, const Options& options, const fs::path& dir, Tally& tally) {
    Measure best;
    for (int r = 0; r < options.repeat; ++r) {
        Measure m = RunOnce(family, mode, dir);
        if (r == 0 || m.status != 0 || m.ToolUs() < best.ToolUs()) best = m;
        if (m.status != 0) break;
    }
    const double percent =
        best.deviceUs > 0 ? 100.0 * static_cast<double>(best.ToolUs()) / static_cast<double>(best.deviceUs) : 100.0;
    std::printf("%-14s %-12s %9zu %12s %12s %12s %12s %8.3f%s\n", family.name.c_str(), ModeName(mode), best.commands,
                Grouped(best.bytes).c_str(), Millis(best.deviceUs).c_str(), Millis(best.cpuUs).c_str(),
                Millis(best.ToolUs()).c_str(), percent, percent >= options.limit ? "  <- at or above the limit" : "");
    if (best.status != 0) {
        std::printf("  the run failed (exit status %d):\n", best.status);
        std::istringstream lines(best.output);
        for (std::string line; std::getline(lines, line);) std::printf("    %s\n", line.c_str());
        tally.failed = true;
    }
    if (percent >= options.limit) tally.failed = true;
    if (percent > tally.worst) {
        tally.worst = percent;
        tally.worstRow = family.name + " " + ModeName(mode);
    }
}

// The scratch folder with every family's image file in it.
bool PrepareScratch(const fs::path& dir, const std::vector<Family>& families) {
    std::error_code error;
    fs::create_directories(dir, error);
    if (error) {
        std::fprintf(stderr, "v62x-bench: %s: %s\n", dir.c_str(), error.message().c_str());
        return false;
    }
    // Kept NVRAM copies stay in the scratch folder unless a state folder is given.
    if (std::getenv("XDG_STATE_HOME") == nullptr) setenv("XDG_STATE_HOME", (dir / "state").c_str(), 1);
    for (const Family& f : families) {
        if (!WriteFile(dir / f.bridge->imageName, f.bridge->image)) {
            std::fprintf(stderr, "v62x-bench: %s: cannot be written\n", (dir / f.bridge->imageName).c_str());
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (const int status = ParseArguments(argc, argv, options); status >= 0) return status;
    std::vector<v62x::sim::DemoBridge> bridges;
    std::string why;
    if (!v62x::sim::DemoBridges(bridges, why)) {
        std::fprintf(stderr, "v62x-bench: demo set: %s\n", why.c_str());
        return 1;
    }
    std::vector<Family> families;
    if (const int status = ChooseFamilies(bridges, options.only, families); status >= 0) return status;

    const fs::path dir = fs::temp_directory_path() / ("v62x-bench." + std::to_string(::getpid()));
    std::error_code error;
    if (!PrepareScratch(dir, families)) {
        fs::remove_all(dir, error);
        return 1;
    }
    std::printf("%-14s %-12s %9s %12s %12s %12s %12s %8s\n", "family", "run", "commands", "bytes", "device ms",
                "process ms", "tool CPU ms", "tool %");
    Tally tally;
    for (const Family& f : families) {
        for (Mode mode : {f.write, Mode::Backup}) MeasureRow(f, mode, options, dir, tally);
    }
    fs::remove_all(dir, error);
    std::fflush(stdout);

    if (tally.failed) {
        std::printf("FAILED: a run failed or the tool's CPU reached %.3g%% of the device time (worst: %s, %.3f%%)\n",
                    options.limit, tally.worstRow.c_str(), tally.worst);
        return 1;
    }
    std::printf("OK: every run kept the tool's CPU under %.3g%% of the device time (worst: %s, %.3f%%)\n",
                options.limit, tally.worstRow.c_str(), tally.worst);
    return 0;
}
