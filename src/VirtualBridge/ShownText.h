// User-given text as the simulator's error messages quote it.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

namespace v62x::sim {

// Control bytes are written as \xHH so that they cannot act on a terminal,
// and text longer than `limit` bytes is cut there (never inside a UTF-8
// character) and marked with "...".
inline std::string Shown(const std::string& text, std::size_t limit = 40) {
    std::size_t end = text.size();
    if (end > limit) {
        end = limit;
        while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    }
    std::string shown;
    for (std::size_t i = 0; i < end; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c == 0x7F) {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            shown += escaped;
        } else {
            shown += static_cast<char>(c);
        }
    }
    if (end < text.size()) shown += "...";
    return shown;
}

// A file name in a message: escaped as Shown, cut only when it is very long.
inline std::string ShownPath(const std::string& path) { return Shown(path, 160); }

}  // namespace v62x::sim
