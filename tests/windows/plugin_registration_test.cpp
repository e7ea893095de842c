// Registration of DOZA-Plugin.dll in Wine's registry: per machine, per user,
// the undoing of a failed registration, and the resources it registers from.
#include <windows.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include <optional>
#include <tuple>

#include "plugin_test_support.h"

using namespace plugintest;

namespace {

const std::wstring kClasses = L"Software\\Classes\\";
const std::wstring kAddIns = L"Software\\Microsoft\\Terminal Server Client\\Default\\AddIns";
const std::wstring kAddInPath = standin::kAddInKey;
const std::wstring kLibid = wide(kDozaPluginLibidText);
// The component registrar interface, which the type library names.
const std::wstring kRegistrar = L"{A817E7A2-43FA-11D0-9E44-00AA00B6770A}";

std::string utf8(const std::wstring& w) { return tvxlog::toUtf8(std::u16string(w.begin(), w.end())); }

// Every key and value below path, one per line, each after `relative`: the
// key itself, "\sub" for subkeys; values as " name = s:text" (REG_SZ),
// " name = d:n" (REG_DWORD) or " name = type N", "@" naming the default value.
std::multiset<std::string> dumpTree(HKEY root, const std::wstring& path, const std::wstring& relative = L"") {
    std::multiset<std::string> out;
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS) return out;
    out.insert(utf8(relative));
    for (DWORD i = 0;; ++i) {
        wchar_t name[256];
        DWORD nameChars = 256, type = 0;
        BYTE data[2048];
        DWORD size = sizeof data;
        if (RegEnumValueW(key, i, name, &nameChars, nullptr, &type, data, &size) != ERROR_SUCCESS) break;
        const std::string value = type == REG_SZ      ? "s:" + utf8(reinterpret_cast<const wchar_t*>(data))
                                  : type == REG_DWORD ? "d:" + std::to_string(*reinterpret_cast<const DWORD*>(data))
                                                      : "type " + std::to_string(type);
        out.insert(utf8(relative) + " " + (nameChars ? utf8(name) : std::string("@")) + " = " + value);
    }
    for (DWORD i = 0;; ++i) {
        wchar_t name[256];
        DWORD nameChars = 256;
        if (RegEnumKeyExW(key, i, name, &nameChars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        out.merge(dumpTree(root, path + L"\\" + name, relative + L"\\" + name));
    }
    RegCloseKey(key);
    return out;
}

bool keyExists(HKEY root, const std::wstring& path) { return !dumpTree(root, path).empty(); }

// The class key, the ProgID keys beside it and the type library's path below
// HKLM or HKCU.
std::multiset<std::string> ours(HKEY root) {
    std::multiset<std::string> out;
    const std::wstring progId = L"CLSID\\DOZA-Plugin.DOZA-Plugin";
    for (const std::wstring& key : {L"CLSID\\" + kClsid, progId, progId + L".1", L"TypeLib\\" + kLibid + L"\\1.0\\0\\win64"})
        out.merge(dumpTree(root, kClasses + key, key));
    return out;
}

// What registration writes there, the type library from TYPELIB 1 of the
// module itself.
std::multiset<std::string> registered(const std::wstring& dllPath) {
    const std::string c = "CLSID\\" + utf8(kClsid), lib = "TypeLib\\" + utf8(kLibid) + "\\1.0\\0\\win64";
    const std::string progId = "CLSID\\DOZA-Plugin.DOZA-Plugin", versioned = progId + ".1";
    std::multiset<std::string> out = {c + "\\InprocServer32 ThreadingModel = s:Free", c + "\\Programmable"};
    // A key and its default value.
    const auto add = [&out](const std::string& key, const std::string& value) {
        out.insert({key, key + " @ = s:" + value});
    };
    for (const std::string& p : {progId, versioned}) {
        add(p, "DOZA-Plugin Class");
        add(p + "\\CLSID", utf8(kClsid));
    }
    add(progId + "\\CurVer", "DOZA-Plugin.DOZA-Plugin.1");
    add(c, "DOZA-Plugin Class");
    add(c + "\\InprocServer32", utf8(dllPath));
    add(c + "\\ProgID", "DOZA-Plugin.DOZA-Plugin.1");
    add(c + "\\TypeLib", utf8(kLibid));
    add(c + "\\VersionIndependentProgID", "DOZA-Plugin.DOZA-Plugin");
    add(lib, utf8(dllPath));
    return out;
}

const std::multiset<std::string> kNone;

const std::multiset<std::string> kAddInTree = {"",
                                               " Name = s:" + utf8(kClsid),
                                               " namedpipename = s:\\\\.\\pipe\\DOZA_default",
                                               " ip = s:127.0.0.1",
                                               " port = s:31337",
                                               " mode = d:0",
                                               " enabled = d:1"};

class PluginRegistration : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dll_.loaded()) << GetLastError();
        cleanUp();
    }
    void TearDown() override {
        if (dll_.loaded()) cleanUp();
    }
    void cleanUp() {
        dll_.unregisterServer();
        dll_.install(FALSE, L"user");
    }

    standin::PluginDll dll_{standin::pluginPathBesideProgram()};
};

}  // namespace

TEST_F(PluginRegistration, RegistersPerMachineOrForTheCommandLineUserAndUnregistersExactlyThat) {
    // DllRegisterServer, then DllInstall's command lines, compared whole: the
    // longer texts, a shorter one and none at all register per machine with
    // the add-in key; "machine" writes the machine's class alone.
    const std::tuple<std::optional<const wchar_t*>, bool, bool> ways[] = {
        {std::nullopt, false, true}, {L"user", true, true}, {L"uSeR", true, true},   {L"users", false, true},
        {L"use", false, true},       {L"", false, true},    {nullptr, false, true},  {L"MACHINE", false, false},
        {L"machines", false, true}};
    // The component registrar interface's key is left alone.
    const std::wstring registrarKey = kClasses + L"Interface\\" + kRegistrar;
    for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER}) RegDeleteTreeW(root, registrarKey.c_str());
    for (const auto& [line, perUser, addIn] : ways) {
        SCOPED_TRACE(!line ? "DllRegisterServer" : *line ? utf8(*line) : "null");
        auto update = [&, line = line](BOOL install) {
            return line ? dll_.install(install, *line) : install ? dll_.registerServer() : dll_.unregisterServer();
        };
        const HKEY root = perUser ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE;
        // Registering again gives the same keys (ForceRemove rewrites the class key).
        for (int round = 0; round < 2; ++round) {
            ASSERT_EQ(update(TRUE), S_OK);
            EXPECT_EQ(ours(root), registered(dll_.path()));
            EXPECT_EQ(ours(perUser ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER), kNone);
            EXPECT_EQ(dumpTree(HKEY_CURRENT_USER, kAddInPath), addIn ? kAddInTree : kNone);
            EXPECT_FALSE(keyExists(root, registrarKey));
        }
        EXPECT_EQ(update(FALSE), S_OK);
        EXPECT_EQ(ours(root), kNone);
        EXPECT_FALSE(keyExists(HKEY_CURRENT_USER, kAddInPath));
        // Unregistering what is not registered is harmless.
        EXPECT_EQ(update(FALSE), S_OK);
    }

    // A value someone else put into the add-in key survives unregistration.
    ASSERT_EQ(dll_.registerServer(), S_OK);
    DWORD one = 1;
    ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, kAddInPath.c_str(), L"foreign", REG_DWORD, &one, sizeof one),
              ERROR_SUCCESS);
    EXPECT_EQ(dll_.unregisterServer(), S_OK);
    EXPECT_EQ(dumpTree(HKEY_CURRENT_USER, kAddInPath), (std::multiset<std::string>{"", " foreign = d:1"}));
    RegDeleteKeyW(HKEY_CURRENT_USER, kAddInPath.c_str());

    // The per-user switch lasts for its DllInstall call only.
    ASSERT_EQ(dll_.install(TRUE, L"user"), S_OK);
    ASSERT_EQ(dll_.registerServer(), S_OK);
    EXPECT_TRUE(keyExists(HKEY_LOCAL_MACHINE, kClasses + L"CLSID\\" + kClsid));
    EXPECT_EQ(dll_.unregisterServer(), S_OK);
    EXPECT_TRUE(keyExists(HKEY_CURRENT_USER, kClasses + L"CLSID\\" + kClsid));
}

TEST_F(PluginRegistration, DllInstallUndoesAFailedRegistrationAndReturnsItsCode) {
    // Below a volatile key no lasting key can be made: the add-in key's
    // registration fails after the class keys have been written.
    RegDeleteTreeW(HKEY_CURRENT_USER, kAddIns.c_str());
    HKEY addIns = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kAddIns.c_str(), 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS,
                              nullptr, &addIns, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(addIns);
    const HRESULT failure = HRESULT_FROM_WIN32(ERROR_CHILD_MUST_BE_VOLATILE);

    // DllRegisterServer alone leaves what it wrote.
    EXPECT_EQ(dll_.registerServer(), failure);
    EXPECT_TRUE(keyExists(HKEY_LOCAL_MACHINE, kClasses + L"CLSID\\" + kClsid));
    EXPECT_EQ(dll_.unregisterServer(), S_OK);

    // DllInstall undoes it and answers with the registration's code, not the
    // result of the undoing.
    EXPECT_EQ(dll_.install(TRUE, nullptr), failure);
    EXPECT_EQ(ours(HKEY_LOCAL_MACHINE), kNone);
    EXPECT_EQ(dll_.install(TRUE, L"user"), failure);
    EXPECT_EQ(ours(HKEY_CURRENT_USER), kNone);

    RegDeleteTreeW(HKEY_CURRENT_USER, kAddIns.c_str());
}

TEST(PluginResources, TypeLibraryStringAndManifestAreEmbedded) {
    const std::wstring path = standin::pluginPathBesideProgram();
    HMODULE module = LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(module, nullptr);
    wchar_t text[64] = L"";
    EXPECT_EQ(LoadStringW(module, 100, text, 64), 11);
    EXPECT_STREQ(text, L"DOZA-Plugin");
    HRSRC manifest = FindResourceW(module, MAKEINTRESOURCEW(2), MAKEINTRESOURCEW(24));
    ASSERT_NE(manifest, nullptr);
    std::string manifestText(static_cast<const char*>(LockResource(LoadResource(module, manifest))),
                             SizeofResource(module, manifest));
    EXPECT_NE(manifestText.find("level=\"asInvoker\" uiAccess=\"false\""), std::string::npos) << manifestText;
    FreeLibrary(module);

    // Its identifier, version and kind show in the keys registration writes.
    // It holds the component registrar interface, whose key registration
    // must leave as it was.
    standin::Ref<ITypeLib> typeLib;
    ASSERT_EQ(LoadTypeLibEx(path.c_str(), REGKIND_NONE, typeLib.put()), S_OK);
    BSTR name = nullptr;
    ASSERT_EQ(typeLib->GetDocumentation(-1, &name, nullptr, nullptr, nullptr), S_OK);
    EXPECT_STREQ(name, L"DOZAPluginLib");
    SysFreeString(name);
    IID registrarIid{};
    IIDFromString(kRegistrar.c_str(), &registrarIid);
    standin::Ref<ITypeInfo> registrar;
    EXPECT_EQ(typeLib->GetTypeInfoOfGuid(registrarIid, registrar.put()), S_OK);
}

// Another component's registration of the component registrar interface
// survives ours, untouched.
TEST_F(PluginRegistration, LeavesTheRegistrarInterfaceKeyAsItWasFound) {
    const std::wstring key = kClasses + L"Interface\\" + kRegistrar;
    const wchar_t other[] = L"{00000000-1111-2222-3333-444444444444}";
    ASSERT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE, (key + L"\\TypeLib").c_str(), nullptr, REG_SZ, other, sizeof other),
              ERROR_SUCCESS);
    const std::multiset<std::string> before = dumpTree(HKEY_LOCAL_MACHINE, key);
    ASSERT_EQ(dll_.registerServer(), S_OK);
    EXPECT_EQ(dumpTree(HKEY_LOCAL_MACHINE, key), before);
    EXPECT_EQ(dll_.unregisterServer(), S_OK);
    EXPECT_EQ(dumpTree(HKEY_LOCAL_MACHINE, key), before);
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, key.c_str());
}
