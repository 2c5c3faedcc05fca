// Byte buffers in tests: a whole file read back, and a run cut out of a buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace v62x::test {

using Bytes = std::vector<std::uint8_t>;

// Everything in `file`; empty when it cannot be opened.
inline Bytes ReadWholeFile(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Writes `bytes` as the whole of `file`.
inline void WriteWholeFile(const std::string& file, const Bytes& bytes) {
    std::ofstream out(file, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// The `count` bytes of `b` from index `from` on.
inline Bytes Slice(const Bytes& b, std::size_t from, std::size_t count) {
    return Bytes(b.begin() + static_cast<long>(from), b.begin() + static_cast<long>(from + count));
}

}  // namespace v62x::test
