// Module entry and the COM server's exported entry points (by name, see
// DOZA-Plugin.def).
#include <windows.h>

#include "plugin_module.h"

namespace {

// "user" compared over five characters without regard to case, so the NUL
// must follow the four letters: "USER" counts, "users" and "user1" do not.
bool isUserCommandLine(LPCWSTR commandLine) {
    if (!commandLine) return false;
    const wchar_t expected[] = L"user";
    for (int i = 0; i < 5; ++i) {
        wchar_t c = commandLine[i];
        if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
        if (c != expected[i]) return false;
        if (c == L'\0') break;
    }
    return true;
}

}  // namespace

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        DisableThreadLibraryCalls(instance);
        CUDVCPluginModule::instance().setModuleHandle(instance);
    }
    return TRUE;
}

STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv) {
    return CUDVCPluginModule::instance().getClassObject(rclsid, riid, ppv);
}

STDAPI DllCanUnloadNow() { return CUDVCPluginModule::instance().canUnloadNow(); }

STDAPI DllRegisterServer() {
    CUDVCPluginModule& module = CUDVCPluginModule::instance();
    return module.registerServer(module.perUserRegistration());
}

STDAPI DllUnregisterServer() {
    CUDVCPluginModule& module = CUDVCPluginModule::instance();
    return module.unregisterServer(module.perUserRegistration());
}

STDAPI DllInstall(BOOL bInstall, LPCWSTR pszCmdLine) {
    CUDVCPluginModule& module = CUDVCPluginModule::instance();
    const bool previous = module.perUserRegistration();
    module.setPerUserRegistration(isUserCommandLine(pszCmdLine) || previous);
    HRESULT hr;
    if (bInstall) {
        hr = DllRegisterServer();
        // Undo what a failed registration left behind; its code is the answer.
        if (FAILED(hr)) DllUnregisterServer();
    } else {
        hr = DllUnregisterServer();
    }
    module.setPerUserRegistration(previous);
    return hr;
}
