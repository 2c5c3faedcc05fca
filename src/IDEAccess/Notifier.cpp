#include "IDEAccess/Notifier.h"

#include <cstdio>
#include <cstdlib>
#include <utility>

#include "IDEAccess/Host.h"

namespace v62x {
namespace {

MessageNotifier& Installed() {
    static MessageNotifier notifier;
    return notifier;
}

}  // namespace

void SetMessageNotifier(MessageNotifier notifier) { Installed() = std::move(notifier); }

void NotifyOperator(const OperatorMessage& message) {
    if (Installed()) {
        Installed()(message);
        return;
    }
    CurrentHost().Trace(message.title + ": " + message.text);
}

void RequireOrAbort(bool condition, const char* conditionText) {
    if (condition) return;
    std::fprintf(stderr, "Assertion failed: %s\n", conditionText);
    std::fflush(stderr);
    std::abort();
}

}  // namespace v62x
