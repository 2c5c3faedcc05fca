// What the command layer works with while a program reaches devices: the
// host the commands go to, the observer that sees every request with its
// reply (traces, a run's log and counts) and the notifier that shows the
// operator's messages. These three live in one object, which the program
// creates for as long as it works with devices: the window's and the
// command line's main, the USB bridge, the benches and each test.
//
// A session stands in for the one before it until it ends, so that tests
// and tools can nest them; it starts with that session's observer and
// notifier, so a new host does not silence them. Without any session the
// commands reach a built-in host that refuses every device.
#pragma once

#include "IDEAccess/Host.h"
#include "IDEAccess/Notifier.h"
#include "IDEAccess/Transport.h"

namespace v62x {

class CommandSession {
public:
    explicit CommandSession(Host& host);
    ~CommandSession();
    CommandSession(const CommandSession&) = delete;
    CommandSession& operator=(const CommandSession&) = delete;

    Host& host() const { return host_; }
    const RequestObserver& observer() const { return observer_; }
    const MessageNotifier& notifier() const { return notifier_; }
    void SetObserver(RequestObserver observer) { observer_ = std::move(observer); }
    void SetNotifier(MessageNotifier notifier) { notifier_ = std::move(notifier); }

private:
    // The built-in session that stands when no program made one.
    struct BuiltIn {};
    CommandSession(BuiltIn, Host& host);
    friend CommandSession& CurrentSession();

    Host& host_;
    RequestObserver observer_;
    MessageNotifier notifier_;
    CommandSession* previous_ = nullptr;
    bool installed_ = false;
};

// The session the commands work in now.
CommandSession& CurrentSession();

}  // namespace v62x
