#include "usbbridge/Serving.h"

#include <endian.h>
#include <linux/usb/functionfs.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

namespace v62x::usb {
namespace {

void Interrupted(int) {}

// Transactions that may fail in a row (endpoint trouble that does not
// block) before serving gives up; with the pause after each, about 10 s.
constexpr int kMaxFailuresInARow = 1000;
constexpr auto kPauseAfterFailure = std::chrono::milliseconds(10);
// The time a restarting bridge stays off the bus.
constexpr auto kRestartPause = std::chrono::milliseconds(300);

// The bulk endpoints as one transaction may use them: once ep0 asked for a
// reset the transaction is over, and nothing more moves for it.
class TransactionEndpoints : public BulkEndpoints {
public:
    TransactionEndpoints(BulkEndpoints& inner, const std::atomic<unsigned>& resets, unsigned seen,
                         const std::atomic<bool>& stop)
        : inner_(inner), resets_(resets), seen_(seen), stop_(stop) {}

    long Receive(std::span<std::uint8_t> buffer) override {
        return Over() ? -ECONNRESET : inner_.Receive(buffer);
    }
    long Send(std::span<const std::uint8_t> bytes) override {
        return Over() ? -ECONNRESET : inner_.Send(bytes);
    }
    void HaltIn() override {
        if (!Over()) inner_.HaltIn();
    }
    void HaltOut() override {
        if (!Over()) inner_.HaltOut();
    }

private:
    bool Over() const { return stop_ || resets_ != seen_; }

    BulkEndpoints& inner_;
    const std::atomic<unsigned>& resets_;
    const unsigned seen_;
    const std::atomic<bool>& stop_;
};

std::string Hex(std::span<const std::uint8_t> bytes) {
    std::string text;
    char byte[16];
    for (std::uint8_t b : bytes) {
        std::snprintf(byte, sizeof byte, "%s%02X", text.empty() ? "" : " ", b);
        text += byte;
    }
    return text;
}

std::string Describe(const CommandBlock& block, const ServedCommand& served) {
    static const char* const kStatus[] = {"passed", "failed", "phase error"};
    std::string line = Hex(std::span<const std::uint8_t>(block.cdb.data(), block.cdbLength));
    line += block.dataLength == 0 ? ", no data" : (block.dataIn ? ", in " : ", out ") + std::to_string(block.dataLength);
    line += std::string(" -> ") + kStatus[static_cast<int>(served.status)];
    if (served.residue > 0) line += ", residue " + std::to_string(served.residue);
    if (served.status != CommandStatus::Passed) {
        char sense[40];
        std::snprintf(sense, sizeof sense, ", sense %02X/%02X/%02X", served.sense.key, served.sense.asc,
                      served.sense.ascq);
        line += sense;
    }
    return line;
}

}  // namespace

void InstallInterruptHandler() {
    struct sigaction action {};
    action.sa_handler = Interrupted;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: a blocked transfer returns EINTR
    ::sigaction(kInterruptSignal, &action, nullptr);
}

std::uint64_t SharedHost::ElapsedUs() const {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                          std::chrono::steady_clock::now() - start_)
                                          .count());
}

void SharedHost::Log(const std::string& line) const {
    const std::string whole = line + "\n";
    const ssize_t ignored = ::write(STDERR_FILENO, whole.data(), whole.size());
    (void)ignored;
}

void SharedHost::Fail(const std::string& line) {
    Log(line);
    failed_ = true;
}

GadgetService::GadgetService(SharedHost& shared, Gadget& gadget, CommandServer& server,
                             std::string udc, int entry)
    : shared_(shared), gadget_(gadget), server_(server), udc_(std::move(udc)), entry_(entry) {}

std::string GadgetService::Prefix() const {
    return "v62x-usb-bridge: entry " + std::to_string(entry_) + ": ";
}

void GadgetService::Start() {
    // The bulk thread first: the ep0 thread signals it.
    bulk_ = std::thread([this] {
        BulkLoop();
        bulkDone_ = true;
    });
    ep0_ = std::thread([this] {
        Ep0Loop();
        ep0Done_ = true;
    });
}

void GadgetService::Stop() {
    if (!ep0_.joinable() && !bulk_.joinable()) return;
    {
        const std::lock_guard<std::mutex> lock(waitMutex_);
        stop_ = true;
    }
    wake_.notify_all();
    // A signal that lands just before a thread blocks is lost: repeat it
    // until both are out.
    while (!ep0Done_ || !bulkDone_) {
        if (!ep0Done_ && ep0_.joinable()) ::pthread_kill(ep0_.native_handle(), kInterruptSignal);
        if (!bulkDone_ && bulk_.joinable()) ::pthread_kill(bulk_.native_handle(), kInterruptSignal);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (ep0_.joinable()) ep0_.join();
    if (bulk_.joinable()) bulk_.join();
}

bool GadgetService::WaitForStop(std::chrono::milliseconds time) {
    std::unique_lock<std::mutex> lock(waitMutex_);
    return wake_.wait_for(lock, time, [this] { return stop_.load(); });
}

void GadgetService::ResetBulk() {
    const unsigned wanted = ++resets_;
    // The bulk thread takes the reset in before its next transfer, or
    // breaks out of the one it is blocked in; the signal is repeated in case
    // it landed just before the thread blocked. A thread away from the
    // endpoints (a restart's pause) takes it in later.
    for (int i = 0; i < 50 && resetsSeen_ != wanted && !stop_ && !bulkDone_; ++i) {
        ::pthread_kill(bulk_.native_handle(), kInterruptSignal);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

void GadgetService::Ep0Loop() {
    FunctionFsFiles& files = gadget_.files();
    std::array<usb_functionfs_event, 4> events{};
    int failuresInARow = 0;
    while (!stop_) {
        const ssize_t n = ::read(files.ep0(), events.data(), sizeof events);
        const int error = n < 0 ? errno : 0;
        // EIDRM: a control request was cancelled before its answer (a new
        // one came, or the host went); the next read brings events again.
        if (error == EINTR || error == EIDRM) continue;
        const std::size_t count = n > 0 ? static_cast<std::size_t>(n) / sizeof(usb_functionfs_event) : 0;
        if (count == 0) {
            if (++failuresInARow >= kMaxFailuresInARow) {
                shared_.Fail(Prefix() + "reading ep0 events keeps failing: " +
                             (error != 0 ? std::strerror(error) : "no event"));
                return;
            }
            if (WaitForStop(kPauseAfterFailure)) return;
            continue;
        }
        failuresInARow = 0;
        for (std::size_t i = 0; i < count && i < events.size(); ++i) {
            const usb_functionfs_event& event = events[i];
            switch (event.type) {
            case FUNCTIONFS_SETUP: {
                const usb_ctrlrequest& setup = event.u.setup;
                const ControlAnswer answer = AnswerControlRequest(
                    setup.bRequestType, setup.bRequest, le16toh(setup.wValue), le16toh(setup.wLength));
                if (answer.resetBulk) {
                    if (shared_.verbose()) shared_.Log(Prefix() + "Bulk-Only reset");
                    ResetBulk();
                }
                files.Answer(answer, (setup.bRequestType & USB_DIR_IN) != 0);
                break;
            }
            case FUNCTIONFS_UNBIND:
            case FUNCTIONFS_DISABLE:
                // The host is gone or chose another configuration: a
                // transaction under way is over.
                if (shared_.verbose()) {
                    shared_.Log(Prefix() + (event.type == FUNCTIONFS_UNBIND ? "unbound" : "disabled"));
                }
                ResetBulk();
                break;
            case FUNCTIONFS_BIND:
            case FUNCTIONFS_ENABLE:
                if (shared_.verbose()) {
                    shared_.Log(Prefix() + (event.type == FUNCTIONFS_BIND ? "bound" : "enabled"));
                }
                break;
            case FUNCTIONFS_SUSPEND:
            case FUNCTIONFS_RESUME:
            default:
                break;
            }
        }
    }
}

void GadgetService::BulkLoop() {
    FunctionFsFiles& files = gadget_.files();
    int failuresInARow = 0;
    while (!stop_) {
        const unsigned seen = resets_;
        resetsSeen_ = seen;
        TransactionEndpoints endpoints(files, resets_, seen, stop_);
        const Transaction t = RunTransaction(
            endpoints, [this](const CommandBlock& block, std::span<const std::uint8_t> dataOut) {
                const std::lock_guard<std::mutex> lock(shared_.mutex());
                ServedCommand served = server_.Serve(block, dataOut, shared_.ElapsedUs());
                if (shared_.verbose()) shared_.Log(Prefix() + Describe(block, served));
                return served;
            });

        if (t.served && t.served->gone) {
            shared_.Log(Prefix() + "the device left (its cable is pulled): it stays off the bus");
            gadget_.Unbind();
            std::unique_lock<std::mutex> lock(waitMutex_);
            wake_.wait(lock, [this] { return stop_.load(); });
            return;
        }
        if (t.served && t.served->restart) {
            if (shared_.verbose()) shared_.Log(Prefix() + "the bridge restarts: off the bus for a moment");
            gadget_.Unbind();
            if (WaitForStop(kRestartPause)) return;
            std::string error;
            if (!gadget_.Bind(udc_, error)) {
                shared_.Fail(Prefix() + error);
                return;
            }
        }

        switch (t.end) {
        case Transaction::End::Served:
            failuresInARow = 0;
            break;
        case Transaction::End::Invalid:
            if (shared_.verbose()) shared_.Log(Prefix() + "invalid command block: both endpoints halted");
            break;
        case Transaction::End::Broken:
            // Interrupted or reset: at once to the next block. Otherwise the
            // endpoint is disabled (the next transfer waits for the host) or
            // in trouble: a pause, and a limit.
            if (t.error == EINTR || t.error == ECONNRESET) break;
            if (shared_.verbose()) shared_.Log(Prefix() + "bulk transfer: " + std::strerror(t.error));
            if (++failuresInARow >= kMaxFailuresInARow) {
                shared_.Fail(Prefix() + "bulk transfers keep failing: " + std::strerror(t.error));
                return;
            }
            if (WaitForStop(kPauseAfterFailure)) return;
            break;
        }
    }
}

}  // namespace v62x::usb
