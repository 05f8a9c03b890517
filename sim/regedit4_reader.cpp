// Reading REGEDIT4 text into a RegistryTree.
//
// The text is parsed twice by the same parser: first with a sink that does
// nothing, which finds any error before the tree is touched, then with a
// sink that applies each key and value to the tree. Tree operations cannot
// fail once the text is known to be good, so the tree is either changed as
// the whole file says or not at all, without holding a list of operations
// (which would cost about as much memory as the tree itself).
#include "sim/regedit4.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <array>
#include <cassert>
#include <cerrno>
#include <cstdint>
#include <cstring>

namespace platform::sim {

namespace {

constexpr std::string_view kHeader = "REGEDIT4";
constexpr std::string_view kUnicodeHeader = "Windows Registry Editor Version";
constexpr std::string_view kUnicodeExportHint =
    "this is a Windows 2000/XP export ('Windows Registry Editor Version 5.00'), not REGEDIT4; "
    "export it as 'Win9x/NT4 Registration Files' or from Windows 98/Me";
// Deeper paths are refused, so that no file can build a tree whose
// recursive walks run out of stack. Windows limits keys to fewer levels.
constexpr std::size_t kMaxKeyDepth = 512;
constexpr std::size_t kExcerptBytes = 40;

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::size_t SkipBlanks(std::string_view line, std::size_t pos) {
    while (pos < line.size() && IsBlank(line[pos])) ++pos;
    return pos;
}

std::string_view TrimTrailingBlanks(std::string_view text) {
    while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
    return text;
}

constexpr std::array<std::int8_t, 256> MakeHexDigitTable() {
    std::array<std::int8_t, 256> table{};
    for (auto& entry : table) entry = -1;
    for (int i = 0; i < 10; ++i) table['0' + i] = static_cast<std::int8_t>(i);
    for (int i = 0; i < 6; ++i) {
        table['a' + i] = static_cast<std::int8_t>(10 + i);
        table['A' + i] = static_cast<std::int8_t>(10 + i);
    }
    return table;
}
constexpr std::array<std::int8_t, 256> kHexDigit = MakeHexDigitTable();

int HexDigit(char c) { return kHexDigit[static_cast<unsigned char>(c)]; }

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        char a = text[i];
        if (a >= 'A' && a <= 'Z') a = static_cast<char>(a - 'A' + 'a');
        if (a != prefix[i]) return false;  // prefixes are given in lower case
    }
    return true;
}

bool EqualsAsciiNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i];
        char y = b[i];
        if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
        if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 'a' + 'A');
        if (x != y) return false;
    }
    return true;
}

// At most kExcerptBytes of output: printable ASCII as it is, other bytes as
// \xNN, and "..." when the text was cut.
std::string Excerpt(std::string_view text) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    std::size_t i = 0;
    for (; i < text.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        bool printable = c >= 0x20 && c < 0x7f;
        std::size_t width = printable ? 1 : 4;
        if (out.size() + width > kExcerptBytes) break;
        if (printable) {
            out += static_cast<char>(c);
        } else {
            out += "\\x";
            out += kDigits[c >> 4];
            out += kDigits[c & 15];
        }
    }
    if (i < text.size()) out += "...";
    return out;
}

// Receives nothing: used for the checking pass.
class NullSink {
public:
    void OpenKey(std::size_t, const std::vector<std::string_view>&) {}
    void DeleteKey(std::size_t, const std::vector<std::string_view>&) {}
    void SetValue(std::string_view, std::uint32_t, const std::vector<std::uint8_t>&) {}
    void DeleteValue(std::string_view) {}
};

// Applies the parsed lines to a tree.
class TreeSink {
public:
    explicit TreeSink(RegistryTree* tree) {
        const std::vector<std::string>& names = RegistryTree::RootNames();
        for (const std::string& name : names) roots_.push_back(tree->Root(name));
    }

    void OpenKey(std::size_t root, const std::vector<std::string_view>& names) {
        // Exports list keys depth-first, so a key's path mostly repeats the
        // previous one's: the keys on that path are remembered by the exact
        // bytes of their names, and only the rest is looked up or created.
        if (root != cachedRoot_) {
            chain_.clear();
            cachedRoot_ = root;
        }
        RegistryKey* key = roots_[root];
        for (std::size_t i = 0; i < names.size(); ++i) {
            if (i < chain_.size() && chain_[i].name == names[i]) {
                key = chain_[i].key;
                continue;
            }
            chain_.resize(i);
            key = key->CreateSubkey(names[i]);
            chain_.push_back(CachedKey{names[i], key});
        }
        current_ = key;
    }

    void DeleteKey(std::size_t root, const std::vector<std::string_view>& names) {
        chain_.clear();
        current_ = nullptr;
        RegistryKey* parent = roots_[root];
        for (std::size_t i = 0; parent != nullptr && i + 1 < names.size(); ++i) {
            parent = parent->FindSubkey(names[i]);
        }
        if (parent != nullptr) parent->RemoveSubkey(names.back());
    }

    void SetValue(std::string_view name, std::uint32_t type,
                  const std::vector<std::uint8_t>& data) {
        current_->SetValue(name, type, std::vector<std::uint8_t>(data.begin(), data.end()));
    }

    void DeleteValue(std::string_view name) { current_->RemoveValue(name); }

private:
    struct CachedKey {
        std::string_view name;  // as the file spells it
        RegistryKey* key;
    };
    std::vector<RegistryKey*> roots_;
    std::size_t cachedRoot_ = SIZE_MAX;
    std::vector<CachedKey> chain_;
    RegistryKey* current_ = nullptr;
};

template <class Sink>
class Parser {
public:
    Parser(std::string_view text, const CodePage& codePage, Sink* sink) : text_(text), sink_(sink) {
        for (unsigned b = 0; b < 256; ++b) {
            lead_[b] = codePage.IsLeadByte(static_cast<unsigned char>(b));
            special_[b] = lead_[b] || b == '"' || b == '\\';
        }
    }

    bool Run(Regedit4Error* error) {
        bool ok = ParseText();
        if (!ok && error != nullptr) *error = std::move(error_);
        return ok;
    }

private:
    enum class Section { kNone, kKey, kDeletedKey };

    bool ParseText() {
        std::string_view line;
        if (!NextLine(&line)) {
            return FailFile(1, "empty file; a REGEDIT4 file starts with the line REGEDIT4");
        }
        if (TrimTrailingBlanks(line) != kHeader) {
            if (line.substr(0, kUnicodeHeader.size()) == kUnicodeHeader) {
                return FailFile(lineNumber_, kUnicodeExportHint);
            }
            return Fail(line, 0, "the first line must be REGEDIT4");
        }
        while (NextLine(&line)) {
            std::size_t start = SkipBlanks(line, 0);
            if (start == line.size() || line[start] == ';') continue;
            char first = line[start];
            bool ok;
            if (first == '[') {
                ok = ParseKeyLine(line, start);
            } else if (first == '"' || first == '@') {
                ok = ParseValueLine(line, start);
            } else {
                ok = Fail(line, start + 1, "not a key, value or comment line");
            }
            if (!ok) return false;
        }
        return true;
    }

    bool NextLine(std::string_view* line) {
        if (pos_ >= text_.size()) return false;
        std::size_t end = text_.find('\n', pos_);
        std::size_t next = end + 1;
        if (end == std::string_view::npos) end = next = text_.size();
        std::string_view found = text_.substr(pos_, end - pos_);
        if (!found.empty() && found.back() == '\r') found.remove_suffix(1);
        pos_ = next;
        ++lineNumber_;
        *line = found;
        return true;
    }

    // An error in the current line; column is 1-based, 0 for the whole line.
    bool Fail(std::string_view line, std::size_t column, std::string_view what) {
        error_.line = lineNumber_;
        error_.message = std::string(what);
        if (column > 0) error_.message += " at column " + std::to_string(column);
        error_.message += " in '" + Excerpt(line) + "'";
        return false;
    }

    bool FailFile(std::size_t line, std::string_view what) {
        error_.line = line;
        error_.message = std::string(what);
        return false;
    }

    bool ParseKeyLine(std::string_view line, std::size_t start) {
        std::string_view body = TrimTrailingBlanks(line.substr(start + 1));
        if (body.empty() || body.back() != ']') {
            if (body.find(']') != std::string_view::npos) {
                std::size_t after = SkipBlanks(line, start + 2 + body.rfind(']'));
                return Fail(line, after + 1, "text after ']' of a key line");
            }
            return Fail(line, 0, "key line without closing ']'");
        }
        body.remove_suffix(1);
        bool deletion = !body.empty() && body.front() == '-';
        if (deletion) body.remove_prefix(1);

        std::string_view rootName = body.substr(0, NextSeparator(body, 0));
        std::size_t root = RootIndex(rootName);
        if (root == SIZE_MAX) {
            return Fail(line, 0, "unknown root key '" + Excerpt(rootName) + "'");
        }
        names_.clear();
        for (std::size_t pos = rootName.size(); pos < body.size();) {
            std::size_t end = NextSeparator(body, pos + 1);
            if (end > pos + 1) names_.push_back(body.substr(pos + 1, end - pos - 1));
            pos = end;
        }
        if (names_.size() > kMaxKeyDepth) {
            return Fail(line, 0,
                        "key path deeper than " + std::to_string(kMaxKeyDepth) + " levels");
        }
        if (deletion) {
            if (names_.empty()) return Fail(line, 0, "a root key cannot be deleted");
            sink_->DeleteKey(root, names_);
            section_ = Section::kDeletedKey;
        } else {
            sink_->OpenKey(root, names_);
            section_ = Section::kKey;
        }
        return true;
    }

    // The position of the next name separator at or after pos, or the end.
    std::size_t NextSeparator(std::string_view path, std::size_t pos) const {
        while (pos < path.size()) {
            unsigned char c = static_cast<unsigned char>(path[pos]);
            if (c == '\\') return pos;
            pos += lead_[c] ? 2 : 1;
        }
        return path.size();
    }

    static std::size_t RootIndex(std::string_view name) {
        const std::vector<std::string>& roots = RegistryTree::RootNames();
        for (std::size_t i = 0; i < roots.size(); ++i) {
            if (EqualsAsciiNoCase(roots[i], name)) return i;
        }
        return SIZE_MAX;
    }

    bool ParseValueLine(std::string_view line, std::size_t start) {
        if (section_ == Section::kNone) return Fail(line, 0, "value line before any key line");
        if (section_ == Section::kDeletedKey) {
            return Fail(line, 0, "value line after a key deletion, which opens no key");
        }
        std::size_t pos = start;
        name_.clear();
        if (line[pos] == '@') {
            ++pos;
        } else {
            pos = ParseQuoted(line, pos, &name_);
            if (pos == std::string_view::npos) return Fail(line, 0, "unterminated value name");
        }
        pos = SkipBlanks(line, pos);
        if (pos == line.size() || line[pos] != '=') {
            return Fail(line, pos + 1, "missing '=' after the value name");
        }
        pos = SkipBlanks(line, pos + 1);
        std::string_view data = line.substr(pos);
        data_.clear();

        if (!data.empty() && data.front() == '"') {
            std::size_t end = ParseQuoted(line, pos, &data_);
            if (end == std::string_view::npos) return Fail(line, 0, "unterminated string");
            std::size_t after = SkipBlanks(line, end);
            if (after != line.size()) return Fail(line, after + 1, "text after the closing quote");
            data_.push_back(0);
            sink_->SetValue(name_, REG_SZ_TYPE, data_);
            return true;
        }
        if (TrimTrailingBlanks(data) == "-") {
            sink_->DeleteValue(name_);
            return true;
        }
        if (StartsWithNoCase(data, "dword:")) return ParseDword(line, pos + 6);
        if (StartsWithNoCase(data, "hex:")) return ParseHexList(line, pos + 4, REG_BINARY_TYPE);
        if (StartsWithNoCase(data, "hex(")) {
            std::size_t digits = pos + 4;
            std::size_t close = line.find(')', digits);
            std::uint32_t type = 0;
            if (close == std::string_view::npos || close == digits || close - digits > 8 ||
                !ParseHexNumber(line.substr(digits, close - digits), &type)) {
                return Fail(line, digits + 1, "bad type number in hex(...)");
            }
            if (close + 1 >= line.size() || line[close + 1] != ':') {
                return Fail(line, close + 2, "missing ':' after hex(...)");
            }
            return ParseHexList(line, close + 2, type);
        }
        return Fail(line, pos + 1, "unknown value type");
    }

    static bool ParseHexNumber(std::string_view digits, std::uint32_t* value) {
        std::uint32_t result = 0;
        for (char c : digits) {
            int digit = HexDigit(c);
            if (digit < 0) return false;
            result = result << 4 | static_cast<std::uint32_t>(digit);
        }
        *value = result;
        return true;
    }

    // Decodes the quoted text that starts at line[pos] into *out. Returns
    // the position after the closing quote, or npos when there is none.
    template <class Container>
    std::size_t ParseQuoted(std::string_view line, std::size_t pos, Container* out) const {
        const char* p = line.data();
        std::size_t size = line.size();
        ++pos;
        while (pos < size) {
            std::size_t run = pos;
            while (run < size && !special_[static_cast<unsigned char>(p[run])]) ++run;
            out->insert(out->end(), p + pos, p + run);
            pos = run;
            if (pos == size) break;
            char c = p[pos];
            if (c == '"') return pos + 1;
            if (c == '\\') {
                if (pos + 1 < size && (p[pos + 1] == '\\' || p[pos + 1] == '"')) {
                    out->push_back(p[pos + 1]);
                    pos += 2;
                } else {
                    out->push_back(c);  // kept, with the byte after it
                    ++pos;
                }
                continue;
            }
            // A lead byte: its trail byte goes with it, unless the string
            // ends there (no double-byte character has a '"' trail byte).
            out->push_back(c);
            ++pos;
            if (pos < size && p[pos] != '"') out->push_back(p[pos++]);
        }
        return std::string_view::npos;
    }

    bool ParseDword(std::string_view line, std::size_t pos) {
        std::string_view digits = TrimTrailingBlanks(line.substr(pos));
        if (digits.empty()) return Fail(line, pos + 1, "dword value without hex digits");
        std::uint32_t value = 0;
        for (std::size_t i = 0; i < digits.size(); ++i) {
            int digit = HexDigit(digits[i]);
            if (digit < 0) return Fail(line, pos + i + 1, "bad hex digit in dword value");
            if (i == 8) return Fail(line, pos + i + 1, "dword value longer than 8 hex digits");
            value = value << 4 | static_cast<std::uint32_t>(digit);
        }
        for (int i = 0; i < 4; ++i) data_.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
        sink_->SetValue(name_, REG_DWORD_TYPE, data_);
        return true;
    }

    // Comma-separated hex bytes from line[pos] on; a backslash where a byte
    // could start continues the list on the next line.
    bool ParseHexList(std::string_view line, std::size_t pos, std::uint32_t type) {
        bool continued = false;
        for (;;) {
            pos = SkipBlanks(line, pos);
            if (pos == line.size()) {
                if (continued) return Fail(line, 0, "empty line after a '\\' continuation");
                break;
            }
            continued = false;
            char c = line[pos];
            if (c == '\\') {
                std::size_t after = SkipBlanks(line, pos + 1);
                if (after != line.size()) {
                    return Fail(line, after + 1, "text after a '\\' continuation");
                }
                if (!NextLine(&line)) {
                    return Fail(line, 0, "hex data continues past the end of the file");
                }
                pos = 0;
                continued = true;
                continue;
            }
            int high = HexDigit(c);
            if (high < 0) return Fail(line, pos + 1, "bad hex digit");
            int byte = high;
            ++pos;
            if (pos < line.size() && HexDigit(line[pos]) >= 0) {
                byte = byte << 4 | HexDigit(line[pos]);
                ++pos;
                if (pos < line.size() && HexDigit(line[pos]) >= 0) {
                    return Fail(line, pos + 1, "hex byte with more than two digits");
                }
            }
            data_.push_back(static_cast<std::uint8_t>(byte));
            pos = SkipBlanks(line, pos);
            if (pos == line.size()) break;
            if (line[pos] != ',') return Fail(line, pos + 1, "expected ',' after a hex byte");
            ++pos;
        }
        sink_->SetValue(name_, type, data_);
        return true;
    }

    std::string_view text_;
    Sink* sink_;
    std::array<bool, 256> special_{};  // bytes that end a plain run in quotes
    std::array<bool, 256> lead_{};
    std::size_t pos_ = 0;
    std::size_t lineNumber_ = 0;
    Section section_ = Section::kNone;
    std::vector<std::string_view> names_;
    std::string name_;
    std::vector<std::uint8_t> data_;
    Regedit4Error error_;
};

// Errors about the bytes of the file as a whole, before it is read as lines.
bool CheckEncoding(std::string_view text, Regedit4Error* error) {
    auto fail = [error](std::size_t line, std::string message) {
        if (error != nullptr) *error = Regedit4Error{line, std::move(message)};
        return false;
    };
    if (text.size() >= 2 &&
        ((text[0] == '\xff' && text[1] == '\xfe') || (text[0] == '\xfe' && text[1] == '\xff'))) {
        return fail(1, "UTF-16 text: " + std::string(kUnicodeExportHint));
    }
    const void* nul = std::memchr(text.data(), '\0', text.size());
    if (nul != nullptr) {
        std::string_view before = text.substr(0, static_cast<const char*>(nul) - text.data());
        std::size_t line = 1;
        for (char c : before) line += c == '\n';
        return fail(line, "binary file: a NUL byte, which no REGEDIT4 text holds");
    }
    if (text.substr(0, 3) == "\xef\xbb\xbf") {
        return fail(1,
                    "the file starts with a UTF-8 byte order mark; REGEDIT4 files are "
                    "ANSI text and start with the line REGEDIT4");
    }
    return true;
}

}  // namespace

std::string Regedit4Error::Format(std::string_view fileName) const {
    std::string text(fileName);
    if (line > 0) text += ":" + std::to_string(line);
    text += ": ";
    text += message;
    return text;
}

bool ReadRegedit4(std::string_view text, RegistryTree* tree, Regedit4Error* error) {
    if (!CheckEncoding(text, error)) return false;
    NullSink check;
    if (!Parser<NullSink>(text, tree->GetCodePage(), &check).Run(error)) return false;
    TreeSink apply(tree);
    bool applied = Parser<TreeSink>(text, tree->GetCodePage(), &apply).Run(error);
    assert(applied);  // the same parser already accepted the text
    return applied;
}

bool ReadRegedit4File(const std::string& path, RegistryTree* tree, Regedit4Error* error) {
    auto fail = [error](std::string message) {
        if (error != nullptr) *error = Regedit4Error{0, std::move(message)};
        return false;
    };
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return fail(std::string("cannot open: ") + std::strerror(errno));
    struct stat info {};
    if (fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
        int code = S_ISDIR(info.st_mode) ? EISDIR : errno;
        close(fd);
        return fail(std::string("cannot read: ") + std::strerror(code));
    }
    std::string text;
    if (S_ISREG(info.st_mode)) text.reserve(static_cast<std::size_t>(info.st_size));
    char buffer[1 << 16];
    for (;;) {
        ssize_t count = read(fd, buffer, sizeof buffer);
        if (count < 0 && errno == EINTR) continue;
        if (count < 0) {
            int code = errno;
            close(fd);
            return fail(std::string("cannot read: ") + std::strerror(code));
        }
        if (count == 0) break;
        text.append(buffer, static_cast<std::size_t>(count));
    }
    close(fd);
    return ReadRegedit4(text, tree, error);
}

}  // namespace platform::sim
