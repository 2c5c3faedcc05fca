// Entry point of the platform tests. The process re-executes itself with the
// umockdev preload library, then moves into a private mount namespace and
// mounts an empty tmpfs on /dev: umockdev passes any path it does not know
// to the real system, and a wrong path must never reach a real disk. When
// any step fails, every test skips and the real /dev is never touched.
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "PlatformEnvironment.h"

namespace v62x::platform {
namespace {

std::string g_unavailable;

constexpr const char* kPreloadLibrary = "libumockdev-preload.so.0";
// Set before re-executing, so that a missing preload cannot loop.
constexpr const char* kReexecMarker = "V62X_PLATFORM_TESTS_REEXEC";

bool PreloadActive() {
    const char* preload = std::getenv("LD_PRELOAD");
    return preload != nullptr && std::strstr(preload, "libumockdev-preload") != nullptr;
}

std::string ErrnoText(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

bool WriteFile(const char* path, const std::string& text) {
    const int fd = ::open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ::close(fd);
    return ok;
}

// A new mount namespace: directly with CAP_SYS_ADMIN, else inside a new
// user namespace where this user is mapped to root.
std::string EnterMountNamespace() {
    if (::unshare(CLONE_NEWNS) == 0) return {};
    const std::string direct = ErrnoText("unshare(CLONE_NEWNS)");
    const uid_t uid = ::getuid();
    const gid_t gid = ::getgid();
    if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) {
        return direct + "; " + ErrnoText("unshare(CLONE_NEWUSER | CLONE_NEWNS)");
    }
    if (!WriteFile("/proc/self/setgroups", "deny") ||
        !WriteFile("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") ||
        !WriteFile("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1")) {
        return ErrnoText("user namespace id maps");
    }
    return {};
}

std::string IsolateDev() {
    std::string error = EnterMountNamespace();
    if (!error.empty()) return error;
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        return ErrnoText("mount --make-rprivate /");
    }
    if (::mount("v62x-test-dev", "/dev", "tmpfs", MS_NOSUID | MS_NOEXEC, "mode=0755,size=1m") !=
        0) {
        return ErrnoText("mount tmpfs on /dev");
    }
    return {};
}

}  // namespace

const std::string& UnavailableReason() { return g_unavailable; }

void SetUnavailable(const std::string& reason) { g_unavailable = reason; }

}  // namespace v62x::platform

int main(int argc, char** argv) {
    using namespace v62x::platform;
    if (!PreloadActive() && std::getenv(kReexecMarker) == nullptr) {
        std::string preload;
#ifdef V62X_ASAN_RUNTIME
        // The sanitizer runtime insists on being the first library loaded.
        preload = std::string(V62X_ASAN_RUNTIME) + ":";
#endif
        preload += kPreloadLibrary;
        if (const char* previous = std::getenv("LD_PRELOAD");
            previous != nullptr && previous[0] != '\0') {
            preload = preload + ":" + previous;
        }
        ::setenv("LD_PRELOAD", preload.c_str(), 1);
        ::setenv(kReexecMarker, "1", 1);
        ::execv("/proc/self/exe", argv);
        SetUnavailable(ErrnoText("re-executing with the umockdev preload"));
    } else if (!PreloadActive()) {
        SetUnavailable("the umockdev preload library is not active after re-executing");
    } else {
        SetUnavailable(IsolateDev());
    }

    ::testing::InitGoogleTest(&argc, argv);
    if (!UnavailableReason().empty()) {
        // ctest recognises this line and reports the test as skipped.
        std::printf("v62x platform tests skipped: %s\n", UnavailableReason().c_str());
        std::fflush(stdout);
    }
    return RUN_ALL_TESTS();
}
