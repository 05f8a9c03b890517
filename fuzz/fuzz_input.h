// What the fuzz targets share: turning libFuzzer's bytes into the inputs
// the parsers take, and stopping the run when a checked property fails.
#ifndef KESTROW_FUZZ_FUZZ_INPUT_H
#define KESTROW_FUZZ_FUZZ_INPUT_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

namespace kestrow_fuzz {

// The code pages an input can ask for: the Western one and the four
// double-byte ones Windows 98 ships, so lead and trail bytes get exercised.
constexpr unsigned kCodePages[] = {1252, 932, 936, 949, 950};

inline unsigned CodePageFromByte(std::uint8_t byte) {
    return kCodePages[byte % (sizeof kCodePages / sizeof kCodePages[0])];
}

// Bytes copied into a heap block of exactly their size, so that
// AddressSanitizer reports a parser that reads one byte too far. With a
// terminator the block also holds the NUL, and the text stops at the first
// NUL of the input: a C string parser must not look past it.
class ExactBytes {
public:
    static ExactBytes CString(const std::uint8_t* data, std::size_t size) {
        const void* nul = std::memchr(data, 0, size);
        std::size_t length = nul == nullptr ? size : static_cast<const std::uint8_t*>(nul) - data;
        ExactBytes bytes(data, length, length + 1);
        bytes.block_[length] = '\0';
        return bytes;
    }
    static ExactBytes Text(const std::uint8_t* data, std::size_t size) {
        return ExactBytes(data, size, size);
    }

    const char* begin() const { return block_.get(); }
    const char* end() const { return block_.get() + size_; }  // the terminator, if any
    std::size_t size() const { return size_; }
    std::string_view view() const { return std::string_view(begin(), size_); }

private:
    ExactBytes(const std::uint8_t* data, std::size_t size, std::size_t blockSize)
        : block_(new char[blockSize]), size_(size) {
        if (size > 0) std::memcpy(block_.get(), data, size);
    }

    std::unique_ptr<char[]> block_;
    std::size_t size_;
};

// Stops the run with a message: libFuzzer saves the input as a crash.
[[noreturn]] inline void PropertyFailed(const char* file, int line, const char* what) {
    std::fprintf(stderr, "%s:%d: property violated: %s\n", file, line, what);
    std::abort();
}

}  // namespace kestrow_fuzz

#define FUZZ_REQUIRE(condition) \
    ((condition) ? (void)0 : ::kestrow_fuzz::PropertyFailed(__FILE__, __LINE__, #condition))

#endif
