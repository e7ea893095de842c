// The registrar's writes on the Win32 registry, 64-bit view.
#include <windows.h>

#include "registrar.h"

namespace registrar {
namespace {

HKEY rootOf(Hive hive) {
    switch (hive) {
        case Hive::ClassesRoot: return HKEY_CLASSES_ROOT;
        case Hive::CurrentUser: return HKEY_CURRENT_USER;
        case Hive::LocalMachine: return HKEY_LOCAL_MACHINE;
        case Hive::Users: return HKEY_USERS;
    }
    return nullptr;
}

const wchar_t* w(const std::u16string& s) { return reinterpret_cast<const wchar_t*>(s.c_str()); }

// An opened key, closed on every path.
class Key {
public:
    Key() = default;
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    ~Key() {
        if (key_) RegCloseKey(key_);
    }
    long open(Hive hive, const std::u16string& path, REGSAM access) {
        return RegOpenKeyExW(rootOf(hive), w(path), 0, access | KEY_WOW64_64KEY, &key_);
    }
    long create(Hive hive, const std::u16string& path) {
        return RegCreateKeyExW(rootOf(hive), w(path), 0, nullptr, REG_OPTION_NON_VOLATILE,
                               KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &key_, nullptr);
    }
    HKEY get() const { return key_; }

private:
    HKEY key_ = nullptr;
};

class Win32Registry final : public RegistryWriter {
public:
    long createKey(Hive hive, const std::u16string& path) override {
        Key key;
        return key.create(hive, path);
    }
    long setString(Hive hive, const std::u16string& path, const std::u16string& name,
                   const std::u16string& data) override {
        Key key;
        if (long rc = key.open(hive, path, KEY_SET_VALUE); rc != ERROR_SUCCESS) return rc;
        return RegSetValueExW(key.get(), name.empty() ? nullptr : w(name), 0, REG_SZ,
                              reinterpret_cast<const BYTE*>(data.c_str()),
                              static_cast<DWORD>((data.size() + 1) * sizeof(char16_t)));
    }
    long setDword(Hive hive, const std::u16string& path, const std::u16string& name, std::uint32_t data) override {
        Key key;
        if (long rc = key.open(hive, path, KEY_SET_VALUE); rc != ERROR_SUCCESS) return rc;
        DWORD value = data;
        return RegSetValueExW(key.get(), name.empty() ? nullptr : w(name), 0, REG_DWORD,
                              reinterpret_cast<const BYTE*>(&value), sizeof value);
    }
    long deleteValue(Hive hive, const std::u16string& path, const std::u16string& name) override {
        Key key;
        if (long rc = key.open(hive, path, KEY_SET_VALUE); rc != ERROR_SUCCESS) return rc;
        return RegDeleteValueW(key.get(), name.empty() ? nullptr : w(name));
    }
    long deleteTree(Hive hive, const std::u16string& path) override {
        // Opened first so that a missing key reports ERROR_FILE_NOT_FOUND and
        // the 64-bit view is used for every level below.
        Key key;
        if (long rc = key.open(hive, path, DELETE | KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE | KEY_SET_VALUE);
            rc != ERROR_SUCCESS)
            return rc;
        if (long rc = RegDeleteTreeW(key.get(), nullptr); rc != ERROR_SUCCESS) return rc;
        return RegDeleteKeyExW(rootOf(hive), w(path), KEY_WOW64_64KEY, 0);
    }
    long deleteKeyIfEmpty(Hive hive, const std::u16string& path) override {
        DWORD subkeys = 0, values = 0;
        {
            Key key;
            if (long rc = key.open(hive, path, KEY_QUERY_VALUE); rc != ERROR_SUCCESS) return rc;
            long rc = RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values,
                                       nullptr, nullptr, nullptr, nullptr);
            if (rc != ERROR_SUCCESS) return rc;
        }
        if (subkeys != 0 || values != 0) return ERROR_SUCCESS;
        return RegDeleteKeyExW(rootOf(hive), w(path), KEY_WOW64_64KEY, 0);
    }
};

}  // namespace

RegistryWriter& systemRegistry() {
    static Win32Registry registry;
    return registry;
}

}  // namespace registrar
