#include "rdclient/standin.h"

#include <cstdio>

namespace standin {

namespace {

template <typename Interface, typename Object>
HRESULT answer(Object* object, REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, __uuidof(Interface))) {
        *ppv = static_cast<Interface*>(object);
        object->AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

}  // namespace

// ---- Channel ----

HRESULT STDMETHODCALLTYPE Channel::QueryInterface(REFIID riid, void** ppv) {
    return answer<IWTSVirtualChannel>(this, riid, ppv);
}

HRESULT STDMETHODCALLTYPE Channel::Write(ULONG cbSize, BYTE* pBuffer, IUnknown* pReserved) {
    std::lock_guard<std::mutex> lock(mutex_);
    writes_.emplace_back(pBuffer, pBuffer + (pBuffer ? cbSize : 0));
    if (pReserved) ++reserved_;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE Channel::Close() {
    closed_ = true;
    return S_OK;
}

std::vector<Bytes> Channel::writes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return writes_;
}

std::size_t Channel::writeCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return writes_.size();
}

std::size_t Channel::reservedArguments() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return reserved_;
}

// ---- Listener ----

HRESULT STDMETHODCALLTYPE Listener::QueryInterface(REFIID riid, void** ppv) {
    return answer<IWTSListener>(this, riid, ppv);
}

HRESULT STDMETHODCALLTYPE Listener::GetConfiguration(IPropertyBag** ppPropertyBag) {
    if (ppPropertyBag) *ppPropertyBag = nullptr;
    return E_NOTIMPL;
}

// ---- ChannelManager ----

ChannelManager::~ChannelManager() { dropListeners(); }

void ChannelManager::dropListeners() {
    std::vector<std::pair<std::string, IWTSListenerCallback*>> callbacks;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        callbacks.swap(callbacks_);
    }
    for (auto& [name, callback] : callbacks) callback->Release();
}

HRESULT STDMETHODCALLTYPE ChannelManager::QueryInterface(REFIID riid, void** ppv) {
    return answer<IWTSVirtualChannelManager>(this, riid, ppv);
}

HRESULT STDMETHODCALLTYPE ChannelManager::CreateListener(const char* pszChannelName, ULONG uFlags,
                                                         IWTSListenerCallback* pListenerCallback,
                                                         IWTSListener** ppListener) {
    std::lock_guard<std::mutex> lock(mutex_);
    registrations_.push_back({pszChannelName ? pszChannelName : "", uFlags});
    if (FAILED(failure_)) return failure_;
    if (!pszChannelName || !pListenerCallback) return E_INVALIDARG;
    pListenerCallback->AddRef();
    callbacks_.emplace_back(pszChannelName, pListenerCallback);
    if (ppListener) {
        Ref<Listener> listener = Listener::create();
        lastListener_ = listener.get();
        listener->AddRef();
        *ppListener = listener.get();
    }
    return S_OK;
}

std::vector<ChannelManager::Registration> ChannelManager::registrations() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return registrations_;
}

Ref<IWTSListenerCallback> ChannelManager::listenerFor(const std::string& channelName) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = callbacks_.rbegin(); it != callbacks_.rend(); ++it) {
        if (it->first == channelName) {
            it->second->AddRef();
            return Ref<IWTSListenerCallback>(it->second);
        }
    }
    return {};
}

// ---- PluginDll ----

PluginDll::PluginDll(const std::wstring& path) : path_(path), module_(LoadLibraryW(path.c_str())) {}

PluginDll::~PluginDll() {
    if (module_) FreeLibrary(module_);
}

FARPROC PluginDll::entry(const char* name) const { return module_ ? GetProcAddress(module_, name) : nullptr; }

namespace {
// An export as the function type it has; through void(*)() the cast is one
// that compilers accept without a warning.
template <typename Fn>
Fn as(FARPROC proc) {
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(proc));
}
}  // namespace

HRESULT PluginDll::registerServer() const {
    auto f = as<HRESULT(STDAPICALLTYPE*)()>(entry("DllRegisterServer"));
    return f ? f() : HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
}

HRESULT PluginDll::unregisterServer() const {
    auto f = as<HRESULT(STDAPICALLTYPE*)()>(entry("DllUnregisterServer"));
    return f ? f() : HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
}

HRESULT PluginDll::install(BOOL install, const wchar_t* commandLine) const {
    auto f = as<HRESULT(STDAPICALLTYPE*)(BOOL, LPCWSTR)>(entry("DllInstall"));
    return f ? f(install, commandLine) : HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
}

HRESULT PluginDll::canUnloadNow() const {
    auto f = as<HRESULT(STDAPICALLTYPE*)()>(entry("DllCanUnloadNow"));
    return f ? f() : HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
}

HRESULT PluginDll::getClassObject(REFCLSID clsid, REFIID riid, void** ppv) const {
    auto f = as<HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**)>(entry("DllGetClassObject"));
    return f ? f(clsid, riid, ppv) : HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
}

std::wstring pluginPathBesideProgram() {
    std::wstring path(MAX_PATH, L'\0');
    while (true) {
        DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0) return L"DOZA-Plugin.dll";
        if (n < path.size()) {
            path.resize(n);
            break;
        }
        path.resize(path.size() * 2);
    }
    return path.substr(0, path.find_last_of(L"\\/") + 1) + L"DOZA-Plugin.dll";
}

std::optional<std::wstring> readAddInClassText() {
    wchar_t text[128];
    DWORD size = sizeof text;
    if (RegGetValueW(HKEY_CURRENT_USER, kAddInKey, L"Name", RRF_RT_REG_SZ, nullptr, text, &size) != ERROR_SUCCESS)
        return std::nullopt;
    return std::wstring(text);
}

// ---- Session ----

Session::Session() : manager_(ChannelManager::create()) {}

Session::~Session() { release(); }

HRESULT Session::create(const CLSID& clsid, IUnknown* outer) {
    return CoCreateInstance(clsid, outer, CLSCTX_INPROC_SERVER, __uuidof(IWTSPlugin),
                            reinterpret_cast<void**>(plugin_.put()));
}

HRESULT Session::initialize() { return plugin_->Initialize(manager_.get()); }

HRESULT Session::connected() { return plugin_->Connected(); }

HRESULT Session::openChannel(BOOL* accepted) {
    Ref<IWTSListenerCallback> listener = manager_->listenerFor(kChannelName);
    if (!listener) return E_UNEXPECTED;
    channel_ = Channel::create();
    callback_.reset();
    BOOL accept = FALSE;
    // No connection data: the plug-in does not look at it.
    HRESULT hr = listener->OnNewChannelConnection(channel_.get(), nullptr, &accept, callback_.put());
    if (accepted) *accepted = accept;
    return hr;
}

std::vector<Bytes> Session::send(const Bytes& message) {
    if (!callback_) return {};
    std::size_t before = channel_ ? channel_->writeCount() : 0;
    callback_->OnDataReceived(static_cast<ULONG>(message.size()), const_cast<BYTE*>(message.data()));
    if (!channel_) return {};
    std::vector<Bytes> all = channel_->writes();
    return std::vector<Bytes>(all.begin() + static_cast<std::ptrdiff_t>(before), all.end());
}

HRESULT Session::closeChannel() {
    if (!callback_) return E_UNEXPECTED;
    HRESULT hr = callback_->OnClose();
    callback_.reset();
    return hr;
}

HRESULT Session::disconnected(DWORD code) { return plugin_->Disconnected(code); }

HRESULT Session::terminated() { return plugin_->Terminated(); }

void Session::release() {
    callback_.reset();
    manager_->dropListeners();
    plugin_.reset();
}

std::string hresultText(HRESULT hr) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(hr));
    const char* name = nullptr;
    switch (hr) {
        case S_OK: name = "S_OK"; break;
        case S_FALSE: name = "S_FALSE"; break;
        case E_FAIL: name = "E_FAIL"; break;
        case E_NOINTERFACE: name = "E_NOINTERFACE"; break;
        case E_POINTER: name = "E_POINTER"; break;
        case E_ACCESSDENIED: name = "E_ACCESSDENIED"; break;
        case CLASS_E_NOAGGREGATION: name = "CLASS_E_NOAGGREGATION"; break;
        case REGDB_E_CLASSNOTREG: name = "REGDB_E_CLASSNOTREG"; break;
        default: break;
    }
    return name ? std::string(name) + " (" + text + ")" : std::string(text);
}

}  // namespace standin
