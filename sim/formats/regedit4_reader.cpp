// Reading REGEDIT4 text into a RegistryTree.
//
// Into a tree that is empty, the text is parsed once, straight into the
// tree, and on an error the tree is simply emptied again. Into a tree that
// already holds keys, the text is parsed twice by the same parser: first
// with a sink that does nothing, which finds any error before the tree is
// touched, then with a sink that applies each key and value. Tree
// operations cannot fail once the text is known to be good, so the tree is
// either changed as the whole file says or not at all, without holding a
// list of operations (which would cost about as much memory as the tree
// itself).
//
// A file is read in pieces, line by line, in each pass, so that its whole
// text is never in memory: loading costs about the tree's own size.
#include "sim/formats/regedit4.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <array>
#include <cassert>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>

namespace kestrow_sim {

using platform::sim::REG_BINARY_TYPE;
using platform::sim::REG_DWORD_TYPE;
using platform::sim::REG_SZ_TYPE;
using platform::sim::RegistryValue;

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

constexpr std::string_view kUtf16Message = "UTF-16 text: ";
constexpr std::string_view kNulMessage = "binary file: a NUL byte, which no REGEDIT4 text holds";
constexpr std::string_view kUtf8BomMessage =
    "the file starts with a UTF-8 byte order mark; REGEDIT4 files are "
    "ANSI text and start with the line REGEDIT4";

bool StartsWithUtf16Mark(std::string_view text) {
    return text.size() >= 2 &&
           ((text[0] == '\xff' && text[1] == '\xfe') || (text[0] == '\xfe' && text[1] == '\xff'));
}

constexpr std::string_view kCrOnlyMessage =
    "the lines end in CR alone (old Macintosh line ends), which are not supported; "
    "REGEDIT4 lines end in CR LF or LF";

// A first line that is "REGEDIT4" followed by a CR and more text: the file's
// lines end in CR alone, so the whole file reads as one line.
bool IsCrOnlyHeader(std::string_view line) {
    if (line.substr(0, kHeader.size()) != kHeader) return false;
    std::size_t end = line.find_first_not_of('\r', kHeader.size());
    return end != std::string_view::npos && end > kHeader.size();
}

bool StartsWithUtf8Mark(std::string_view text) { return text.substr(0, 3) == "\xef\xbb\xbf"; }

// The lines of a text that is in memory, or of a file read in pieces of
// kChunkBytes (a piece grows only to hold a longer line). A line comes
// without its line end and stays valid until the next call of Next; when
// Next returns false because the text ended, the last line stays valid too.
//
// Reading a file stops at a read error or at a piece holding a NUL byte,
// which no REGEDIT4 text has; Failed() then tells the parser that its last
// line is gone and the reason is the file's, not the text's.
class LineReader {
public:
    static constexpr std::size_t kChunkBytes = std::size_t{256} * 1024;

    explicit LineReader(std::string_view text)
        : data_(text.data()), size_(text.size()), ended_(true) {}

    // Reads the file from its current offset; the caller keeps it open.
    explicit LineReader(int fd) : fd_(fd), buffer_(new char[kChunkBytes]), capacity_(kChunkBytes) {
        data_ = buffer_.get();
    }

    bool Next(std::string_view* line) {
        for (;;) {
            const void* newline =
                scanned_ < size_ ? std::memchr(data_ + scanned_, '\n', size_ - scanned_) : nullptr;
            std::size_t end;
            if (newline != nullptr) {
                end = static_cast<std::size_t>(static_cast<const char*>(newline) - data_);
                scanned_ = end + 1;
            } else if (ended_) {
                if (pos_ == size_) return false;
                end = scanned_ = size_;  // the last line, without a line end
            } else {
                scanned_ = size_;
                if (!Fill()) return false;
                continue;
            }
            std::size_t start = pos_;
            pos_ = scanned_;
            if (end > start && data_[end - 1] == '\r') --end;
            *line = std::string_view(data_ + start, end - start);
            ++lineNumber_;
            return true;
        }
    }

    // The 1-based number of the line Next gave last.
    std::size_t LineNumber() const { return lineNumber_; }

    // After a parse error: reads the rest of the file, only to find a read
    // error or a NUL byte, which count before any error in the text.
    void SkipRest() {
        if (fd_ < 0 || ended_ || Failed()) return;
        std::size_t newlines =
            lineNumber_ + static_cast<std::size_t>(std::count(data_ + pos_, data_ + size_, '\n'));
        pos_ = scanned_ = size_ = 0;
        for (;;) {
            std::size_t count = 0;
            if (!Read(capacity_, &count) || count == 0) return;
            const char* piece = buffer_.get();
            const void* nul = std::memchr(piece, '\0', count);
            if (nul != nullptr)
                count = static_cast<std::size_t>(static_cast<const char*>(nul) - piece);
            newlines += static_cast<std::size_t>(std::count(piece, piece + count, '\n'));
            if (nul != nullptr) {
                nulLine_ = newlines + 1;
                return;
            }
        }
    }

    bool Failed() const { return readError_ != 0 || nulLine_ != 0; }
    // The errno of a failed read, or 0.
    int ReadError() const { return readError_; }
    // The line of the first NUL byte read, or 0 when there was none.
    std::size_t NulLine() const { return nulLine_; }
    // The first bytes of the file (up to three), for its byte order mark.
    std::string_view Head() const { return std::string_view(head_, headSize_); }

private:
    // Reads the next piece of the file behind the unread bytes. False on a
    // read error or a NUL byte; at the end of the file, sets ended_.
    bool Fill() {
        if (Failed()) return false;
        char* buffer = buffer_.get();
        if (pos_ > 0) {
            std::memmove(buffer, buffer + pos_, size_ - pos_);
            size_ -= pos_;
            scanned_ -= pos_;
            pos_ = 0;
        }
        if (size_ == capacity_) {  // one line longer than a piece
            std::unique_ptr<char[]> larger(new char[capacity_ * 2]);
            std::memcpy(larger.get(), buffer, size_);
            buffer_ = std::move(larger);
            capacity_ *= 2;
            data_ = buffer = buffer_.get();
        }
        std::size_t count = 0;
        if (!Read(capacity_ - size_, &count)) return false;
        if (count == 0) {
            ended_ = true;
            return true;
        }
        const char* piece = buffer + size_;
        const void* nul = std::memchr(piece, '\0', count);
        if (nul != nullptr) {
            const char* at = static_cast<const char*>(nul);
            nulLine_ = lineNumber_ + 1 + static_cast<std::size_t>(std::count(data_, at, '\n'));
            return false;
        }
        size_ += count;
        return true;
    }

    // Reads up to room bytes to the end of the buffer's bytes.
    bool Read(std::size_t room, std::size_t* count) {
        ssize_t got;
        do {
            got = read(fd_, buffer_.get() + size_, room);
        } while (got < 0 && errno == EINTR);
        if (got < 0) {
            readError_ = errno;
            return false;
        }
        *count = static_cast<std::size_t>(got);
        for (std::size_t i = 0; i < *count && headSize_ < sizeof head_; ++i) {
            head_[headSize_++] = buffer_[size_ + i];
        }
        return true;
    }

    int fd_ = -1;
    std::unique_ptr<char[]> buffer_;  // for a file
    std::size_t capacity_ = 0;
    const char* data_ = nullptr;
    std::size_t size_ = 0;     // bytes in data_
    std::size_t pos_ = 0;      // where the next line starts
    std::size_t scanned_ = 0;  // bytes from pos_ to here hold no line end
    bool ended_ = false;       // data_ holds the rest of the text
    std::size_t lineNumber_ = 0;
    int readError_ = 0;
    std::size_t nulLine_ = 0;
    char head_[3] = {};
    std::size_t headSize_ = 0;
};

// Receives nothing: used for the checking pass.
class NullSink {
public:
    void OpenKey(std::size_t, const std::vector<std::string_view>&) {}
    void DeleteKey(std::size_t, const std::vector<std::string_view>&) {}
    void SetValue(std::string*, std::uint32_t, const std::vector<std::uint8_t>&) {}
    void DeleteValue(std::string_view) {}
};

// Applies the parsed lines to a tree. The values of a key line are held
// until the key's section ends, so that the key's list of values is
// allocated once at its final size.
class TreeSink {
public:
    explicit TreeSink(RegistryTree* tree) {
        const std::vector<std::string>& names = RegistryTree::RootNames();
        for (const std::string& name : names) roots_.push_back(tree->Root(name));
    }

    void OpenKey(std::size_t root, const std::vector<std::string_view>& names) {
        Flush();
        // Exports list keys depth-first, so a key's path mostly repeats the
        // previous one's: the keys on that path are remembered by the exact
        // bytes of their names, and only the rest is looked up or created.
        if (root != cachedRoot_) {
            chainSize_ = 0;
            cachedRoot_ = root;
        }
        RegistryKey* key = roots_[root];
        std::size_t i = 0;
        for (; i < names.size() && i < chainSize_ && chain_[i].name == names[i]; ++i) {
            key = chain_[i].key;
        }
        chainSize_ = i;
        for (; i < names.size(); ++i) {
            key = key->CreateSubkey(names[i]);
            if (chainSize_ == chain_.size()) chain_.emplace_back();
            chain_[chainSize_].name.assign(names[i].data(), names[i].size());
            chain_[chainSize_++].key = key;
        }
        current_ = key;
    }

    void DeleteKey(std::size_t root, const std::vector<std::string_view>& names) {
        Flush();
        chainSize_ = 0;
        current_ = nullptr;
        RegistryKey* parent = roots_[root];
        for (std::size_t i = 0; parent != nullptr && i + 1 < names.size(); ++i) {
            parent = parent->FindSubkey(names[i]);
        }
        if (parent != nullptr) parent->RemoveSubkey(names.back());
    }

    // Takes the name's bytes, leaving other ones in *name.
    void SetValue(std::string* name, std::uint32_t type, const std::vector<std::uint8_t>& data) {
        if (pendingSize_ == pending_.size()) pending_.emplace_back();
        RegistryValue& value = pending_[pendingSize_++];
        value.name.swap(*name);
        value.type = type;
        // Flush moved the vector's memory out, so this allocates the exact size.
        value.data.assign(data.begin(), data.end());
    }

    void DeleteValue(std::string_view name) {
        Flush();
        current_->RemoveValue(name);
    }

    // Gives the held values to the key opened last.
    void Flush() {
        if (pendingSize_ == 0) return;
        current_->ReserveValues(current_->Values().size() + pendingSize_);
        for (std::size_t i = 0; i < pendingSize_; ++i) {
            RegistryValue& value = pending_[i];
            current_->SetValue(value.name, value.type, std::move(value.data));
        }
        pendingSize_ = 0;
    }

private:
    struct CachedKey {
        std::string name;  // as the file spells it
        RegistryKey* key = nullptr;
    };
    std::vector<RegistryKey*> roots_;
    std::size_t cachedRoot_ = SIZE_MAX;
    // chain_'s first chainSize_ entries are the path of the key opened last;
    // the entries after them only keep their strings' memory for reuse.
    std::vector<CachedKey> chain_;
    std::size_t chainSize_ = 0;
    RegistryKey* current_ = nullptr;
    std::vector<RegistryValue> pending_;  // likewise, pendingSize_ of them in use
    std::size_t pendingSize_ = 0;
};

template <class Sink>
class Parser {
public:
    Parser(LineReader* lines, const CodePage& codePage, Sink* sink) : lines_(lines), sink_(sink) {
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
                return FailFile(lines_->LineNumber(), kUnicodeExportHint);
            }
            if (IsCrOnlyHeader(line)) return FailFile(1, kCrOnlyMessage);
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

    bool NextLine(std::string_view* line) { return lines_->Next(line); }

    // An error in the current line; column is 1-based, 0 for the whole line.
    bool Fail(std::string_view line, std::size_t column, std::string_view what) {
        error_.line = lines_->LineNumber();
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
        std::size_t index = RegistryTree::RootIndex(name);
        return index < RegistryTree::RootNames().size() ? index : SIZE_MAX;
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
            sink_->SetValue(&name_, REG_SZ_TYPE, data_);
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
        sink_->SetValue(&name_, REG_DWORD_TYPE, data_);
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
            // The usual run of "xx," goes quickly; anything else, below.
            std::size_t run = pos;
            while (run + 2 < line.size() && line[run + 2] == ',') {
                int high = HexDigit(line[run]);
                int low = HexDigit(line[run + 1]);
                if (high < 0 || low < 0) break;
                data_.push_back(static_cast<std::uint8_t>(high << 4 | low));
                run += 3;
            }
            if (run != pos) {
                pos = run;
                continue;
            }
            char c = line[pos];
            if (c == '\\') {
                std::size_t after = SkipBlanks(line, pos + 1);
                if (after != line.size()) {
                    return Fail(line, after + 1, "text after a '\\' continuation");
                }
                if (!NextLine(&line)) {
                    // A file that failed to read leaves no line to quote.
                    if (lines_->Failed()) return false;
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
        sink_->SetValue(&name_, type, data_);
        return true;
    }

    LineReader* lines_;
    Sink* sink_;
    std::array<bool, 256> special_{};  // bytes that end a plain run in quotes
    std::array<bool, 256> lead_{};
    Section section_ = Section::kNone;
    std::vector<std::string_view> names_;
    std::string name_;
    std::vector<std::uint8_t> data_;
    Regedit4Error error_;
};

bool Fail(Regedit4Error* error, std::size_t line, std::string message) {
    if (error != nullptr) *error = Regedit4Error{line, std::move(message)};
    return false;
}

// Errors about the bytes of the file as a whole, before it is read as lines.
bool CheckEncoding(std::string_view text, Regedit4Error* error) {
    if (StartsWithUtf16Mark(text)) {
        return Fail(error, 1, std::string(kUtf16Message) + std::string(kUnicodeExportHint));
    }
    const void* nul = std::memchr(text.data(), '\0', text.size());
    if (nul != nullptr) {
        std::string_view before = text.substr(0, static_cast<const char*>(nul) - text.data());
        std::size_t line = 1;
        for (char c : before) line += c == '\n';
        return Fail(error, line, std::string(kNulMessage));
    }
    if (StartsWithUtf8Mark(text)) return Fail(error, 1, std::string(kUtf8BomMessage));
    return true;
}

// The outcome of a pass over a file, with the errors about the file as a
// whole taking precedence as CheckEncoding gives them for a text: a read
// error, then a UTF-16 mark, a NUL byte, a UTF-8 mark, and only then an
// error in the text.
bool FileOutcome(LineReader* lines, bool parsed, Regedit4Error* parseError, Regedit4Error* error) {
    if (!parsed) lines->SkipRest();
    if (lines->ReadError() != 0) {
        return Fail(error, 0, std::string("cannot read: ") + std::strerror(lines->ReadError()));
    }
    if (!parsed && StartsWithUtf16Mark(lines->Head())) {
        return Fail(error, 1, std::string(kUtf16Message) + std::string(kUnicodeExportHint));
    }
    if (lines->NulLine() != 0) return Fail(error, lines->NulLine(), std::string(kNulMessage));
    if (parsed) return true;
    if (StartsWithUtf8Mark(lines->Head())) return Fail(error, 1, std::string(kUtf8BomMessage));
    if (error != nullptr) *error = std::move(*parseError);
    return false;
}

bool IsEmpty(const RegistryTree& tree) {
    for (const std::string& name : RegistryTree::RootNames()) {
        const RegistryKey* root = tree.Root(name);
        if (root->SubkeyCount() != 0 || !root->Values().empty()) return false;
    }
    return true;
}

void Clear(RegistryTree* tree) {
    for (const std::string& name : RegistryTree::RootNames()) tree->Root(name)->Clear();
}

bool Check(LineReader* lines, const CodePage& codePage, Regedit4Error* error) {
    NullSink check;
    return Parser<NullSink>(lines, codePage, &check).Run(error);
}

bool Apply(LineReader* lines, RegistryTree* tree, Regedit4Error* error) {
    TreeSink apply(tree);
    if (!Parser<TreeSink>(lines, tree->GetCodePage(), &apply).Run(error)) return false;
    apply.Flush();
    return true;
}

// Closes a file when it goes out of scope.
class FileCloser {
public:
    explicit FileCloser(int fd) : fd_(fd) {}
    FileCloser(const FileCloser&) = delete;
    FileCloser& operator=(const FileCloser&) = delete;
    ~FileCloser() { close(fd_); }

private:
    int fd_;
};

// Reads the rest of a file into memory.
bool ReadAll(int fd, std::string* text, Regedit4Error* error) {
    char buffer[1 << 16];
    for (;;) {
        ssize_t count = read(fd, buffer, sizeof buffer);
        if (count < 0 && errno == EINTR) continue;
        if (count < 0) return Fail(error, 0, std::string("cannot read: ") + std::strerror(errno));
        if (count == 0) return true;
        text->append(buffer, static_cast<std::size_t>(count));
    }
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
    if (IsEmpty(*tree)) {
        LineReader lines(text);
        if (Apply(&lines, tree, error)) return true;
        Clear(tree);
        return false;
    }
    LineReader checked(text);
    if (!Check(&checked, tree->GetCodePage(), error)) return false;
    LineReader applied(text);
    bool ok = Apply(&applied, tree, error);
    assert(ok);  // the same parser already accepted the text
    return ok;
}

bool ReadRegedit4File(const std::string& path, RegistryTree* tree, Regedit4Error* error) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return Fail(error, 0, std::string("cannot open: ") + std::strerror(errno));
    FileCloser closer(fd);
    struct stat info {};
    if (fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
        int code = S_ISDIR(info.st_mode) ? EISDIR : errno;
        return Fail(error, 0, std::string("cannot read: ") + std::strerror(code));
    }
    Regedit4Error parseError;
    if (IsEmpty(*tree)) {
        LineReader lines(fd);
        bool parsed = Apply(&lines, tree, &parseError);
        if (FileOutcome(&lines, parsed, &parseError, error)) return true;
        Clear(tree);
        return false;
    }
    if (lseek(fd, 0, SEEK_CUR) != 0) {
        // A pipe, say, cannot be read twice: its text is held in memory.
        std::string text;
        return ReadAll(fd, &text, error) && ReadRegedit4(text, tree, error);
    }
    LineReader checked(fd);
    bool parsed = Check(&checked, tree->GetCodePage(), &parseError);
    if (!FileOutcome(&checked, parsed, &parseError, error)) return false;
    if (lseek(fd, 0, SEEK_SET) != 0) {
        return Fail(error, 0, std::string("cannot read: ") + std::strerror(errno));
    }
    LineReader applied(fd);
    parsed = Apply(&applied, tree, &parseError);
    if (!FileOutcome(&applied, parsed, &parseError, error)) {
        // Only a read error, or a file changed by someone else between the
        // two readings, gets here; the tree holds what was read until then.
        if (error != nullptr) {
            if (applied.ReadError() == 0) {
                error->message = "the file changed while it was read (" + error->message + ")";
            }
            error->message += "; the registry holds the part of the file read before";
        }
        return false;
    }
    return true;
}

}  // namespace kestrow_sim
