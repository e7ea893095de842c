// Module entry and the COM server's exported entry points (by name, see
// DOZA-Plugin.def).
#include <windows.h>

#include "plugin_module.h"

namespace {

// A command line compared with word without regard to case, through the
// terminating NUL: "USER" counts, "users" and "user1" do not.
bool isCommandLine(LPCWSTR commandLine, const wchar_t* word) {
    if (!commandLine) return false;
    for (int i = 0;; ++i) {
        wchar_t c = commandLine[i];
        if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
        if (c != word[i]) return false;
        if (c == L'\0') return true;
    }
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
    return module.registerServer(module.registration());
}

STDAPI DllUnregisterServer() {
    CUDVCPluginModule& module = CUDVCPluginModule::instance();
    return module.unregisterServer(module.registration());
}

STDAPI DllInstall(BOOL bInstall, LPCWSTR pszCmdLine) {
    CUDVCPluginModule& module = CUDVCPluginModule::instance();
    using Registration = CUDVCPluginModule::Registration;
    const Registration previous = module.registration();
    if (isCommandLine(pszCmdLine, L"user")) module.setRegistration(Registration::User);
    else if (isCommandLine(pszCmdLine, L"machine")) module.setRegistration(Registration::MachineClass);
    HRESULT hr;
    if (bInstall) {
        hr = DllRegisterServer();
        // Undo what a failed registration left behind; its code is the answer.
        if (FAILED(hr)) DllUnregisterServer();
    } else {
        hr = DllUnregisterServer();
    }
    module.setRegistration(previous);
    return hr;
}
