// The DLL's module object: the class object of DOZAPlugin, the module lock
// count and registration from the DLL's own resources.
#pragma once

#include <windows.h>

#include <atomic>

class CUDVCPluginModule {
public:
    static CUDVCPluginModule& instance();

    void setModuleHandle(HMODULE module) { module_ = module; }
    HMODULE moduleHandle() const { return module_; }

    // Live objects, server locks and outside references to the class object.
    void lock() { locks_.fetch_add(1); }
    void unlock() { locks_.fetch_sub(1); }
    long lockCount() const { return locks_.load(); }

    HRESULT getClassObject(REFCLSID clsid, REFIID riid, void** ppv);
    // Also S_FALSE while the engine's threads or the agent bridge's thread
    // run: a client that released the plug-in without closing its channel
    // must not have the DLL unloaded under them.
    HRESULT canUnloadNow() const;

    // Set by DllInstall with the "user" command line for the length of its call.
    void setPerUserRegistration(bool perUser) { perUser_.store(perUser); }
    bool perUserRegistration() const { return perUser_.load(); }

    // Applies the registration script and registers the type library; in
    // per-user mode what is meant for HKCR goes below HKCU\Software\Classes.
    HRESULT registerServer(bool perUser);
    // Removes what registerServer writes; what is already gone counts as removed.
    HRESULT unregisterServer(bool perUser);

private:
    CUDVCPluginModule() = default;
    HRESULT updateRegistry(bool install, bool perUser);
    HMODULE module_ = nullptr;
    std::atomic<long> locks_{0};
    std::atomic<bool> perUser_{false};
};
