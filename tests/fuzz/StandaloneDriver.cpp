// The main() of a fuzz target where libFuzzer is not at hand (the g++
// builds of the test suite). It runs every input of the corpus folders and
// files it is given, then a fixed number of mutations of them drawn from a
// fixed seed, all in this process:
//
//   TARGET [--runs N] [--seed S] [--max-seconds T] [--skip K,...] PATH...
//
// --skip leaves out mutations by number (faults already known); the
// sequence of mutations stays the same. No single allocation may ask for
// more than 512 MiB. When a case dies, its input is written to
// TARGET-crash.bin in the working folder and the case is named on standard
// error; TARGET FILE replays it.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <new>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/common_interface_defs.h>
#endif

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kAllocationLimit = std::size_t{512} << 20;

// The case that runs, for the report when it dies.
const std::uint8_t* g_input = nullptr;
std::size_t g_inputSize = 0;
char g_caseName[512] = "";
char g_crashFile[4096] = "fuzz-crash.bin";

void Say(const char* text) { (void)!::write(2, text, std::strlen(text)); }

// Async-signal-safe: runs from signal handlers and the sanitizers' death callback.
void SaveCrashingInput() {
    static bool saved = false;
    if (saved || g_input == nullptr) return;
    saved = true;
    const int fd = ::open(g_crashFile, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) {
        (void)!::write(fd, g_input, g_inputSize);
        ::close(fd);
    }
    Say("fuzz driver: ");
    Say(g_caseName);
    Say(" died; its input is in ");
    Say(g_crashFile);
    Say("\n");
}

void OnFatalSignal(int signal) {
    SaveCrashingInput();
    ::signal(signal, SIG_DFL);
    ::raise(signal);
}

void CheckSize(std::size_t size) {
    if (size <= kAllocationLimit) return;
    char text[128];
    std::snprintf(text, sizeof text, "fuzz driver: allocation of %zu bytes, more than 512 MiB\n", size);
    Say(text);
    std::abort();
}

void* Allocate(std::size_t size, std::size_t alignment, bool nothrow) {
    CheckSize(size);
    void* block = alignment > alignof(std::max_align_t)
                      ? std::aligned_alloc(alignment, (std::max<std::size_t>(size, 1) + alignment - 1) / alignment * alignment)
                      : std::malloc(std::max<std::size_t>(size, 1));
    if (block == nullptr && !nothrow) throw std::bad_alloc();
    return block;
}

Bytes ReadFile(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void RunCase(const Bytes& input, const std::string& name) {
    std::snprintf(g_caseName, sizeof g_caseName, "%s", name.c_str());
    g_input = input.data();
    g_inputSize = input.size();
    LLVMFuzzerTestOneInput(input.data(), input.size());
    g_input = nullptr;
}

// One to four changes of the kinds a coverage-blind fuzzer relies on: bit
// flips, odd bytes, insertions, deletions, copies within the input and
// pieces of other corpus inputs.
Bytes Mutate(const std::vector<Bytes>& corpus, std::mt19937_64& random, std::size_t maxLength) {
    const auto below = [&](std::size_t n) { return n == 0 ? 0 : static_cast<std::size_t>(random() % n); };
    Bytes input = corpus[below(corpus.size())];
    const int changes = 1 + static_cast<int>(below(4));
    for (int c = 0; c < changes; ++c) {
        const Bytes& other = corpus[below(corpus.size())];
        const std::size_t at = below(input.size() + 1);
        switch (below(8)) {
            case 0:
                if (!input.empty()) input[below(input.size())] ^= static_cast<std::uint8_t>(1U << below(8));
                break;
            case 1:
                if (!input.empty()) input[below(input.size())] = static_cast<std::uint8_t>(random());
                break;
            case 2: {
                static const std::uint8_t kOdd[] = {0x00, 0x01, 0x02, 0x7F, 0x80, 0xFF, ',', ';', '=', ':'};
                if (!input.empty()) input[below(input.size())] = kOdd[below(std::size(kOdd))];
                break;
            }
            case 3:
                for (std::size_t n = 1 + below(8); n > 0; --n) {
                    input.insert(input.begin() + static_cast<long>(at), static_cast<std::uint8_t>(random()));
                }
                break;
            case 4:
                input.erase(input.begin() + static_cast<long>(at),
                            input.begin() + static_cast<long>(std::min(input.size(), at + 1 + below(16))));
                break;
            case 5: {
                const std::size_t from = below(input.size());
                const Bytes piece(input.begin() + static_cast<long>(from),
                                  input.begin() + static_cast<long>(std::min(input.size(), from + 1 + below(32))));
                input.insert(input.begin() + static_cast<long>(at), piece.begin(), piece.end());
                break;
            }
            case 6: {
                const std::size_t from = below(other.size());
                const std::size_t count = std::min(other.size() - from, 1 + below(64));
                input.insert(input.begin() + static_cast<long>(at), other.begin() + static_cast<long>(from),
                             other.begin() + static_cast<long>(from + count));
                break;
            }
            default:
                input.resize(at);
                break;
        }
    }
    if (input.size() > maxLength) input.resize(maxLength);
    return input;
}

}  // namespace

// Every allocation of the process goes through Allocate (through the wrapped
// malloc family for C allocations), so one oversized request stops the run.
void* operator new(std::size_t size) { return Allocate(size, 0, false); }
void* operator new[](std::size_t size) { return Allocate(size, 0, false); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size, 0, true); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size, 0, true); }
void* operator new(std::size_t size, std::align_val_t a) { return Allocate(size, static_cast<std::size_t>(a), false); }
void* operator new[](std::size_t size, std::align_val_t a) { return Allocate(size, static_cast<std::size_t>(a), false); }
void* operator new(std::size_t size, std::align_val_t a, const std::nothrow_t&) noexcept {
    return Allocate(size, static_cast<std::size_t>(a), true);
}
void* operator new[](std::size_t size, std::align_val_t a, const std::nothrow_t&) noexcept {
    return Allocate(size, static_cast<std::size_t>(a), true);
}
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { std::free(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { std::free(block); }
void operator delete(void* block, std::align_val_t) noexcept { std::free(block); }
void operator delete[](void* block, std::align_val_t) noexcept { std::free(block); }
void operator delete(void* block, std::size_t, std::align_val_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t, std::align_val_t) noexcept { std::free(block); }
void operator delete(void* block, std::align_val_t, const std::nothrow_t&) noexcept { std::free(block); }
void operator delete[](void* block, std::align_val_t, const std::nothrow_t&) noexcept { std::free(block); }

// The malloc family, wrapped at link time (-Wl,--wrap=...).
extern "C" {
void* __real_malloc(std::size_t size);
void* __real_calloc(std::size_t count, std::size_t size);
void* __real_realloc(void* block, std::size_t size);
void* __wrap_malloc(std::size_t size) {
    CheckSize(size);
    return __real_malloc(size);
}
void* __wrap_calloc(std::size_t count, std::size_t size) {
    CheckSize(size != 0 && count > SIZE_MAX / size ? SIZE_MAX : count * size);
    return __real_calloc(count, size);
}
void* __wrap_realloc(void* block, std::size_t size) {
    CheckSize(size);
    return __real_realloc(block, size);
}
}

int main(int argc, char** argv) {
    unsigned long runs = 0;
    unsigned long seed = 1;
    double maxSeconds = 30;
    std::set<unsigned long> skipped;
    std::vector<Bytes> corpus;
    std::vector<std::string> names;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : "";
        if (arg == "--runs") {
            runs = std::strtoul(value, nullptr, 10);
            ++i;
        } else if (arg == "--seed") {
            seed = std::strtoul(value, nullptr, 10);
            ++i;
        } else if (arg == "--max-seconds") {
            maxSeconds = std::strtod(value, nullptr);
            ++i;
        } else if (arg == "--skip") {
            std::istringstream list(value);
            for (std::string item; std::getline(list, item, ',');) skipped.insert(std::stoul(item));
            ++i;
        } else if (std::filesystem::is_directory(arg)) {
            std::vector<std::filesystem::path> files;
            for (const auto& entry : std::filesystem::directory_iterator(arg)) files.push_back(entry.path());
            std::sort(files.begin(), files.end());
            for (const auto& file : files) {
                corpus.push_back(ReadFile(file));
                names.push_back("input " + file.string());
            }
        } else if (std::filesystem::is_regular_file(arg)) {
            corpus.push_back(ReadFile(arg));
            names.push_back("input " + arg);
        } else {
            std::fprintf(stderr, "usage: %s [--runs N] [--seed S] [--max-seconds T] [--skip K,...] PATH...\n", argv[0]);
            return 2;
        }
    }
    if (corpus.empty()) {
        corpus.push_back({});
        names.push_back("the empty input");
    }

    const std::string target = std::filesystem::path(argv[0]).filename().string();
    std::snprintf(g_crashFile, sizeof g_crashFile, "%s-crash.bin", target.c_str());
#if defined(__SANITIZE_ADDRESS__)
    __sanitizer_set_death_callback(SaveCrashingInput);
#else
    for (int s : {SIGSEGV, SIGBUS, SIGFPE, SIGILL}) ::signal(s, OnFatalSignal);
#endif
    ::signal(SIGABRT, OnFatalSignal);

    const auto start = std::chrono::steady_clock::now();
    const auto elapsed = [&] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(); };
    for (std::size_t i = 0; i < corpus.size(); ++i) RunCase(corpus[i], names[i]);

    std::size_t maxLength = 4096;
    for (const Bytes& input : corpus) maxLength = std::max(maxLength, 2 * input.size());
    std::mt19937_64 random(seed);
    unsigned long done = 0;
    for (unsigned long k = 0; k < runs; ++k) {
        const Bytes input = Mutate(corpus, random, maxLength);
        if (skipped.count(k) != 0) continue;
        if (elapsed() > maxSeconds) {
            std::printf("%s: time is up after %lu of %lu mutations\n", target.c_str(), k, runs);
            break;
        }
        RunCase(input, "mutation " + std::to_string(k) + " (seed " + std::to_string(seed) + ")");
        ++done;
    }
    std::printf("%s: %zu inputs and %lu mutations in %.1f s\n", target.c_str(), corpus.size(), done, elapsed());
    return 0;
}
