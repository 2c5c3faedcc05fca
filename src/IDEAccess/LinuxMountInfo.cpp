#include "IDEAccess/LinuxMountInfo.h"

#include <charconv>
#include <cstddef>
#include <string_view>
#include <utility>

namespace v62x {
namespace {

bool IsOctal(char c) { return c >= '0' && c <= '7'; }

// The kernel writes space, tab, newline and backslash in names as a
// backslash and three octal digits; anything else stays as it is.
std::string Unescape(std::string_view field) {
    std::string out;
    out.reserve(field.size());
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() && IsOctal(field[i + 1]) &&
            IsOctal(field[i + 2]) && IsOctal(field[i + 3])) {
            const int value =
                (field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0');
            if (value <= 0xFF) {
                out.push_back(static_cast<char>(value));
                i += 3;
                continue;
            }
        }
        out.push_back(field[i]);
    }
    return out;
}

// Fields are separated by single spaces (names never contain a raw space).
std::vector<std::string_view> SplitFields(std::string_view line) {
    std::vector<std::string_view> fields;
    std::size_t start = 0;
    while (true) {
        const std::size_t space = line.find(' ', start);
        fields.push_back(
            line.substr(start, space == std::string_view::npos ? space : space - start));
        if (space == std::string_view::npos) break;
        start = space + 1;
    }
    return fields;
}

bool ParseUnsigned(std::string_view text, unsigned& value) {
    if (text.empty()) return false;
    const char* end = text.data() + text.size();
    const auto result = std::from_chars(text.data(), end, value);
    return result.ec == std::errc() && result.ptr == end;
}

bool ParseDeviceNumber(std::string_view text, unsigned& major, unsigned& minor) {
    const std::size_t colon = text.find(':');
    if (colon == std::string_view::npos) return false;
    return ParseUnsigned(text.substr(0, colon), major) &&
           ParseUnsigned(text.substr(colon + 1), minor);
}

bool ParseLine(std::string_view line, MountInfoEntry& entry) {
    const std::vector<std::string_view> fields = SplitFields(line);
    // id parent major:minor root mountpoint options: six fixed fields, then
    // any number of optional fields up to the lone "-".
    constexpr std::size_t kFixedFields = 6;
    std::size_t separator = kFixedFields;
    while (separator < fields.size() && fields[separator] != "-") {
        ++separator;
    }
    // After the separator: file system type and source (super options may
    // be missing on old kernels).
    if (fields.size() < separator + 3) {
        return false;
    }
    unsigned id = 0;
    unsigned parent = 0;
    if (!ParseUnsigned(fields[0], id) || !ParseUnsigned(fields[1], parent) ||
        !ParseDeviceNumber(fields[2], entry.major, entry.minor)) {
        return false;
    }
    if (fields[4].empty() || fields[separator + 1].empty()) {
        return false;
    }
    entry.mountPoint = Unescape(fields[4]);
    entry.fsType = Unescape(fields[separator + 1]);
    entry.source = Unescape(fields[separator + 2]);
    return true;
}

}  // namespace

std::vector<MountInfoEntry> ParseMountInfo(const std::string& text) {
    std::vector<MountInfoEntry> entries;
    std::string_view rest(text);
    while (!rest.empty()) {
        const std::size_t newline = rest.find('\n');
        std::string_view line = rest.substr(0, newline);
        rest = newline == std::string_view::npos ? std::string_view() : rest.substr(newline + 1);
        MountInfoEntry entry;
        if (ParseLine(line, entry)) {
            entries.push_back(std::move(entry));
        }
    }
    return entries;
}

}  // namespace v62x
