// The contents of a simulated Windows 98 registry: keys and values, with no
// handles and no API rules (those are the simulated registry's, which
// works on this tree). The REGEDIT4 reader and writer use it too.
//
// Key and value names keep the letter case they were created with, while
// lookups ignore it, in the machine's code page. Subkeys and values are kept
// in the order they were created, which is also the enumeration order. A
// key's contents may come from a source (KeySource) the first time they
// are looked at, so that a large registry file is read only as far as a run
// looks into it.
#ifndef KESTROW_PLATFORM_SIM_REGISTRY_TREE_H
#define KESTROW_PLATFORM_SIM_REGISTRY_TREE_H

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/sim/code_page.h"

namespace platform::sim {

// Value types as the registry stores them.
constexpr std::uint32_t REG_NONE_TYPE = 0;
constexpr std::uint32_t REG_SZ_TYPE = 1;
constexpr std::uint32_t REG_EXPAND_SZ_TYPE = 2;
constexpr std::uint32_t REG_BINARY_TYPE = 3;
constexpr std::uint32_t REG_DWORD_TYPE = 4;
constexpr std::uint32_t REG_MULTI_SZ_TYPE = 7;

struct RegistryValue {
    std::string name;  // empty for the key's default value
    std::uint32_t type = REG_SZ_TYPE;
    std::vector<std::uint8_t> data;
};

class RegistryKey;

// Where a key's values and subkeys come from when they are first looked at,
// for a registry too large to be read whole before a run that looks at a
// few of its keys (a Windows registry file). Fill adds the values and
// subkeys of the key that `id` names to `key`, each subkey with a source of
// its own or none. It cannot fail: whatever can be wrong with the source is
// found before any key is given it.
class KeySource {
public:
    virtual ~KeySource() = default;
    virtual void Fill(std::uint32_t id, RegistryKey* key) const = 0;
};

class RegistryKey {
public:
    RegistryKey(std::string name, RegistryKey* parent, const CodePage* codePage);
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;
    ~RegistryKey();

    const std::string& Name() const { return name_; }
    RegistryKey* Parent() const { return parent_; }

    std::size_t SubkeyCount() const {
        Materialize();
        return subkeys_.size();
    }
    RegistryKey* SubkeyAt(std::size_t index) const;
    RegistryKey* FindSubkey(std::string_view name) const;
    // The existing subkey of that name, or a new one added last.
    RegistryKey* CreateSubkey(std::string_view name);
    // Removes the subkey and everything below it. False when there is none.
    bool RemoveSubkey(std::string_view name);
    // Removes the subkey from this key and hands it over whole, with
    // everything below it; null when there is none.
    std::unique_ptr<RegistryKey> DetachSubkey(std::string_view name);

    // Paths are subkey names joined by backslashes, relative to this key.
    // An empty path is this key. Empty components are not names.
    RegistryKey* FindPath(std::string_view path);
    RegistryKey* CreatePath(std::string_view path);

    const std::vector<RegistryValue>& Values() const {
        Materialize();
        return values_;
    }
    const RegistryValue* FindValue(std::string_view name) const;
    // Replaces the value's type and data in place, or adds it last.
    void SetValue(std::string_view name, std::uint32_t type, std::vector<std::uint8_t> data);
    bool RemoveValue(std::string_view name);
    // Makes room for this many values in all, so that adding values up to
    // that number allocates nothing for the list itself.
    void ReserveValues(std::size_t count);
    // Removes every subkey, with everything below it, and every value.
    void Clear();

    // Keys and values below this key, not counting the key itself.
    std::size_t CountSubtreeKeys() const;
    std::size_t CountSubtreeValues() const;
    // The full path from the root, e.g. HKEY_LOCAL_MACHINE\Enum\PCI.
    std::string FullPath() const;
    // A deep copy of this key's subkeys and values into an empty key.
    void CopyContentsTo(RegistryKey* target) const;

    // The key's contents, added to what it holds, come from the source when
    // any of its values or subkeys is first looked at (or changed). A key
    // that already waits for a source takes that one's contents first.
    void SetSource(std::shared_ptr<const KeySource> source, std::uint32_t id);

private:
    template <class Entry>
    class NameIndex;
    using SubkeyIndex = NameIndex<RegistryKey*>;
    using ValueIndex = NameIndex<std::uint32_t>;  // a value's position plus one

    // The position of the named value, or values_.size() when there is none.
    std::size_t ValuePosition(std::string_view name) const;

    struct Pending {
        std::shared_ptr<const KeySource> source;
        std::uint32_t id;
    };
    // Takes the contents a source holds for this key, once; to whoever
    // looks, the key always held them.
    void Materialize() const {
        if (pending_ != nullptr) Fill();
    }
    void Fill() const;

    std::string name_;
    RegistryKey* parent_;
    const CodePage* codePage_;
    std::vector<std::unique_ptr<RegistryKey>> subkeys_;
    std::vector<RegistryValue> values_;
    // Subkeys and values by name, kept only for keys with many of them;
    // null otherwise.
    std::unique_ptr<SubkeyIndex> subkeyIndex_;
    std::unique_ptr<ValueIndex> valueIndex_;
    // Contents still to come from a source; null once they are in.
    mutable std::unique_ptr<Pending> pending_;
};

// The whole registry: one tree for each predefined root key.
class RegistryTree {
public:
    explicit RegistryTree(const CodePage& codePage = CodePage());
    RegistryTree(const RegistryTree&) = delete;
    RegistryTree& operator=(const RegistryTree&) = delete;

    const CodePage& GetCodePage() const { return *codePage_; }

    // The roots, in the order regedit lists them.
    static const std::vector<std::string>& RootNames();
    // A root by its full name (HKEY_LOCAL_MACHINE) or its handle value
    // (0x80000002); null when there is no such root.
    RegistryKey* Root(std::string_view name) const;
    RegistryKey* Root(std::uint32_t handleValue) const;
    static bool RootHandleValue(std::string_view name, std::uint32_t* value);
    // A root's place in RootNames(), its name compared without letter case;
    // RootNames().size() when there is no such root.
    static std::size_t RootIndex(std::string_view name);

    // A key by full path, root included ("HKEY_LOCAL_MACHINE\Enum\PCI").
    RegistryKey* FindFullPath(std::string_view path);
    RegistryKey* CreateFullPath(std::string_view path);

private:
    std::unique_ptr<CodePage> codePage_;
    std::vector<std::unique_ptr<RegistryKey>> roots_;
};

}  // namespace platform::sim

#endif
