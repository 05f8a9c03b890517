// Writing a RegistryTree as REGEDIT4 text.
//
// For a string, the same emitter runs twice: once counting bytes, once
// storing them into a string of exactly that size, so the text is built
// without regrowing. For a stream, it runs once, into a buffer that is
// handed to the sink whenever it is full, so the whole text is never in
// memory.
//
// Hex data is wrapped as regedit does it: after each "xx," the column grows
// by three, and when it reaches 77 the line ends in ",\" and the next one
// starts with two spaces. The first line's column starts after the
// "name"=hex: prefix. So every line of a wrapped value is at most 80 bytes
// long (a longer value name only makes its first line longer).
#include "sim/formats/regedit4.h"

#include <cassert>
#include <cstdint>
#include <cstring>
#include <memory>

namespace kestrow_sim {

using platform::sim::REG_BINARY_TYPE;
using platform::sim::REG_DWORD_TYPE;
using platform::sim::REG_SZ_TYPE;
using platform::sim::RegistryValue;

namespace {

constexpr std::size_t kWrapColumn = 77;
constexpr char kHexDigits[] = "0123456789abcdef";

class ByteCounter {
public:
    void Put(char) { ++size_; }
    void Put(std::string_view text) { size_ += text.size(); }
    void PutHexByte(std::uint8_t) { size_ += 2; }
    std::size_t Size() const { return size_; }

private:
    std::size_t size_ = 0;
};

class BufferFiller {
public:
    explicit BufferFiller(char* buffer) : next_(buffer) {}
    void Put(char c) { *next_++ = c; }
    void Put(std::string_view text) {
        std::memcpy(next_, text.data(), text.size());
        next_ += text.size();
    }
    void PutHexByte(std::uint8_t byte) {
        next_[0] = kHexDigits[byte >> 4];
        next_[1] = kHexDigits[byte & 15];
        next_ += 2;
    }
    const char* Next() const { return next_; }

private:
    char* next_;
};

// Bytes on their way to a sink, handed over a buffer at a time. Once the
// sink has refused a piece, nothing more is handed to it.
class PieceFiller {
public:
    static constexpr std::size_t kChunkBytes = std::size_t{256} * 1024;

    explicit PieceFiller(const Regedit4Sink& sink)
        : sink_(sink),
          buffer_(new char[kChunkBytes]),
          next_(buffer_.get()),
          end_(buffer_.get() + kChunkBytes) {}

    void Put(char c) {
        if (next_ == end_) Flush();
        *next_++ = c;
    }
    void Put(std::string_view text) {
        if (text.size() > static_cast<std::size_t>(end_ - next_)) {
            Flush();
            if (text.size() > kChunkBytes) {
                Hand(text);
                return;
            }
        }
        std::memcpy(next_, text.data(), text.size());
        next_ += text.size();
    }
    void PutHexByte(std::uint8_t byte) {
        if (end_ - next_ < 2) Flush();
        next_[0] = kHexDigits[byte >> 4];
        next_[1] = kHexDigits[byte & 15];
        next_ += 2;
    }

    // Hands over what the buffer holds. False once the sink has refused a
    // piece.
    bool Flush() {
        Hand(std::string_view(buffer_.get(), static_cast<std::size_t>(next_ - buffer_.get())));
        next_ = buffer_.get();
        return !refused_;
    }

private:
    void Hand(std::string_view piece) {
        if (!refused_ && !piece.empty() && !sink_(piece)) refused_ = true;
    }

    const Regedit4Sink& sink_;
    std::unique_ptr<char[]> buffer_;
    char* next_;
    char* end_;
    bool refused_ = false;
};

template <class Out>
class Emitter {
public:
    Emitter(Out* out, const CodePage& codePage) : out_(out), codePage_(codePage) {}

    void Header() { out_->Put("REGEDIT4\r\n\r\n"); }

    void Subtree(const RegistryKey& key) {
        path_ = key.FullPath();
        KeyAndBelow(key);
    }

private:
    void KeyAndBelow(const RegistryKey& key) {
        out_->Put('[');
        out_->Put(path_);
        out_->Put("]\r\n");
        for (const RegistryValue& value : key.Values()) Value(value);
        out_->Put("\r\n");
        std::size_t length = path_.size();
        for (std::size_t i = 0; i < key.SubkeyCount(); ++i) {
            const RegistryKey& subkey = *key.SubkeyAt(i);
            path_ += '\\';
            path_ += subkey.Name();
            KeyAndBelow(subkey);
            path_.resize(length);
        }
    }

    void Value(const RegistryValue& value) {
        std::size_t column;
        if (value.name.empty()) {
            out_->Put('@');
            column = 1;
        } else {
            column = Quoted(value.name);
        }
        out_->Put('=');
        ++column;
        if (value.type == REG_SZ_TYPE && ReadsBackAsString(value.data)) {
            Quoted(std::string_view(reinterpret_cast<const char*>(value.data.data()),
                                    value.data.size() - 1));
        } else if (value.type == REG_DWORD_TYPE && value.data.size() == 4) {
            out_->Put("dword:");
            for (int i = 3; i >= 0; --i) out_->PutHexByte(value.data[i]);
        } else {
            column += HexPrefix(value.type);
            HexList(value.data, column);
        }
        out_->Put("\r\n");
    }

    // Writes text in quotes with \\ and \" escapes; returns the bytes written.
    // A double-byte character is written as it is, as the reader pairs it.
    std::size_t Quoted(std::string_view text) {
        std::size_t written = text.size() + 2;
        out_->Put('"');
        std::size_t run = 0;
        for (std::size_t i = 0; i < text.size(); ++i) {
            char c = text[i];
            if (codePage_.IsLeadByte(static_cast<unsigned char>(c))) {
                if (i + 1 < text.size() && text[i + 1] != '"') ++i;
                continue;
            }
            if (c == '\\' || c == '"') {
                out_->Put(text.substr(run, i - run));
                out_->Put('\\');
                run = i;
                ++written;
            }
        }
        out_->Put(text.substr(run));
        out_->Put('"');
        return written;
    }

    // Whether a REG_SZ's data, less its terminating NUL, reads back from a
    // quoted string as the same bytes: no other NUL, no line break, and no
    // lead byte before a '"' (the reader would pair it with the escape).
    bool ReadsBackAsString(const std::vector<std::uint8_t>& data) const {
        if (data.empty() || data.back() != 0) return false;
        std::size_t length = data.size() - 1;
        for (std::size_t i = 0; i < length; ++i) {
            std::uint8_t c = data[i];
            if (c == 0 || c == '\r' || c == '\n') return false;
            if (codePage_.IsLeadByte(c) && i + 1 < length && data[i + 1] == '"') return false;
        }
        return true;
    }

    std::size_t HexPrefix(std::uint32_t type) {
        if (type == REG_BINARY_TYPE) {
            out_->Put("hex:");
            return 4;
        }
        char digits[8];
        std::size_t count = 0;
        do {
            digits[count++] = kHexDigits[type & 15];
            type >>= 4;
        } while (type != 0);
        out_->Put("hex(");
        std::size_t prefixLength = 6 + count;
        while (count > 0) out_->Put(digits[--count]);
        out_->Put("):");
        return prefixLength;
    }

    void HexList(const std::vector<std::uint8_t>& data, std::size_t column) {
        for (std::size_t i = 0; i < data.size(); ++i) {
            out_->PutHexByte(data[i]);
            if (i + 1 == data.size()) break;
            out_->Put(',');
            column += 3;
            if (column >= kWrapColumn) {
                out_->Put("\\\r\n  ");
                column = 2;
            }
        }
    }

    Out* out_;
    const CodePage& codePage_;
    std::string path_;
};

// The roots of a tree in regedit's order. Looking a root up does not change
// the tree, but RegistryTree offers no const lookup.
std::vector<const RegistryKey*> Roots(const RegistryTree& tree, bool skipEmpty) {
    RegistryTree& lookup = const_cast<RegistryTree&>(tree);
    std::vector<const RegistryKey*> roots;
    for (const std::string& name : RegistryTree::RootNames()) {
        const RegistryKey* root = lookup.Root(name);
        if (skipEmpty && root->SubkeyCount() == 0 && root->Values().empty()) continue;
        roots.push_back(root);
    }
    return roots;
}

std::string Write(const std::vector<const RegistryKey*>& keys, const CodePage& codePage) {
    ByteCounter counter;
    Emitter<ByteCounter> count(&counter, codePage);
    count.Header();
    for (const RegistryKey* key : keys) count.Subtree(*key);

    std::string text(counter.Size(), '\0');
    BufferFiller filler(text.data());
    Emitter<BufferFiller> emit(&filler, codePage);
    emit.Header();
    for (const RegistryKey* key : keys) emit.Subtree(*key);
    assert(filler.Next() == text.data() + text.size());
    return text;
}

bool Stream(const std::vector<const RegistryKey*>& keys, const CodePage& codePage,
            const Regedit4Sink& sink) {
    PieceFiller filler(sink);
    Emitter<PieceFiller> emit(&filler, codePage);
    emit.Header();
    for (const RegistryKey* key : keys) emit.Subtree(*key);
    return filler.Flush();
}

}  // namespace

std::string WriteRegedit4(const RegistryTree& tree) {
    return Write(Roots(tree, false), tree.GetCodePage());
}

std::string WriteRegedit4NonEmptyRoots(const RegistryTree& tree) {
    return Write(Roots(tree, true), tree.GetCodePage());
}

std::string WriteRegedit4Subtree(const RegistryKey& key, const CodePage& codePage) {
    return Write({&key}, codePage);
}

std::string WriteRegedit4Subtrees(const std::vector<const RegistryKey*>& keys,
                                  const CodePage& codePage) {
    return Write(keys, codePage);
}

bool StreamRegedit4NonEmptyRoots(const RegistryTree& tree, const Regedit4Sink& sink) {
    return Stream(Roots(tree, true), tree.GetCodePage(), sink);
}

bool StreamRegedit4Subtrees(const std::vector<const RegistryKey*>& keys, const CodePage& codePage,
                            const Regedit4Sink& sink) {
    return Stream(keys, codePage, sink);
}

}  // namespace kestrow_sim
