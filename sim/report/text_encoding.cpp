#include "sim/report/text_encoding.h"

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

// The length of the valid UTF-8 sequence at the start of text and the
// character it encodes; 0 when the text does not start with one (a stray
// continuation byte, a cut-off sequence, an overlong form, a surrogate or a
// number above U+10FFFF).
std::size_t DecodeUtf8(std::string_view text, char32_t* character) {
    const auto byte = [&text](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    if (lead < 0x80) {
        *character = lead;
        return 1;
    }
    std::size_t length = 0;
    char32_t value = 0;
    char32_t smallest = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        value = lead & 0x1Fu;
        smallest = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        value = lead & 0x0Fu;
        smallest = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        value = lead & 0x07u;
        smallest = 0x10000;
    } else {
        return 0;
    }
    if (text.size() < length) return 0;
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80) return 0;
        value = value << 6 | (byte(i) & 0x3Fu);
    }
    if (value < smallest || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
    *character = value;
    return length;
}

bool IsControl(char32_t character) {
    return character < 0x20 || (character >= 0x7F && character <= 0x9F);
}

}  // namespace

std::string VisibleText(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    while (!text.empty()) {
        char32_t character = 0;
        std::size_t length = DecodeUtf8(text, &character);
        if (length == 0) {
            AppendEscape(&out, static_cast<unsigned char>(text.front()));
            length = 1;
        } else if (IsControl(character)) {
            AppendEscape(&out, static_cast<unsigned char>(character));
        } else {
            out.append(text.data(), length);
        }
        text.remove_prefix(length);
    }
    return out;
}

std::string BytesAsLatin1(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (unsigned char c : bytes) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            out += static_cast<char>(0xC0 | c >> 6);
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

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
