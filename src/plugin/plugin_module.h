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

    // What registration writes: Machine the class for the machine and the
    // running account's add-ins key; User both for the running account only;
    // MachineClass the machine's class alone, for installers running as a
    // service account.
    enum class Registration { Machine, User, MachineClass };

    // Set by DllInstall from its command line for the length of its call.
    void setRegistration(Registration mode) { mode_.store(mode); }
    Registration registration() const { return mode_.load(); }

    // Applies the registration script and registers the type library; in
    // per-user mode what is meant for HKCR goes below HKCU\Software\Classes.
    HRESULT registerServer(Registration mode);
    // Removes what registerServer writes; what is already gone counts as removed.
    HRESULT unregisterServer(Registration mode);

private:
    CUDVCPluginModule() = default;
    HRESULT updateRegistry(bool install, Registration mode);
    HMODULE module_ = nullptr;
    std::atomic<long> locks_{0};
    std::atomic<Registration> mode_{Registration::Machine};
};
