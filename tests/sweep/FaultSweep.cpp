// The fault sweep: every procedure family of the demo set, run the way a
// user runs it (v62xfw on a simulated bridge whose firmware store lives in
// an image file), with one fault at command k of the program, for every
// fault kind and every k (sampled evenly when a budget is given). After each
// faulted run a fresh program lists the bridge and runs the procedure again.
//
// What must hold after every faulted run:
//   (a) success only when the bridge holds exactly what a clean run leaves
//       (and, for a backup, the file holds exactly what a clean backup holds);
//       a failed backup leaves the previous backup file as it was;
//   (b) the bridge is listed again;
//   (c) the fresh re-run succeeds and leaves the clean result (the kept
//       NVRAM aside, which (d) covers);
//   (d) the bridge's NVRAM is on the bridge, or in the saved copy the
//       faulted run's output names.
//
// Usage: v62x_fault_sweep [--family NAME] [--budget N] [--mode program|erase|backup]
// budget 0 runs every k. Exit status 0 when every count above is zero.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <unistd.h>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "VirtualBridge/DemoSet.h"
#include "cli/HostChoice.h"
#include "VirtualBridge/SimulatedHost.h"
#include "cli/Cli.h"

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

namespace {

struct Region {
    std::size_t at;
    std::size_t size;
};

struct Family {
    std::string name;
    std::string entry;   // V62X_SIMULATE entry without image= and fault=
    Bytes firmware;      // the image a program run writes
    std::vector<Region> nvram;  // the NVRAM the family keeps
    std::vector<std::string> modes;
};

enum class Mode { Program, Erase, Backup };

Mode ModeOf(const std::string& name) {
    if (name == "erase") return Mode::Erase;
    if (name == "backup") return Mode::Backup;
    return Mode::Program;
}

const char* const kFaultKinds[] = {"cut", "transport", "check", "short", "shortwrite"};

Bytes ReadFile(const fs::path& file) {
    std::ifstream in(file, std::ios::binary | std::ios::ate);
    if (!in) return {};
    Bytes bytes(static_cast<std::size_t>(in.tellg()));
    in.seekg(0);
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return bytes;
}

void WriteFile(const fs::path& file, const Bytes& bytes) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// One program run: the host v62xfw would choose, the command line, and the
// image files written back at its end.
struct Outcome {
    int status = 0;
    std::string output;  // standard output and standard error
    std::size_t commands = 0;
};

Outcome Program(const std::string& simulate, const std::vector<std::string>& args) {
    Outcome outcome;
    v62x::HostChoice choice = v62x::ChooseHost(simulate.c_str());
    if (!choice.host) {
        outcome.status = 2;
        outcome.output = choice.error;
        return outcome;
    }
    std::ostringstream out;
    std::ostringstream err;
    outcome.status = v62x::RunCli(args, out, err, choice.host.get());
    std::string error;
    if (!v62x::SaveSimulatedStores(*choice.host, error)) {
        err << error << '\n';
        if (outcome.status == 0) outcome.status = 1;
    }
    if (auto* sim = dynamic_cast<v62x::sim::SimulatedHost*>(choice.host.get())) outcome.commands = sim->Log().size();
    outcome.output = out.str() + err.str();
    return outcome;
}

Bytes Slice(const Bytes& bytes, const Region& r) {
    if (r.at + r.size > bytes.size()) return {};
    return Bytes(bytes.begin() + static_cast<long>(r.at), bytes.begin() + static_cast<long>(r.at + r.size));
}

// Equal outside the NVRAM regions.
bool SameBeyondNvram(Bytes a, Bytes b, const std::vector<Region>& nvram) {
    if (a.size() != b.size()) return false;
    for (const Region& r : nvram) {
        std::fill_n(a.begin() + static_cast<long>(r.at), r.size, 0);
        std::fill_n(b.begin() + static_cast<long>(r.at), r.size, 0);
    }
    return a == b;
}

// The NVRAM copies an output names.
std::vector<std::string> SavedCopies(const std::string& output) {
    std::vector<std::string> files;
    static const std::regex named("saved in (\\S+\\.nvram)");
    for (std::sregex_iterator it(output.begin(), output.end(), named), end; it != end; ++it) files.push_back((*it)[1]);
    return files;
}

std::vector<std::size_t> Sample(std::size_t n, std::size_t budget) {
    std::vector<std::size_t> ks;
    if (budget == 1) return {1};
    if (budget == 0 || n <= budget) {
        for (std::size_t k = 1; k <= n; ++k) ks.push_back(k);
        return ks;
    }
    for (std::size_t i = 0; i < budget; ++i) ks.push_back(1 + i * (n - 1) / (budget - 1));
    ks.erase(std::unique(ks.begin(), ks.end()), ks.end());
    return ks;
}

struct Counts {
    std::size_t runs = 0;
    std::size_t falseSuccesses = 0;
    std::size_t nvramLosses = 0;
    std::size_t unlisted = 0;
    std::size_t failedReruns = 0;
    std::size_t lostBackups = 0;
    bool clean() const { return falseSuccesses + nvramLosses + unlisted + failedReruns + lostBackups == 0; }
};

void Report(const std::string& what, const Counts& c) {
    std::printf("%-34s runs %6zu  false successes %zu  NVRAM losses %zu  unlisted %zu  failed re-runs %zu  lost backups %zu\n",
                what.c_str(), c.runs, c.falseSuccesses, c.nvramLosses, c.unlisted, c.failedReruns, c.lostBackups);
    std::fflush(stdout);
}

class Sweep {
public:
    Sweep(const Family& family, Mode mode, const fs::path& dir) : family_(family), mode_(mode), dir_(dir) {}

    // False when the clean run does not succeed (then nothing can be judged).
    bool Prepare(std::string& why) {
        store_ = dir_ / "store.img";
        firmware_ = dir_ / "firmware.bin";
        backup_ = dir_ / "backup.bak";
        WriteFile(firmware_, family_.firmware);
        fs::remove(store_);
        // The bridge as delivered, with NVRAM settings of its own.
        const Outcome listed = Program(Simulate(""), {"list"});
        original_ = ReadFile(store_);
        if (listed.status != 0 || original_.empty()) {
            why = "the bridge cannot be listed: " + listed.output;
            return false;
        }
        for (const Region& r : family_.nvram) {
            for (std::size_t i = 0; i < r.size; ++i) original_[r.at + i] = static_cast<std::uint8_t>(0x5A ^ (i * 7));
        }
        WriteFile(store_, original_);
        WriteFile(backup_, previousBackup_);
        const Outcome clean = Program(Simulate(""), Args());
        cleanStore_ = ReadFile(store_);
        cleanBackup_ = ReadFile(backup_);
        commands_ = clean.commands;
        if (clean.status != 0) {
            why = "the clean run fails: " + clean.output;
            return false;
        }
        return true;
    }

    std::size_t Commands() const { return commands_; }

    void Run(const std::string& kind, std::size_t k, Counts& counts, bool verbose) {
        ++counts.runs;
        WriteFile(store_, original_);
        WriteFile(backup_, previousBackup_);
        const std::string fault = kind + "@" + std::to_string(k);
        const Outcome faulted = Program(Simulate(fault), Args());
        const Bytes after = ReadFile(store_);
        const Bytes backup = ReadFile(backup_);
        auto complain = [&](const char* what) {
            if (verbose) std::printf("  %s %s: %s\n    output: %s\n", family_.name.c_str(), fault.c_str(), what, faulted.output.c_str());
        };

        // (a) a success is a claim about the device (and the backup file).
        if (faulted.status == 0) {
            const bool holds = mode_ == Mode::Backup ? (after == original_ && backup == cleanBackup_) : after == cleanStore_;
            if (!holds) {
                ++counts.falseSuccesses;
                complain("success over data the device does not hold");
            }
        } else if (mode_ == Mode::Backup && backup != previousBackup_ && backup != cleanBackup_) {
            ++counts.lostBackups;
            complain("a failed backup changed the previous backup file");
        }

        // (d) the NVRAM is on the bridge, or in the copy the output names.
        for (const Region& r : family_.nvram) {
            const Bytes kept = Slice(original_, r);
            // Only what a clean run keeps can be lost.
            if (Slice(cleanStore_, r) != kept || Slice(after, r) == kept) continue;
            bool saved = false;
            for (const std::string& file : SavedCopies(faulted.output)) saved = saved || ReadFile(file) == kept;
            if (!saved) {
                ++counts.nvramLosses;
                complain("the NVRAM is neither on the bridge nor in a named copy");
            }
        }

        // (b) a fresh program lists the bridge again.
        const Outcome listed = Program(Simulate(""), {"list"});
        if (listed.status != 0 || listed.output.find("[0]") == std::string::npos) {
            ++counts.unlisted;
            complain("the bridge is not listed again");
            return;
        }

        // (c) a fresh run succeeds and leaves the clean result.
        WriteFile(backup_, previousBackup_);
        const Outcome rerun = Program(Simulate(""), Args());
        const Bytes final = ReadFile(store_);
        const bool good = rerun.status == 0 &&
                          (mode_ == Mode::Backup ? SameBeyondNvram(ReadFile(backup_), cleanBackup_, BackupNvram())
                                                 : SameBeyondNvram(final, cleanStore_, family_.nvram));
        if (!good) {
            ++counts.failedReruns;
            if (verbose) std::printf("  %s %s: the re-run fails\n    output: %s\n", family_.name.c_str(), fault.c_str(), rerun.output.c_str());
        }
    }

private:
    std::string Simulate(const std::string& fault) const {
        std::string entry = family_.entry + ",image=" + store_.string();
        if (!fault.empty()) entry += ",fault=" + fault;
        return entry;
    }

    std::vector<std::string> Args() const {
        switch (mode_) {
            case Mode::Program: return {"run", "--yes", "--file", firmware_.string()};
            case Mode::Erase: return {"run", "--yes", "--erase-only"};
            case Mode::Backup: return {"run", "--backup-only", "--backup-file", backup_.string()};
        }
        return {};
    }

    // A backup of a bridge whose NVRAM was lost differs there only.
    std::vector<Region> BackupNvram() const {
        std::vector<Region> regions;
        for (const Region& r : family_.nvram) {
            if (r.at + r.size <= cleanBackup_.size()) regions.push_back(r);
        }
        return regions;
    }

    const Family& family_;
    Mode mode_;
    fs::path dir_;
    fs::path store_, firmware_, backup_;
    Bytes original_, cleanStore_, cleanBackup_;
    const Bytes previousBackup_ = Bytes(100, 0x42);
    std::size_t commands_ = 0;
};

// A firmware image for a kind-10 bridge on an SST flash (the full-image
// procedure): its tag block at 0x80.
Bytes FullImageFirmware() {
    Bytes image(65536);
    for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<std::uint8_t>(i * 13 + 1);
    const std::uint8_t tag[] = {0xE9, 0xAC, 0x67, 0x32, '6', '4', '6', '0'};
    std::copy(std::begin(tag), std::end(tag), image.begin() + 0x80);
    return image;
}

std::vector<Family> Families() {
    std::vector<v62x::sim::DemoBridge> bridges;
    std::string why;
    if (!v62x::sim::DemoBridges(bridges, why)) {
        std::fprintf(stderr, "demo set: %s\n", why.c_str());
        return {};
    }
    const std::vector<std::string> all = {"program", "erase", "backup"};
    auto demo = [&](const std::string& code) -> const v62x::sim::DemoBridge& {
        for (const auto& b : bridges) {
            if (b.product.find(code) != std::string::npos) return b;
        }
        return bridges.front();
    };
    std::vector<Family> families = {
        {"serial-flash", demo("Serial flash").entry, demo("Serial flash").image, {{0, 4096}}, all},
        {"standard", demo("Std flash").entry, demo("Std flash").image, {}, all},
        {"nvram-keeping", demo("NVRAM flash").entry, demo("NVRAM flash").image, {{0, 4096}}, all},
        {"full-image", "bridge:kind=10,flash=SST25VF010A", FullImageFirmware(), {}, all},
        {"internal-rom", demo("Internal ROM").entry, demo("Internal ROM").image, {}, all},
        {"page-flash", demo("Page flash").entry, demo("Page flash").image, {{0x8000, 1024}}, all},
        // Both banks carry the same NVRAM, as the tool writes them.
        {"two-bank", demo("Two-bank").entry, demo("Two-bank").image, {{0xC000, 4096}, {0x1C000, 4096}}, all},
        // The window's file check takes no file for this chip: erase and backup only.
        {"disk-area", demo("Disk fw 705").entry, demo("Disk fw 705").image, {}, {"erase", "backup"}},
        {"735-disk-area", demo("Disk fw 735").entry, demo("Disk fw 735").image, {}, all},
    };
    return families;
}

}  // namespace

int main(int argc, char** argv) {
    std::string only;
    std::string onlyMode;
    std::size_t budget = 0;
    bool verbose = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--family" && i + 1 < argc) {
            only = argv[++i];
        } else if (arg == "--mode" && i + 1 < argc) {
            onlyMode = argv[++i];
        } else if (arg == "--budget" && i + 1 < argc) {
            budget = static_cast<std::size_t>(std::strtoul(argv[++i], nullptr, 10));
        } else if (arg == "--verbose") {
            verbose = true;
        } else {
            std::fprintf(stderr, "usage: v62x_fault_sweep [--family NAME] [--mode program|erase|backup] [--budget N] [--verbose]\n");
            return 2;
        }
    }

    const fs::path base = fs::temp_directory_path() / ("v62x-sweep-" + std::to_string(::getpid()));
    fs::create_directories(base / "state");
    // Kept NVRAM copies of the sweep's bridges stay in its own folder.
    ::setenv("XDG_STATE_HOME", (base / "state").c_str(), 1);

    Counts total;
    bool prepared = true;
    std::size_t families = 0;
    for (const Family& family : Families()) {
        if (!only.empty() && family.name != only) continue;
        ++families;
        for (const std::string& modeName : family.modes) {
            if (!onlyMode.empty() && modeName != onlyMode) continue;
            const fs::path dir = base / (family.name + "-" + modeName);
            fs::create_directories(dir);
            Sweep sweep(family, ModeOf(modeName), dir);
            std::string why;
            if (!sweep.Prepare(why)) {
                std::printf("%s %s: %s\n", family.name.c_str(), modeName.c_str(), why.c_str());
                prepared = false;
                continue;
            }
            Counts counts;
            for (const char* kind : kFaultKinds) {
                for (const std::size_t k : Sample(sweep.Commands(), budget)) sweep.Run(kind, k, counts, verbose);
            }
            Report(family.name + " " + modeName + " (" + std::to_string(sweep.Commands()) + " commands)", counts);
            total.runs += counts.runs;
            total.falseSuccesses += counts.falseSuccesses;
            total.nvramLosses += counts.nvramLosses;
            total.unlisted += counts.unlisted;
            total.failedReruns += counts.failedReruns;
            total.lostBackups += counts.lostBackups;
        }
    }
    Report("all", total);
    std::error_code ignored;
    fs::remove_all(base, ignored);
    if (families == 0) {
        std::fprintf(stderr, "no family named %s\n", only.c_str());
        return 2;
    }
    return prepared && total.clean() ? 0 : 1;
}
