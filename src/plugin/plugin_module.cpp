#include "plugin_module.h"

#include <oleauto.h>

#include <string>
#include <vector>

#include "agent/lume_task.h"
#include "doza_plugin.h"
#include "platform/log.h"
#include "platform/module_hold.h"
#include "platform/platform_service.h"
#include "plugin_ids.h"
#include "registrar.h"

// Per-user type library registration (Windows Vista and later); mingw-w64's
// oleauto.h does not declare it, oleaut32 exports it.
extern "C" {
WINOLEAUTAPI RegisterTypeLibForUser(ITypeLib* ptlib, OLECHAR* szFullPath, OLECHAR* szHelpDir);
WINOLEAUTAPI UnRegisterTypeLibForUser(REFGUID libID, WORD wMajorVerNum, WORD wMinorVerNum, LCID lcid,
                                      SYSKIND syskind);
}

namespace {

// The one class object. It lives as long as the module; while someone
// outside holds it, the module stays locked so the DLL is not unloaded under
// the holder.
class DOZAPluginFactory final : public IClassFactory {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
            *ppv = static_cast<IClassFactory*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override {
        CUDVCPluginModule::instance().lock();
        return 2;
    }
    ULONG STDMETHODCALLTYPE Release() override {
        CUDVCPluginModule::instance().unlock();
        return 1;
    }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
        return DOZAPlugin::create(outer, riid, ppv);
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
        if (lock) CUDVCPluginModule::instance().lock();
        else CUDVCPluginModule::instance().unlock();
        return S_OK;
    }
};

DOZAPluginFactory factory;

std::u16string modulePath(HMODULE module) {
    std::vector<wchar_t> buffer(MAX_PATH);
    while (true) {
        DWORD n = GetModuleFileNameW(module, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0) return {};
        if (n < buffer.size()) return std::u16string(reinterpret_cast<const char16_t*>(buffer.data()), n);
        buffer.resize(buffer.size() * 2);
    }
}

// The REGISTRY resource as text (UTF-8; the script is plain ASCII).
bool loadScript(HMODULE module, std::u16string& text) {
    HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(kRegistryScriptResource), L"REGISTRY");
    if (!found) return false;
    HGLOBAL loaded = LoadResource(module, found);
    const void* bytes = loaded ? LockResource(loaded) : nullptr;
    if (!bytes) return false;
    text = tvxlog::toUtf16(std::string_view(static_cast<const char*>(bytes), SizeofResource(module, found)));
    return true;
}

HRESULT fromWin32(long code) { return code == 0 ? S_OK : HRESULT_FROM_WIN32(static_cast<unsigned long>(code)); }

// While alive, HKCR stands for HKCU\Software\Classes in this process. The
// per-user type library calls do this themselves on Windows; Wine's write
// machine-wide unless HKCR is overridden around them.
class PerUserClassesRoot {
public:
    PerUserClassesRoot() {
        error_ = RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Classes", 0, nullptr, REG_OPTION_NON_VOLATILE,
                                 KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr, &classes_, nullptr);
        if (error_ != ERROR_SUCCESS) {
            classes_ = nullptr;
        } else if ((error_ = RegOverridePredefKey(HKEY_CLASSES_ROOT, classes_)) != ERROR_SUCCESS) {
            RegCloseKey(classes_);
            classes_ = nullptr;
        }
    }
    ~PerUserClassesRoot() {
        if (!classes_) return;
        RegOverridePredefKey(HKEY_CLASSES_ROOT, nullptr);
        RegCloseKey(classes_);
    }
    PerUserClassesRoot(const PerUserClassesRoot&) = delete;
    PerUserClassesRoot& operator=(const PerUserClassesRoot&) = delete;
    bool active() const { return classes_ != nullptr; }
    long error() const { return error_; }

private:
    HKEY classes_ = nullptr;
    long error_ = ERROR_SUCCESS;
};

class OpenKey {
public:
    OpenKey() = default;
    OpenKey(const OpenKey&) = delete;
    OpenKey& operator=(const OpenKey&) = delete;
    ~OpenKey() {
        if (key_) RegCloseKey(key_);
    }
    HKEY* put() { return &key_; }
    HKEY get() const { return key_; }

private:
    HKEY key_ = nullptr;
};

// A registry key with its values and subkeys, held in memory.
struct KeyTree {
    struct Value {
        std::wstring name;
        DWORD type = 0;
        std::vector<BYTE> data;
    };
    std::vector<Value> values;
    std::vector<std::pair<std::wstring, KeyTree>> subkeys;
};

// False when the key does not exist.
bool readTree(HKEY parent, const std::wstring& path, KeyTree& tree) {
    OpenKey key;
    if (RegOpenKeyExW(parent, path.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, key.put()) != ERROR_SUCCESS) return false;
    DWORD subkeys = 0, maxSubkey = 0, values = 0, maxName = 0, maxData = 0;
    if (RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, &subkeys, &maxSubkey, nullptr, &values, &maxName,
                         &maxData, nullptr, nullptr) != ERROR_SUCCESS)
        return true;
    for (DWORD i = 0; i < values; ++i) {
        std::vector<wchar_t> name(maxName + 1);
        KeyTree::Value value;
        value.data.resize(maxData);
        DWORD nameChars = maxName + 1, size = maxData;
        if (RegEnumValueW(key.get(), i, name.data(), &nameChars, nullptr, &value.type, value.data.data(), &size) !=
            ERROR_SUCCESS)
            continue;
        value.name.assign(name.data(), nameChars);
        value.data.resize(size);
        tree.values.push_back(std::move(value));
    }
    for (DWORD i = 0; i < subkeys; ++i) {
        std::vector<wchar_t> name(maxSubkey + 1);
        DWORD nameChars = maxSubkey + 1;
        if (RegEnumKeyExW(key.get(), i, name.data(), &nameChars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            continue;
        std::wstring sub(name.data(), nameChars);
        KeyTree child;
        if (readTree(key.get(), sub, child)) tree.subkeys.emplace_back(std::move(sub), std::move(child));
    }
    return true;
}

void writeTree(HKEY parent, const std::wstring& path, const KeyTree& tree) {
    OpenKey key;
    if (RegCreateKeyExW(parent, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS | KEY_WOW64_64KEY,
                        nullptr, key.put(), nullptr) != ERROR_SUCCESS)
        return;
    for (const KeyTree::Value& v : tree.values)
        RegSetValueExW(key.get(), v.name.c_str(), 0, v.type, v.data.data(), static_cast<DWORD>(v.data.size()));
    for (const auto& [name, child] : tree.subkeys) writeTree(key.get(), name, child);
}

// Registering a type library also points the Interface keys of every
// interface it describes at it, and unregistering deletes them. The library
// names a system interface that belongs to another component, so those keys
// are put back as they were found.
class InterfaceKeysKept {
public:
    InterfaceKeysKept(ITypeLib* typeLib, bool perUser) : hive_(perUser ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE) {
        OpenKey root;
        rootExisted_ = RegOpenKeyExW(hive_, kInterfaces, 0, KEY_READ | KEY_WOW64_64KEY, root.put()) == ERROR_SUCCESS;
        for (UINT i = 0, n = typeLib->GetTypeInfoCount(); i < n; ++i) {
            TYPEKIND kind{};
            if (FAILED(typeLib->GetTypeInfoType(i, &kind)) || (kind != TKIND_INTERFACE && kind != TKIND_DISPATCH))
                continue;
            ITypeInfo* info = nullptr;
            if (FAILED(typeLib->GetTypeInfo(i, &info))) continue;
            TYPEATTR* attr = nullptr;
            if (SUCCEEDED(info->GetTypeAttr(&attr))) {
                wchar_t text[40] = {};
                if (StringFromGUID2(attr->guid, text, 40) > 0) {
                    Saved saved{text, {}, false};
                    saved.existed = rootExisted_ && readTree(root.get(), saved.name, saved.tree);
                    keys_.push_back(std::move(saved));
                }
                info->ReleaseTypeAttr(attr);
            }
            info->Release();
        }
    }
    InterfaceKeysKept(const InterfaceKeysKept&) = delete;
    InterfaceKeysKept& operator=(const InterfaceKeysKept&) = delete;
    ~InterfaceKeysKept() {
        {
            OpenKey root;
            if (RegOpenKeyExW(hive_, kInterfaces, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY, root.put()) != ERROR_SUCCESS)
                return;
            for (const Saved& saved : keys_) {
                RegDeleteTreeW(root.get(), saved.name.c_str());
                if (saved.existed) writeTree(root.get(), saved.name, saved.tree);
            }
        }
        // Fails while anything else is below it.
        if (!rootExisted_) RegDeleteKeyExW(hive_, kInterfaces, KEY_WOW64_64KEY, 0);
    }

private:
    static constexpr const wchar_t* kInterfaces = L"Software\\Classes\\Interface";
    struct Saved {
        std::wstring name;
        KeyTree tree;
        bool existed;
    };
    HKEY hive_;
    bool rootExisted_ = false;
    std::vector<Saved> keys_;
};

// The type library embedded as TYPELIB 1 (the module path names it).
HRESULT registerTypeLib(const std::u16string& path, bool perUser) {
    ITypeLib* typeLib = nullptr;
    auto* wpath = reinterpret_cast<const wchar_t*>(path.c_str());
    HRESULT hr = LoadTypeLibEx(wpath, REGKIND_NONE, &typeLib);
    if (FAILED(hr)) return hr;
    auto* opath = const_cast<OLECHAR*>(wpath);
    {
        InterfaceKeysKept kept(typeLib, perUser);
        if (perUser) {
            PerUserClassesRoot classes;
            hr = classes.active() ? RegisterTypeLibForUser(typeLib, opath, nullptr) : fromWin32(classes.error());
        } else {
            hr = RegisterTypeLib(typeLib, opath, nullptr);
        }
    }
    typeLib->Release();
    return hr;
}

bool typeLibRegistered(HKEY root, const std::wstring& classesPrefix) {
    std::wstring key = classesPrefix + L"TypeLib\\" + reinterpret_cast<const wchar_t*>(kDozaPluginLibidText);
    HKEY opened = nullptr;
    if (RegOpenKeyExW(root, key.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, &opened) != ERROR_SUCCESS) return false;
    RegCloseKey(opened);
    return true;
}

HRESULT unregisterTypeLib(const std::u16string& path, bool perUser) {
    // Unregistering what is not registered is no failure.
    bool registered = perUser ? typeLibRegistered(HKEY_CURRENT_USER, L"Software\\Classes\\")
                              : typeLibRegistered(HKEY_CLASSES_ROOT, L"");
    if (!registered) return S_OK;
    ITypeLib* typeLib = nullptr;
    HRESULT hr = LoadTypeLibEx(reinterpret_cast<const wchar_t*>(path.c_str()), REGKIND_NONE, &typeLib);
    if (FAILED(hr)) return hr;
    TLIBATTR* attr = nullptr;
    hr = typeLib->GetLibAttr(&attr);
    if (SUCCEEDED(hr)) {
        InterfaceKeysKept kept(typeLib, perUser);
        if (perUser) {
            PerUserClassesRoot classes;
            hr = classes.active() ? UnRegisterTypeLibForUser(attr->guid, attr->wMajorVerNum, attr->wMinorVerNum,
                                                             attr->lcid, attr->syskind)
                                  : fromWin32(classes.error());
        } else {
            hr = UnRegisterTypeLib(attr->guid, attr->wMajorVerNum, attr->wMinorVerNum, attr->lcid, attr->syskind);
        }
        typeLib->ReleaseTLibAttr(attr);
    }
    typeLib->Release();
    return hr;
}

}  // namespace

CUDVCPluginModule& CUDVCPluginModule::instance() {
    static CUDVCPluginModule module;
    return module;
}

HRESULT CUDVCPluginModule::canUnloadNow() const {
    return lockCount() == 0 && !isServiceRunning() && !isLumeThreadPresent() && ModuleHold::count() == 0 ? S_OK
                                                                                                        : S_FALSE;
}

HRESULT CUDVCPluginModule::getClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (!IsEqualCLSID(clsid, CLSID_DOZAPlugin)) return CLASS_E_CLASSNOTAVAILABLE;
    return factory.QueryInterface(riid, ppv);
}

HRESULT CUDVCPluginModule::updateRegistry(bool install, Registration mode) {
    std::u16string script;
    if (!loadScript(module_, script)) return fromWin32(static_cast<long>(GetLastError()));
    std::u16string path = modulePath(module_);
    if (path.empty()) return fromWin32(static_cast<long>(GetLastError()));
    registrar::ParseResult parsed = registrar::parseScript(
        script, {{u"MODULE", path}, {u"CLSID", kDozaPluginClsidText}, {u"LIBID", kDozaPluginLibidText}});
    if (!parsed.script) {
        TVX_LOG(tvxlog::error) << "registration script: " << parsed.error;
        return fromWin32(registrar::kInvalidData);
    }
    registrar::Target target{mode == Registration::User, mode != Registration::MachineClass};
    long rc = install ? registrar::applyScript(*parsed.script, registrar::systemRegistry(), target)
                      : registrar::removeScript(*parsed.script, registrar::systemRegistry(), target);
    return fromWin32(rc);
}

HRESULT CUDVCPluginModule::registerServer(Registration mode) {
    try {
        HRESULT hr = updateRegistry(true, mode);
        if (FAILED(hr)) return hr;
        return registerTypeLib(modulePath(module_), mode == Registration::User);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_UNEXPECTED;
    }
}

HRESULT CUDVCPluginModule::unregisterServer(Registration mode) {
    try {
        HRESULT hr = updateRegistry(false, mode);
        HRESULT typeLib = unregisterTypeLib(modulePath(module_), mode == Registration::User);
        return FAILED(hr) ? hr : typeLib;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_UNEXPECTED;
    }
}
