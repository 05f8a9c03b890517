#include "sim/text_encoding.h"

#include <iconv.h>

#include <cerrno>
#include <cstdio>
#include <map>
#include <mutex>

namespace kestrow_sim {

namespace {

bool IsPlainAscii(std::string_view bytes) {
    for (unsigned char c : bytes) {
        if (c >= 0x80) return false;
    }
    return true;
}

void AppendEscape(std::string* out, unsigned char byte) {
    char escape[8];
    std::snprintf(escape, sizeof escape, "\\x%02X", byte);
    *out += escape;
}

// One converter per code page, opened on first use and closed when the
// process ends; (iconv_t)-1 when glibc does not know the code page.
class Converters {
public:
    ~Converters() {
        for (auto& [codePage, converter] : converters_) {
            if (converter != kNone) iconv_close(converter);
        }
    }

    iconv_t For(unsigned codePage) {
        std::lock_guard<std::mutex> guard(lock_);
        auto found = converters_.find(codePage);
        if (found != converters_.end()) return found->second;
        std::string name = "CP" + std::to_string(codePage);
        iconv_t converter = iconv_open("UTF-8", name.c_str());
        converters_.emplace(codePage, converter);
        return converter;
    }

    static inline const iconv_t kNone = reinterpret_cast<iconv_t>(-1);

private:
    std::mutex lock_;
    std::map<unsigned, iconv_t> converters_;
};

iconv_t ConverterFor(unsigned codePage) {
    static Converters converters;
    return converters.For(codePage);
}

}  // namespace

std::string CodePageToUtf8(std::string_view bytes, unsigned codePage) {
    if (IsPlainAscii(bytes)) return std::string(bytes);
    std::string out;
    iconv_t converter = ConverterFor(codePage);
    if (converter == Converters::kNone) {
        for (unsigned char c : bytes) {
            if (c < 0x80) {
                out += static_cast<char>(c);
            } else {
                AppendEscape(&out, c);
            }
        }
        return out;
    }
    iconv(converter, nullptr, nullptr, nullptr, nullptr);
    char* in = const_cast<char*>(bytes.data());
    std::size_t inLeft = bytes.size();
    char buffer[256];
    while (inLeft > 0) {
        char* outPtr = buffer;
        std::size_t outLeft = sizeof buffer;
        std::size_t done = iconv(converter, &in, &inLeft, &outPtr, &outLeft);
        out.append(buffer, static_cast<std::size_t>(outPtr - buffer));
        if (done != static_cast<std::size_t>(-1)) continue;
        if (errno == E2BIG) continue;
        // An undefined or cut-off sequence: show its first byte and go on
        // with the next one.
        AppendEscape(&out, static_cast<unsigned char>(*in));
        ++in;
        --inLeft;
        iconv(converter, nullptr, nullptr, nullptr, nullptr);
    }
    return out;
}

}  // namespace kestrow_sim
