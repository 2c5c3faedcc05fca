// Messages the device unit must show the operator (a failed chip
// information read, a firmware file that cannot be opened). The window
// installs a notifier that shows a modal box; the command-line tool one that
// prints. The device unit itself never touches a window.
#pragma once

#include <functional>
#include <string>

namespace v62x {

enum class MessageIcon { None, Information, Warning, Error };

struct OperatorMessage {
    std::string title;  // "Message" or "Error"
    std::string text;
    MessageIcon icon = MessageIcon::None;
};

using MessageNotifier = std::function<void(const OperatorMessage&)>;

// Replaces the command session's notifier; an empty function restores the
// default, which writes the message to the host's developer trace.
void SetMessageNotifier(MessageNotifier notifier);
void NotifyOperator(const OperatorMessage& message);

// Checks a precondition a command places on its caller. A violation is a
// programming fault: the condition's text goes to standard error and the
// program stops before anything is sent to a device.
void RequireOrAbort(bool condition, const char* conditionText);

}  // namespace v62x
