// Files the tool writes that must never be half-written or cost an older
// good copy: backups of a bridge's firmware and the kept NVRAM. Each is
// written to a temporary file in the same folder, flushed to the disk and
// renamed over its name, so that a failure at any step leaves what was
// there before intact; nothing the writer did not create is ever removed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace v62x {

enum class SafeWrite {
    Ok,
    NotRegular,    // the name is taken by a folder, a device, a pipe, ...
    CannotCreate,  // the temporary file cannot be made in that folder
    WriteFailed,   // writing, flushing or renaming failed
};

// Writes size bytes as the whole content of `name` (mode 0644 for a new
// file; an existing file keeps its permissions).
SafeWrite WriteFileSafely(const std::string& name, const std::uint8_t* data, std::size_t size);

// A short reason for the developer trace.
std::string SafeWriteText(SafeWrite result, const std::string& name);

}  // namespace v62x
