// Registration scripts: the text format that the COM server's REGISTRY
// resource holds, parsed into a tree of keys and applied to (or removed from)
// the registry through a small write interface.
//
// The subset understood:
//   HKCR { NoRemove CLSID { ForceRemove %CLSID% = s 'Text' { val V = d 1 } } }
// - roots HKCR, HKCU, HKLM, HKU (or their HKEY_ names);
// - a key is a bare word or a 'quoted' name ('' inside quotes is one quote),
//   optionally preceded by ForceRemove or NoRemove, optionally followed by
//   "= s 'text'" or "= d number" for its default value and by a block of
//   subkeys and "val Name = s|d ..." values;
// - numbers are decimal or 0x hexadecimal, bare or quoted;
// - %NAME% is replaced in names and string data after tokenising (so a
//   replacement may hold any character), %% is one %.
// Keywords and replacement names are compared without regard to case.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace registrar {

enum class Hive { ClassesRoot, CurrentUser, LocalMachine, Users };

struct ScriptValue {
    enum class Type { String, Dword };
    std::u16string name;  // empty for the default value
    Type type = Type::String;
    std::u16string text;
    std::uint32_t number = 0;
};

struct ScriptKey {
    enum class Mode { Plain, ForceRemove, NoRemove };
    std::u16string name;
    Mode mode = Mode::Plain;
    std::vector<ScriptValue> values;  // the default value, if any, comes first
    std::vector<ScriptKey> subkeys;
};

struct ScriptRoot {
    Hive hive = Hive::ClassesRoot;
    std::vector<ScriptKey> keys;
};

struct Script {
    std::vector<ScriptRoot> roots;
};

// Case-insensitive names, e.g. {u"MODULE", path}, {u"CLSID", u"{...}"}.
struct NoCaseLess {
    bool operator()(const std::u16string& a, const std::u16string& b) const;
};
using Replacements = std::map<std::u16string, std::u16string, NoCaseLess>;

struct ParseResult {
    std::optional<Script> script;  // empty on error
    std::string error;             // "line N: what", UTF-8
};

ParseResult parseScript(std::u16string_view text, const Replacements& replacements);

// Windows error codes the registrar itself produces.
constexpr long kSuccess = 0;
constexpr long kFileNotFound = 2;         // ERROR_FILE_NOT_FOUND
constexpr long kInvalidData = 13;         // ERROR_INVALID_DATA (script that does not parse)

// The registry operations registration needs, on paths below a hive; every
// call returns a Windows error code. Paths use backslashes, the empty path is
// the hive itself.
class RegistryWriter {
public:
    virtual ~RegistryWriter() = default;
    // Opens or creates the key and every missing parent.
    virtual long createKey(Hive hive, const std::u16string& path) = 0;
    virtual long setString(Hive hive, const std::u16string& path, const std::u16string& name,
                           const std::u16string& data) = 0;
    virtual long setDword(Hive hive, const std::u16string& path, const std::u16string& name,
                          std::uint32_t data) = 0;
    // kFileNotFound when the key or the value is missing.
    virtual long deleteValue(Hive hive, const std::u16string& path, const std::u16string& name) = 0;
    // Deletes the key with everything below it; kFileNotFound when missing.
    virtual long deleteTree(Hive hive, const std::u16string& path) = 0;
    // Deletes the key if it holds neither subkeys nor values; kSuccess when it
    // is kept for that reason, kFileNotFound when missing.
    virtual long deleteKeyIfEmpty(Hive hive, const std::u16string& path) = 0;
};

// Where the keys of the script end up. In per-user mode everything meant for
// HKCR goes below HKCU\Software\Classes instead. Without userKeys the HKCU
// and HKU roots are left out: an installer's service account has no use for
// an add-ins key of its own.
struct Target {
    bool perUser = false;
    bool userKeys = true;
};

// Writes the script. ForceRemove keys are deleted whole before they are
// written. Stops at the first failure and returns its code.
long applyScript(const Script& script, RegistryWriter& writer, Target target);

// Removes what applyScript writes: the values the script names, then every
// key it names that is left empty, children before parents. NoRemove keys and
// their values stay. What is already gone counts as removed; every key is
// tried, and the first failure is returned.
long removeScript(const Script& script, RegistryWriter& writer, Target target);

#if defined(_WIN32)
// The system registry, 64-bit view (registrar_win32.cpp).
RegistryWriter& systemRegistry();
#endif

// In-memory registry for tests: keys compared without regard to (ASCII)
// case, values in insertion order.
class MemoryRegistry final : public RegistryWriter {
public:
    struct Value {
        ScriptValue::Type type = ScriptValue::Type::String;
        std::u16string text;
        std::uint32_t number = 0;
    };

    long createKey(Hive hive, const std::u16string& path) override;
    long setString(Hive hive, const std::u16string& path, const std::u16string& name,
                   const std::u16string& data) override;
    long setDword(Hive hive, const std::u16string& path, const std::u16string& name,
                  std::uint32_t data) override;
    long deleteValue(Hive hive, const std::u16string& path, const std::u16string& name) override;
    long deleteTree(Hive hive, const std::u16string& path) override;
    long deleteKeyIfEmpty(Hive hive, const std::u16string& path) override;

    bool hasKey(Hive hive, const std::u16string& path) const;
    std::optional<Value> value(Hive hive, const std::u16string& path, const std::u16string& name) const;
    // Every key and value, one per line, "HKCR\a\b" and "HKCR\a\b [name] = s:text"
    // ("@" for the default value), in case-insensitive path order: for
    // comparing whole trees in tests.
    std::vector<std::string> dump() const;

private:
    struct Key {
        std::u16string path;  // as first written
        std::vector<std::pair<std::u16string, Value>> values;
    };
    using Id = std::pair<Hive, std::u16string>;  // folded path
    static std::u16string fold(const std::u16string& s);
    Key* find(Hive hive, const std::u16string& path);
    long setValue(Hive hive, const std::u16string& path, const std::u16string& name, Value v);

    std::map<Id, Key> keys_;
};

}  // namespace registrar
