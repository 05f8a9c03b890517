#include "sim/apply/registry_file_edit.h"

#include <cerrno>
#include <cstring>
#include <memory>

#include "platform/sim/registry_tree.h"
#include "sim/host/host_files.h"

namespace kestrow_sim {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

}  // namespace

RegistrySectionFilter::RegistrySectionFilter(const std::vector<std::string>& deletedKeys,
                                             const platform::sim::CodePage& codePage)
    : codePage_(codePage) {
    for (const std::string& path : deletedKeys) {
        KeyPath key;
        std::vector<std::string_view> names;
        if (!ParseKeyPath(path, &key.root, &names) || names.empty()) continue;
        for (std::string_view name : names) key.names.emplace_back(name);
        deleted_.push_back(std::move(key));
    }
}

bool RegistrySectionFilter::ParseKeyPath(std::string_view path, std::size_t* root,
                                         std::vector<std::string_view>* names) const {
    // Names are separated by backslashes that are not the trail byte of a
    // double-byte character; empty names (doubled backslashes) are skipped.
    names->clear();
    std::size_t start = 0;
    bool first = true;
    for (std::size_t pos = 0;; ++pos) {
        if (pos >= path.size() || path[pos] == '\\') {
            std::string_view name = path.substr(start, std::min(pos, path.size()) - start);
            if (first) {
                *root = platform::sim::RegistryTree::RootIndex(name);
                if (*root == platform::sim::RegistryTree::RootNames().size()) return false;
                first = false;
            } else if (!name.empty()) {
                names->push_back(name);
            }
            if (pos >= path.size()) return true;
            start = pos + 1;
        } else if (codePage_.IsLeadByte(static_cast<unsigned char>(path[pos]))) {
            ++pos;
        }
    }
}

bool RegistrySectionFilter::IsDeleted(std::size_t root,
                                      const std::vector<std::string_view>& names) const {
    for (const KeyPath& key : deleted_) {
        if (key.root != root || names.size() < key.names.size()) continue;
        bool below = true;
        for (std::size_t i = 0; i < key.names.size() && below; ++i) {
            below = codePage_.SameName(key.names[i], names[i]);
        }
        if (below) return true;
    }
    return false;
}

bool RegistrySectionFilter::Removes(std::string_view line) {
    if (firstLine_) {  // the REGEDIT4 header
        firstLine_ = false;
        return false;
    }
    if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
    std::size_t start = 0;
    while (start < line.size() && IsBlank(line[start])) ++start;
    if (start < line.size() && line[start] == ';') return false;
    if (start == line.size() || line[start] != '[') return inDeletedSection_;

    std::string_view body = line.substr(start + 1);
    while (!body.empty() && IsBlank(body.back())) body.remove_suffix(1);
    if (body.empty() || body.back() != ']') return inDeletedSection_;
    body.remove_suffix(1);
    // A deletion line of a key at or below a deleted key goes with the
    // sections (it shaped what the undo file must give back); any other
    // deletion line stays.
    if (!body.empty() && body.front() == '-') body.remove_prefix(1);
    std::size_t root = 0;
    inDeletedSection_ = ParseKeyPath(body, &root, &names_) && IsDeleted(root, names_);
    return inDeletedSection_;
}

RegistryTextSplit SplitRegistryText(std::string_view text,
                                    const std::vector<std::string>& deletedKeys,
                                    const platform::sim::CodePage& codePage) {
    RegistrySectionFilter filter(deletedKeys, codePage);
    RegistryTextSplit split;
    while (!text.empty()) {
        std::size_t end = text.find('\n');
        end = end == std::string_view::npos ? text.size() : end + 1;
        std::string_view line = text.substr(0, end);
        (filter.Removes(line) ? split.removed : split.kept).append(line);
        text.remove_prefix(end);
    }
    return split;
}

bool EditRegistryFile(int inFd, const std::string& inPath, int outFd, const std::string& outPath,
                      RegistrySectionFilter* filter, std::string* removed, ContentHash* hash,
                      std::string* lineEnd, std::string* error, std::size_t pieceBytes) {
    const std::size_t kPiece = pieceBytes;
    std::string pending;  // a line begun in the last piece
    std::string out;      // kept bytes not written yet
    std::unique_ptr<char[]> buffer(new char[kPiece]);
    bool firstLine = true;
    auto take = [&](std::string_view line) {
        if (firstLine) {
            *lineEnd = line.size() >= 2 && line[line.size() - 2] == '\r' ? "\r\n" : "\n";
            firstLine = false;
        }
        (filter->Removes(line) ? *removed : out).append(line);
    };
    auto flush = [&]() {
        if (!host::WriteAll(outFd, out, outPath)) {
            *error = "cannot write " + outPath + ": " + HostErrorText(errno);
            return false;
        }
        out.clear();
        return true;
    };
    for (;;) {
        ssize_t got = host::Read(inFd, buffer.get(), kPiece, inPath);
        if (got < 0) {
            *error = "cannot read " + inPath + ": " + HostErrorText(errno);
            return false;
        }
        if (got == 0) break;
        std::string_view piece(buffer.get(), static_cast<std::size_t>(got));
        hash->Update(piece);
        for (;;) {
            std::size_t newline = piece.find('\n');
            if (newline == std::string_view::npos) {
                pending.append(piece);
                break;
            }
            if (pending.empty()) {
                take(piece.substr(0, newline + 1));
            } else {
                pending.append(piece.substr(0, newline + 1));
                take(pending);
                pending.clear();
            }
            piece.remove_prefix(newline + 1);
        }
        if (out.size() >= kPiece && !flush()) return false;
    }
    if (!pending.empty()) take(pending);
    if (firstLine) *lineEnd = "\r\n";
    return flush();
}

std::string UndoFileText(std::string_view removed, const std::vector<std::string>& comments,
                         std::string_view lineEnd) {
    std::string text = "REGEDIT4";
    text += lineEnd;
    for (const std::string& comment : comments) {
        text += "; ";
        // A line break in a host path would end the comment line.
        for (char c : comment) text += c == '\r' || c == '\n' ? '?' : c;
        text += lineEnd;
    }
    text += lineEnd;
    text += removed;
    return text;
}

}  // namespace kestrow_sim
