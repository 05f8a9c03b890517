// The minimal edit of a registry file, checked against generated REGEDIT4
// files: the generator knows which key each line's section opens, so it
// knows which lines must go; and the reader must see in the new file the
// old registry without the deleted key, and in the new file with the undo
// file layered over it the old registry again.
#include "sim/apply/registry_file_edit.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <algorithm>
#include <cstdio>
#include <random>

#include "sim/formats/regedit4.h"

namespace {

using platform::sim::CodePage;
using platform::sim::RegistryTree;

struct Line {
    std::string text;  // with its line end
    bool removed;      // the oracle: the line belongs to a deleted key's section
};

struct GeneratedFile {
    std::string text;
    std::string kept;
    std::string removed;
    std::string deletedKey;  // full path, spelled in another letter case
    bool mixedLineEnds = false;
    bool unterminated = false;     // the last line has no line end
    bool lastLineRemoved = false;  // ... and it is in the deleted key's section
};

bool EndsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

class Generator {
public:
    // plainValues: value names and strings in ASCII letters only.
    Generator(unsigned seed, const CodePage& codePage, bool plainValues = false)
        : random_(seed), codePage_(codePage), plainValues_(plainValues) {}

    GeneratedFile Make() {
        lineEnd_ = Chance(2) ? "\r\n" : "\n";
        // A tree of key paths; each is a list of names.
        std::vector<std::vector<std::string>> keys;
        keys.push_back({"Enum"});
        for (int i = 0, count = 3 + Below(12); i < count; ++i) {
            std::vector<std::string> parent = keys[Below(static_cast<int>(keys.size()))];
            if (parent.size() > 4) parent.pop_back();
            parent.push_back(Name());
            keys.push_back(parent);
        }
        std::vector<std::string> deleted = keys[1 + Below(static_cast<int>(keys.size()) - 1)];
        auto isBelowDeleted = [&](const std::vector<std::string>& key,
                                  const std::vector<std::string>& top) {
            if (key.size() < top.size()) return false;
            for (std::size_t i = 0; i < top.size(); ++i) {
                if (!codePage_.SameName(key[i], top[i])) return false;
            }
            return true;
        };

        std::vector<Line> lines;
        lines.push_back({"REGEDIT4" + lineEnd_, false});
        if (Chance(2)) lines.push_back({"; exported by hand" + lineEnd_, false});
        lines.push_back({lineEnd_, false});
        bool inDeleted = false;
        // Every key once, parents first, as an export has them (a key that
        // only a deleted key's line made would go with it), then more.
        int keyCount = static_cast<int>(keys.size());
        for (int section = 0, count = keyCount + Below(12); section < count; ++section) {
            const std::vector<std::string>& key =
                keys[section < keyCount ? section : Below(keyCount)];
            if (section >= keyCount && Chance(6) &&
                (key.size() > deleted.size() || !isBelowDeleted(deleted, key))) {
                // A deletion line opens no section; it goes only when it is
                // about the deleted key's subtree. (One deleting a key above
                // the deleted key would make the old file's later sections
                // of it the only ones that count.)
                inDeleted = isBelowDeleted(key, deleted);
                lines.push_back({"[-" + Path(key, false) + "]" + lineEnd_, inDeleted});
                lines.push_back({lineEnd_, inDeleted});
                continue;
            }
            inDeleted = isBelowDeleted(key, deleted);
            std::string keyLine = (Chance(5) ? " [" : "[") + Path(key, Chance(4)) + "]";
            if (Chance(5)) keyLine += " \t";
            lines.push_back({keyLine + lineEnd_, inDeleted});
            for (int v = 0, values = Below(5); v < values; ++v) {
                if (Chance(6)) lines.push_back({"; a comment" + Bytes(3) + lineEnd_, false});
                for (std::string& text : ValueLines()) lines.push_back({text, inDeleted});
            }
            lines.push_back({lineEnd_, inDeleted});
        }
        // A hand edit on Linux: CR LF lines that turn into LF lines part way
        // (or the other way round).
        GeneratedFile file;
        if (Chance(3)) {
            const std::string other = lineEnd_ == "\r\n" ? "\n" : "\r\n";
            for (std::size_t i = 1 + Below(static_cast<int>(lines.size())); i < lines.size(); ++i) {
                std::string& text = lines[i].text;
                if (EndsWith(text, lineEnd_))
                    text.replace(text.size() - lineEnd_.size(), lineEnd_.size(), other);
            }
            file.mixedLineEnds = true;
        }
        // No line end at the very end: the last line that holds anything
        // ends the file, in the deleted key's section or outside it.
        if (Chance(3)) {
            while (lines.size() > 1 && (lines.back().text == "\n" || lines.back().text == "\r\n")) {
                lines.pop_back();
            }
            std::string& last = lines.back().text;
            if (EndsWith(last, "\r\n")) {
                last.resize(last.size() - 2);
            } else if (EndsWith(last, "\n")) {
                last.resize(last.size() - 1);
            }
            file.unterminated = true;
            file.lastLineRemoved = lines.back().removed;
        }

        for (const Line& line : lines) {
            file.text += line.text;
            (line.removed ? file.removed : file.kept) += line.text;
        }
        file.deletedKey = Path(deleted, true);
        return file;
    }

private:
    int Below(int n) { return std::uniform_int_distribution<int>(0, n - 1)(random_); }
    bool Chance(int oneIn) { return Below(oneIn) == 0; }

    // Bytes 0x80-0xFF, ASCII letters, and in a double-byte code page a
    // character whose trail byte is a backslash.
    std::string Bytes(int count) {
        std::string bytes;
        for (int i = 0; i < count; ++i) {
            int kind = Below(4);
            if (kind == 0 && codePage_.Number() == 950) {
                bytes += "\xa5\x5c";
            } else if (kind == 1) {
                unsigned char c = static_cast<unsigned char>(0x80 + Below(128));
                if (codePage_.IsLeadByte(c)) {
                    bytes += static_cast<char>(c);
                    bytes += static_cast<char>(0x40 + Below(0x3f));  // a trail byte
                } else {
                    bytes += static_cast<char>(c);
                }
            } else {
                bytes += static_cast<char>((Chance(2) ? 'a' : 'A') + Below(26));
            }
        }
        return bytes;
    }

    std::string Name() { return Bytes(1 + Below(6)); }

    std::string Path(const std::vector<std::string>& key, bool otherCase) {
        std::string path = otherCase ? "hkey_local_machine" : "HKEY_LOCAL_MACHINE";
        for (const std::string& name : key) {
            path += Chance(8) ? "\\\\" : "\\";  // the reader skips empty names
            path += otherCase ? Swapped(name) : name;
        }
        return path;
    }

    std::string Swapped(const std::string& name) {
        std::string out;
        for (std::size_t i = 0; i < name.size(); ++i) {
            unsigned char c = static_cast<unsigned char>(name[i]);
            if (codePage_.IsLeadByte(c) && i + 1 < name.size()) {
                out += name.substr(i, 2);
                ++i;
            } else if (c >= 'a' && c <= 'z') {
                out += static_cast<char>(c - 32);
            } else if (c >= 'A' && c <= 'Z') {
                out += static_cast<char>(c + 32);
            } else {
                out += static_cast<char>(c);
            }
        }
        return out;
    }

    std::string Quoted(const std::string& text) {
        std::string out = "\"";
        for (std::size_t i = 0; i < text.size(); ++i) {
            unsigned char c = static_cast<unsigned char>(text[i]);
            if (codePage_.IsLeadByte(c) && i + 1 < text.size()) {
                out += text.substr(i, 2);
                ++i;
            } else {
                if (c == '"' || c == '\\') out += '\\';
                out += static_cast<char>(c);
            }
        }
        return out + "\"";
    }

    std::string ValueText(int count) {
        if (!plainValues_) return Bytes(count);
        std::string text;
        for (int i = 0; i < count; ++i) text += static_cast<char>('a' + Below(26));
        return text;
    }

    std::vector<std::string> ValueLines() {
        std::string name =
            Chance(5) ? "@" : Quoted(ValueText(1 + Below(6)) + (Chance(3) ? "\\\"" : ""));
        switch (Below(5)) {
            case 0:
                return {name + "=" + Quoted(ValueText(Below(8))) + lineEnd_};
            case 1:
                return {name + "=dword:" + std::to_string(Below(100000)) + lineEnd_};
            case 2:
                return {name + "=-" + lineEnd_};
            default: {
                std::vector<std::string> lines;
                std::string line = name + (Chance(2) ? "=hex:" : "=hex(7):");
                for (int row = 0, rows = 1 + Below(3); row < rows; ++row) {
                    for (int i = 0; i < 4; ++i)
                        line += (i ? "," : "") + std::to_string(10 + Below(89));
                    if (row + 1 < rows) {
                        lines.push_back(line + ",\\" + lineEnd_);
                        line = "  ";
                    }
                }
                lines.push_back(line + lineEnd_);
                return lines;
            }
        }
    }

    std::mt19937 random_;
    CodePage codePage_;
    bool plainValues_;
    std::string lineEnd_;
};

// The registry the texts make when read one over the other, with names in
// upper case (which spelling a key keeps depends on which line made it
// first) and subkeys and values sorted, as REGEDIT4; deleteKey is removed
// first.
void CopySorted(const platform::sim::RegistryKey& from, platform::sim::RegistryKey* to,
                const CodePage& codePage, bool pruneEmpty) {
    std::vector<const platform::sim::RegistryValue*> values;
    for (const auto& value : from.Values()) values.push_back(&value);
    std::sort(values.begin(), values.end(), [&](auto* a, auto* b) {
        return codePage.FoldCase(a->name) < codePage.FoldCase(b->name);
    });
    for (const auto* value : values) {
        to->SetValue(codePage.FoldCase(value->name), value->type, value->data);
    }
    std::vector<const platform::sim::RegistryKey*> keys;
    for (std::size_t i = 0; i < from.SubkeyCount(); ++i) keys.push_back(from.SubkeyAt(i));
    std::sort(keys.begin(), keys.end(), [&](auto* a, auto* b) {
        return codePage.FoldCase(a->Name()) < codePage.FoldCase(b->Name());
    });
    for (const auto* key : keys) {
        std::string name = codePage.FoldCase(key->Name());
        CopySorted(*key, to->CreateSubkey(name), codePage, pruneEmpty);
        auto* made = to->FindSubkey(name);
        if (pruneEmpty && made->SubkeyCount() == 0 && made->Values().empty())
            to->RemoveSubkey(name);
    }
}

// pruneEmpty leaves out keys with nothing in them or below them.
std::string Canonical(const std::vector<std::string>& texts, const CodePage& codePage,
                      const std::string* deleteKey = nullptr, bool pruneEmpty = false) {
    RegistryTree tree(codePage);
    for (const std::string& text : texts) {
        kestrow_sim::Regedit4Error error;
        EXPECT_TRUE(kestrow_sim::ReadRegedit4(text, &tree, &error)) << error.Format("text");
    }
    if (deleteKey != nullptr) {
        if (platform::sim::RegistryKey* key = tree.FindFullPath(*deleteKey)) {
            EXPECT_TRUE(key->Parent()->RemoveSubkey(key->Name()));
        }
    }
    RegistryTree sorted(codePage);
    for (const std::string& root : RegistryTree::RootNames()) {
        CopySorted(*tree.Root(root), sorted.Root(root), codePage, pruneEmpty);
    }
    return kestrow_sim::WriteRegedit4(sorted);
}

TEST(RegistryFileEditTest, GeneratedFilesLoseExactlyTheDeletedSections) {
    int filesWithRemovals = 0;
    int mixedLineEnds = 0, unterminatedKept = 0, unterminatedRemoved = 0;
    for (unsigned codePageNumber : {1252u, 950u}) {
        CodePage codePage = CodePage::ForNumber(codePageNumber);
        for (unsigned seed = 1; seed <= 300; ++seed) {
            SCOPED_TRACE("code page " + std::to_string(codePageNumber) + ", seed " +
                         std::to_string(seed));
            GeneratedFile file = Generator(seed, codePage).Make();
            auto split = kestrow_sim::SplitRegistryText(file.text, {file.deletedKey}, codePage);
            ASSERT_EQ(split.kept, file.kept);
            ASSERT_EQ(split.removed, file.removed);
            filesWithRemovals += !split.removed.empty();
            mixedLineEnds += file.mixedLineEnds;
            unterminatedKept += file.unterminated && !file.lastLineRemoved;
            unterminatedRemoved += file.unterminated && file.lastLineRemoved;

            // The reader agrees: the new file is the old registry without
            // the key, and the undo file over it gives the old one back.
            std::string undo = kestrow_sim::UndoFileText(
                split.removed, {"undo of /tmp/odd\nname/registry.reg"}, "\r\n");
            ASSERT_EQ(Canonical({split.kept}, codePage),
                      Canonical({file.text}, codePage, &file.deletedKey));
            ASSERT_EQ(Canonical({split.kept, undo}, codePage), Canonical({file.text}, codePage));
        }
    }
    EXPECT_GT(filesWithRemovals, 500);
    // The generator makes each kind of file often enough to matter.
    EXPECT_GT(mixedLineEnds, 100);
    EXPECT_GT(unterminatedKept, 20);
    EXPECT_GT(unterminatedRemoved, 20);
}

// Big5 names read as code page 1252, where a trail byte 0x5C separates
// names: the edit takes the file's names as the reader did, so the reader
// still finds the key gone and the undo file still gives it back, and
// the two parts are still the old file's lines, in order.
TEST(RegistryFileEditTest, NamesInAnotherCodePageThanTheOneRead) {
    CodePage big5 = CodePage::ForNumber(950);
    CodePage western = CodePage::ForNumber(1252);
    int readable = 0;
    for (unsigned seed = 1; seed <= 600; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        GeneratedFile file = Generator(seed, big5, true).Make();
        RegistryTree check(western);
        // Deletion lines are left out: which keys lie above the deleted one
        // is not the same in the two code pages, and the generator only
        // avoids deleting those in its own.
        if (file.text.find("[-") != std::string::npos) continue;
        if (!kestrow_sim::ReadRegedit4(file.text, &check, nullptr)) continue;
        ++readable;
        auto split = kestrow_sim::SplitRegistryText(file.text, {file.deletedKey}, western);
        std::string_view kept = split.kept, removed = split.removed, old = file.text;
        while (!old.empty()) {
            std::size_t end = old.find('\n');
            std::string_view line = old.substr(0, end == old.npos ? old.size() : end + 1);
            std::string_view& part = kept.substr(0, line.size()) == line ? kept : removed;
            ASSERT_EQ(part.substr(0, line.size()), line);
            part.remove_prefix(line.size());
            old.remove_prefix(line.size());
        }
        std::string undo = kestrow_sim::UndoFileText(split.removed, {}, "\n");
        // Names split at a 0x5C trail byte make keys above the deleted key
        // that only its own lines made; those go with it, empty.
        ASSERT_EQ(Canonical({split.kept}, western, nullptr, true),
                  Canonical({file.text}, western, &file.deletedKey, true));
        ASSERT_EQ(Canonical({split.kept, undo}, western), Canonical({file.text}, western));
    }
    EXPECT_GT(readable, 50);
}

TEST(RegistryFileEditTest, StreamingEditMatchesTheInMemorySplit) {
    CodePage codePage = CodePage::ForNumber(950);
    for (unsigned seed = 1; seed <= 40; ++seed) {
        GeneratedFile file = Generator(seed, codePage).Make();
        char inName[] = "/tmp/kestrow-edit-in-XXXXXX";
        char outName[] = "/tmp/kestrow-edit-out-XXXXXX";
        int in = ::mkstemp(inName);
        int out = ::mkstemp(outName);
        ASSERT_GE(in, 0);
        ASSERT_GE(out, 0);
        ASSERT_EQ(::write(in, file.text.data(), file.text.size()),
                  static_cast<ssize_t>(file.text.size()));
        ::lseek(in, 0, SEEK_SET);
        kestrow_sim::RegistrySectionFilter filter({file.deletedKey}, codePage);
        std::string removed, lineEnd, error;
        kestrow_sim::ContentHash hash, expectedHash;
        // Pieces of a few bytes, so that lines cross piece boundaries.
        ASSERT_TRUE(kestrow_sim::EditRegistryFile(in, inName, out, outName, &filter, &removed,
                                                  &hash, &lineEnd, &error, 1 + seed % 7))
            << error;
        std::string written(file.text.size(), '\0');
        ::lseek(out, 0, SEEK_SET);
        written.resize(static_cast<std::size_t>(::read(out, written.data(), written.size())));
        expectedHash.Update(file.text);
        EXPECT_EQ(written, file.kept);
        EXPECT_EQ(removed, file.removed);
        EXPECT_EQ(hash.Value(), expectedHash.Value());
        EXPECT_EQ(lineEnd, file.text.substr(8, 1) == "\r" ? "\r\n" : "\n");
        ::close(in);
        ::close(out);
        ::unlink(inName);
        ::unlink(outName);
    }
}

}  // namespace
