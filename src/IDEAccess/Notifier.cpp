#include "IDEAccess/Notifier.h"

#include <cstdio>
#include <cstdlib>
#include <utility>

#include "IDEAccess/CommandSession.h"

namespace v62x {
void SetMessageNotifier(MessageNotifier notifier) { CurrentSession().SetNotifier(std::move(notifier)); }

void NotifyOperator(const OperatorMessage& message) {
    const MessageNotifier& notifier = CurrentSession().notifier();
    if (notifier) {
        notifier(message);
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
