// Registration of DOZA-Plugin.dll in Wine's registry: per machine, per user,
// the undoing of a failed registration, and the resources it registers from.
#include <windows.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include <memory>

#include "plugin_test_support.h"

using namespace plugintest;

namespace {

const std::wstring kMachineClasses = L"Software\\Classes\\";
const std::wstring kUserClasses = L"Software\\Classes\\";
const std::wstring kAddIns = L"Software\\Microsoft\\Terminal Server Client\\Default\\AddIns";

// What the registration script writes, relative to the classes root.
std::multiset<std::string> classTree(const std::wstring& dllPath) {
    return {"",
            " @ = s:DOZA-Plugin Class",
            "\\InprocServer32",
            "\\InprocServer32 @ = s:" + utf8(dllPath),
            "\\InprocServer32 ThreadingModel = s:Free",
            "\\ProgID",
            "\\ProgID @ = s:DOZA-Plugin.DOZA-Plugin.1",
            "\\Programmable",
            "\\TypeLib",
            "\\TypeLib @ = s:" + utf8(kLibid),
            "\\VersionIndependentProgID",
            "\\VersionIndependentProgID @ = s:DOZA-Plugin.DOZA-Plugin"};
}

// A ProgID key; the version-independent one names the current version.
std::multiset<std::string> progIdTree(bool independent) {
    std::multiset<std::string> tree = {"", " @ = s:DOZA-Plugin Class", "\\CLSID", "\\CLSID @ = s:" + utf8(kClsid)};
    if (independent) tree.insert({"\\CurVer", "\\CurVer @ = s:DOZA-Plugin.DOZA-Plugin.1"});
    return tree;
}

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
        dll_ = std::make_unique<standin::PluginDll>(standin::pluginPathBesideProgram());
        ASSERT_TRUE(dll_->loaded()) << GetLastError();
        cleanUp();
    }
    void TearDown() override {
        if (dll_ && dll_->loaded()) cleanUp();
    }
    void cleanUp() {
        dll_->unregisterServer();
        dll_->install(FALSE, L"user");
    }

    // The script's keys below a classes root (HKLM or HKCU, then Software\Classes).
    void expectRegisteredBelow(HKEY root, const std::wstring& classes) {
        EXPECT_EQ(dumpTree(root, classes + L"CLSID\\" + kClsid), classTree(dll_->path()));
        EXPECT_EQ(dumpTree(root, classes + L"CLSID\\DOZA-Plugin.DOZA-Plugin.1"), progIdTree(false));
        EXPECT_EQ(dumpTree(root, classes + L"CLSID\\DOZA-Plugin.DOZA-Plugin"), progIdTree(true));
        // The ProgID keys stand beside the class key, not at the root.
        EXPECT_FALSE(keyExists(root, classes + L"DOZA-Plugin.DOZA-Plugin"));
        // The type library, from TYPELIB 1 of the module itself.
        EXPECT_EQ(dumpTree(root, classes + L"TypeLib\\" + kLibid + L"\\1.0\\0\\win64"),
                  (std::multiset<std::string>{"", " @ = s:" + utf8(dll_->path())}));
    }
    void expectNothingBelow(HKEY root, const std::wstring& classes) {
        EXPECT_FALSE(keyExists(root, classes + L"CLSID\\" + kClsid));
        EXPECT_FALSE(keyExists(root, classes + L"CLSID\\DOZA-Plugin.DOZA-Plugin.1"));
        EXPECT_FALSE(keyExists(root, classes + L"CLSID\\DOZA-Plugin.DOZA-Plugin"));
        EXPECT_FALSE(keyExists(root, classes + L"TypeLib\\" + kLibid));
    }

    std::unique_ptr<standin::PluginDll> dll_;
};

}  // namespace

TEST_F(PluginRegistration, PerMachineWritesTheScriptAndTypeLibraryAndUnregisteringRemovesExactlyThat) {
    ASSERT_EQ(dll_->registerServer(), S_OK);
    expectRegisteredBelow(HKEY_LOCAL_MACHINE, kMachineClasses);
    expectNothingBelow(HKEY_CURRENT_USER, kUserClasses);
    EXPECT_EQ(dumpTree(HKEY_CURRENT_USER, kAddInPath), kAddInTree);

    // Registering again gives the same keys (ForceRemove rewrites the class key).
    ASSERT_EQ(dll_->registerServer(), S_OK);
    expectRegisteredBelow(HKEY_LOCAL_MACHINE, kMachineClasses);

    // A value someone else put into the add-in key survives unregistration.
    HKEY addIn = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, kAddInPath.c_str(), 0, KEY_SET_VALUE, &addIn), ERROR_SUCCESS);
    DWORD one = 1;
    RegSetValueExW(addIn, L"foreign", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), sizeof one);
    RegCloseKey(addIn);

    EXPECT_EQ(dll_->unregisterServer(), S_OK);
    expectNothingBelow(HKEY_LOCAL_MACHINE, kMachineClasses);
    EXPECT_TRUE(keyExists(HKEY_CLASSES_ROOT, L"CLSID"));
    EXPECT_EQ(dumpTree(HKEY_CURRENT_USER, kAddInPath), (std::multiset<std::string>{"", " foreign = d:1"}));
    RegDeleteKeyW(HKEY_CURRENT_USER, kAddInPath.c_str());
    // The keys marked NoRemove stay.
    EXPECT_TRUE(keyExists(HKEY_CURRENT_USER, kAddIns));

    // Unregistering what is not registered is harmless.
    EXPECT_EQ(dll_->unregisterServer(), S_OK);
}

TEST_F(PluginRegistration, DllInstallRegistersPerUserOnlyForTheCommandLineUser) {
    for (const wchar_t* user : {L"user", L"USER", L"uSeR"}) {
        SCOPED_TRACE(utf8(user));
        ASSERT_EQ(dll_->install(TRUE, user), S_OK);
        expectRegisteredBelow(HKEY_CURRENT_USER, kUserClasses);
        expectNothingBelow(HKEY_LOCAL_MACHINE, kMachineClasses);
        EXPECT_EQ(dumpTree(HKEY_CURRENT_USER, kAddInPath), kAddInTree);
        EXPECT_EQ(dll_->install(FALSE, user), S_OK);
        expectNothingBelow(HKEY_CURRENT_USER, kUserClasses);
        EXPECT_FALSE(keyExists(HKEY_CURRENT_USER, kAddInPath));
    }
    // Compared over five characters: the longer texts, a shorter one and none
    // at all register per machine.
    for (const wchar_t* other : {L"users", L"user1", L"use", L"", static_cast<const wchar_t*>(nullptr)}) {
        SCOPED_TRACE(other ? utf8(other) : "null");
        ASSERT_EQ(dll_->install(TRUE, other), S_OK);
        expectRegisteredBelow(HKEY_LOCAL_MACHINE, kMachineClasses);
        expectNothingBelow(HKEY_CURRENT_USER, kUserClasses);
        EXPECT_EQ(dll_->install(FALSE, other), S_OK);
        expectNothingBelow(HKEY_LOCAL_MACHINE, kMachineClasses);
    }
    // The per-user switch lasts for its DllInstall call only.
    ASSERT_EQ(dll_->install(TRUE, L"user"), S_OK);
    ASSERT_EQ(dll_->registerServer(), S_OK);
    EXPECT_TRUE(keyExists(HKEY_LOCAL_MACHINE, kMachineClasses + L"CLSID\\" + kClsid));
    EXPECT_EQ(dll_->unregisterServer(), S_OK);
    EXPECT_TRUE(keyExists(HKEY_CURRENT_USER, kUserClasses + L"CLSID\\" + kClsid));
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
    EXPECT_EQ(dll_->registerServer(), failure);
    EXPECT_TRUE(keyExists(HKEY_LOCAL_MACHINE, kMachineClasses + L"CLSID\\" + kClsid));
    EXPECT_EQ(dll_->unregisterServer(), S_OK);

    // DllInstall undoes it and answers with the registration's code, not the
    // result of the undoing.
    EXPECT_EQ(dll_->install(TRUE, nullptr), failure);
    expectNothingBelow(HKEY_LOCAL_MACHINE, kMachineClasses);
    EXPECT_EQ(dll_->install(TRUE, L"user"), failure);
    expectNothingBelow(HKEY_CURRENT_USER, kUserClasses);

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

    standin::Ref<ITypeLib> typeLib;
    ASSERT_EQ(LoadTypeLibEx(path.c_str(), REGKIND_NONE, typeLib.put()), S_OK);
    TLIBATTR* lib = nullptr;
    ASSERT_EQ(typeLib->GetLibAttr(&lib), S_OK);
    CLSID clsid{}, libid{};
    CLSIDFromString(kClsid.c_str(), &clsid);
    CLSIDFromString(kLibid.c_str(), &libid);
    EXPECT_TRUE(IsEqualGUID(lib->guid, libid));
    EXPECT_EQ(lib->wMajorVerNum, kDozaPluginLibMajor);
    EXPECT_EQ(lib->wMinorVerNum, kDozaPluginLibMinor);
    EXPECT_EQ(lib->syskind, SYS_WIN64);
    typeLib->ReleaseTLibAttr(lib);
    BSTR name = nullptr;
    ASSERT_EQ(typeLib->GetDocumentation(-1, &name, nullptr, nullptr, nullptr), S_OK);
    EXPECT_STREQ(name, L"DOZAPluginLib");
    SysFreeString(name);

    // The coclass carries the plug-in's class identifier and names the
    // component registrar interface.
    standin::Ref<ITypeInfo> coclass;
    ASSERT_EQ(typeLib->GetTypeInfoOfGuid(clsid, coclass.put()), S_OK);
    ASSERT_EQ(coclass->GetDocumentation(MEMBERID_NIL, &name, nullptr, nullptr, nullptr), S_OK);
    EXPECT_STREQ(name, L"CompReg");
    SysFreeString(name);
    HREFTYPE ref = 0;
    ASSERT_EQ(coclass->GetRefTypeOfImplType(0, &ref), S_OK);
    standin::Ref<ITypeInfo> registrar;
    ASSERT_EQ(coclass->GetRefTypeInfo(ref, registrar.put()), S_OK);
    TYPEATTR* attr = nullptr;
    ASSERT_EQ(registrar->GetTypeAttr(&attr), S_OK);
    IID registrarIid{};
    IIDFromString(L"{A817E7A2-43FA-11D0-9E44-00AA00B6770A}", &registrarIid);
    EXPECT_TRUE(IsEqualGUID(attr->guid, registrarIid));
    registrar->ReleaseTypeAttr(attr);
}

TEST_F(PluginRegistration, LeavesTheRegistrarInterfaceKeyAsItWasFound) {
    const std::wstring iface = L"Interface\\{A817E7A2-43FA-11D0-9E44-00AA00B6770A}";
    const std::wstring machine = kMachineClasses + iface;
    const std::wstring user = kUserClasses + iface;
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, machine.c_str());
    RegDeleteTreeW(HKEY_CURRENT_USER, user.c_str());
    // Absent before: absent after registering and after unregistering, in both modes.
    ASSERT_EQ(dll_->registerServer(), S_OK);
    EXPECT_FALSE(keyExists(HKEY_LOCAL_MACHINE, machine));
    ASSERT_EQ(dll_->install(TRUE, L"user"), S_OK);
    EXPECT_FALSE(keyExists(HKEY_CURRENT_USER, user));
    cleanUp();
    EXPECT_FALSE(keyExists(HKEY_LOCAL_MACHINE, machine));

    // Another component's registration of it survives ours, untouched.
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, (machine + L"\\TypeLib").c_str(), 0, nullptr, 0,
                              KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    const wchar_t other[] = L"{00000000-1111-2222-3333-444444444444}";
    RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(other), sizeof other);
    RegCloseKey(key);
    const std::multiset<std::string> before = dumpTree(HKEY_LOCAL_MACHINE, machine);
    ASSERT_EQ(dll_->registerServer(), S_OK);
    EXPECT_EQ(dumpTree(HKEY_LOCAL_MACHINE, machine), before);
    EXPECT_EQ(dll_->unregisterServer(), S_OK);
    EXPECT_EQ(dumpTree(HKEY_LOCAL_MACHINE, machine), before);
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, machine.c_str());
}
