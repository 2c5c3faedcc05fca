// Serving gadgets: per gadget one thread on ep0 (events and control
// requests) and one on the bulk endpoints (transactions), the latter
// broken out of a blocked transfer by kInterruptSignal when the host
// resets the transport, the function is disabled or serving stops.
#pragma once

#include <pthread.h>

#include <atomic>
#include <csignal>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "usbbridge/CommandServer.h"
#include "usbbridge/Gadget.h"

namespace v62x::usb {

// Breaks a thread out of a blocked FunctionFS transfer. Its handler does
// nothing and is installed without SA_RESTART (InstallInterruptHandler).
constexpr int kInterruptSignal = SIGUSR1;
void InstallInterruptHandler();

// What every gadget's threads share: the one simulated host and its lock,
// when serving began, the log.
class SharedHost {
public:
    explicit SharedHost(bool verbose) : verbose_(verbose) {}

    std::mutex& mutex() { return mutex_; }
    // Real microseconds since serving began.
    std::uint64_t ElapsedUs() const;
    bool verbose() const { return verbose_; }
    // One line to standard error, whole.
    void Log(const std::string& line) const;
    // A gadget could not go on: the program stops and fails.
    void Fail(const std::string& line);
    bool failed() const { return failed_; }

private:
    std::mutex mutex_;
    const std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    const bool verbose_;
    std::atomic<bool> failed_{false};
};

class GadgetService {
public:
    // `entry` numbers the gadget in messages; `udc` is its controller.
    GadgetService(SharedHost& shared, Gadget& gadget, CommandServer& server, std::string udc,
                  int entry);
    ~GadgetService() { Stop(); }
    GadgetService(const GadgetService&) = delete;
    GadgetService& operator=(const GadgetService&) = delete;

    void Start();
    // Stops both threads and waits for them; the gadget stays as it is.
    void Stop();

private:
    void Ep0Loop();
    void BulkLoop();
    // Makes the bulk thread drop its transaction and wait for a new block.
    void ResetBulk();
    // Waits up to `time` unless serving stops first; true when it stops.
    bool WaitForStop(std::chrono::milliseconds time);
    std::string Prefix() const;

    SharedHost& shared_;
    Gadget& gadget_;
    CommandServer& server_;
    const std::string udc_;
    const int entry_;

    std::atomic<bool> stop_{false};
    std::atomic<unsigned> resets_{0};      // resets asked for by ep0
    std::atomic<unsigned> resetsSeen_{0};  // resets the bulk thread has taken in
    std::atomic<bool> ep0Done_{false};
    std::atomic<bool> bulkDone_{false};
    std::mutex waitMutex_;
    std::condition_variable wake_;
    std::thread ep0_;
    std::thread bulk_;
};

}  // namespace v62x::usb
