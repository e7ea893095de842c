// The Remote Desktop client's side of a dynamic virtual channel plug-in:
// a channel manager, listener and channel of our own, and a session that
// loads, registers, creates and drives the plug-in the way the client does.
#pragma once

#include <windows.h>

#include <tsvirtualchannels.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace standin {

using Bytes = std::vector<std::uint8_t>;

inline constexpr char kChannelName[] = "qmlink-dvc";
inline constexpr wchar_t kAddInKey[] = L"Software\\Microsoft\\Terminal Server Client\\Default\\AddIns\\DOZA-Plugin";

// Owner of one COM reference.
template <typename T>
class Ref {
public:
    Ref() = default;
    explicit Ref(T* adopted) : p_(adopted) {}
    Ref(const Ref& other) : p_(other.p_) {
        if (p_) p_->AddRef();
    }
    Ref& operator=(Ref other) {
        std::swap(p_, other.p_);
        return *this;
    }
    ~Ref() { reset(); }
    void reset() {
        if (T* p = p_) {
            p_ = nullptr;
            p->Release();
        }
    }
    T* get() const { return p_; }
    T* operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    T** put() {
        reset();
        return &p_;
    }

private:
    T* p_ = nullptr;
};

// Reference counting of the stand-in's objects. live() counts the objects of
// one kind that still exist, so tests can see that the plug-in released them.
template <typename Derived>
class Counted {
public:
    static long live() { return live_.load(); }
    ULONG references() const { return references_.load(); }

protected:
    Counted() { ++live_; }
    virtual ~Counted() { --live_; }
    ULONG addRef() { return ++references_; }
    ULONG release() {
        ULONG left = --references_;
        if (left == 0) delete static_cast<Derived*>(this);
        return left;
    }

private:
    std::atomic<ULONG> references_{1};
    static inline std::atomic<long> live_{0};
};

// A channel that records every Write.
class Channel final : public IWTSVirtualChannel, public Counted<Channel> {
public:
    static Ref<Channel> create() { return Ref<Channel>(new Channel); }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return addRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return release(); }
    HRESULT STDMETHODCALLTYPE Write(ULONG cbSize, BYTE* pBuffer, IUnknown* pReserved) override;
    HRESULT STDMETHODCALLTYPE Close() override;

    std::vector<Bytes> writes() const;
    std::size_t writeCount() const;
    // Writes that passed a non-null reserved argument.
    std::size_t reservedArguments() const;
    bool closed() const { return closed_.load(); }

private:
    Channel() = default;
    mutable std::mutex mutex_;
    std::vector<Bytes> writes_;
    std::size_t reserved_ = 0;
    std::atomic<bool> closed_{false};
};

class Listener final : public IWTSListener, public Counted<Listener> {
public:
    static Ref<Listener> create() { return Ref<Listener>(new Listener); }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return addRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return release(); }
    HRESULT STDMETHODCALLTYPE GetConfiguration(IPropertyBag** ppPropertyBag) override;

private:
    Listener() = default;
};

// Keeps what CreateListener was given; can be told to fail.
class ChannelManager final : public IWTSVirtualChannelManager, public Counted<ChannelManager> {
public:
    static Ref<ChannelManager> create() { return Ref<ChannelManager>(new ChannelManager); }
    ~ChannelManager() override;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return addRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return release(); }
    HRESULT STDMETHODCALLTYPE CreateListener(const char* pszChannelName, ULONG uFlags,
                                             IWTSListenerCallback* pListenerCallback,
                                             IWTSListener** ppListener) override;

    struct Registration {
        std::string channelName;
        ULONG flags = 0;
    };
    void failCreateListenerWith(HRESULT hr) { failure_ = hr; }
    std::vector<Registration> registrations() const;
    // The callback registered for a channel name (a new reference), or null.
    Ref<IWTSListenerCallback> listenerFor(const std::string& channelName) const;
    // Lets go of the listener callbacks, as the client does once the
    // plug-in has terminated.
    void dropListeners();
    // The listener handed out last; the plug-in should have released it.
    Listener* lastListener() const { return lastListener_; }

private:
    ChannelManager() = default;
    mutable std::mutex mutex_;
    std::vector<Registration> registrations_;
    std::vector<std::pair<std::string, IWTSListenerCallback*>> callbacks_;
    HRESULT failure_ = S_OK;
    Listener* lastListener_ = nullptr;
};

// The plug-in DLL loaded into this process, its entry points called directly.
class PluginDll {
public:
    explicit PluginDll(const std::wstring& path);
    ~PluginDll();
    PluginDll(const PluginDll&) = delete;
    PluginDll& operator=(const PluginDll&) = delete;

    bool loaded() const { return module_ != nullptr; }
    HMODULE module() const { return module_; }
    const std::wstring& path() const { return path_; }

    HRESULT registerServer() const;
    HRESULT unregisterServer() const;
    HRESULT install(BOOL install, const wchar_t* commandLine) const;
    HRESULT canUnloadNow() const;
    HRESULT getClassObject(REFCLSID clsid, REFIID riid, void** ppv) const;

private:
    FARPROC entry(const char* name) const;
    std::wstring path_;
    HMODULE module_ = nullptr;
};

// Full path of DOZA-Plugin.dll beside the running program.
std::wstring pluginPathBesideProgram();

// The add-in key's Name value, as the client reads it to find the class.
std::optional<std::wstring> readAddInClassText();

// One plug-in object driven as the Remote Desktop client drives it.
class Session {
public:
    Session();
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // CoCreateInstance for IWTSPlugin (COM must be initialised).
    HRESULT create(const CLSID& clsid, IUnknown* outer = nullptr);
    // Takes an object created elsewhere (e.g. through DllGetClassObject).
    void adopt(Ref<IWTSPlugin> plugin) { plugin_ = std::move(plugin); }
    IWTSPlugin* plugin() const { return plugin_.get(); }
    ChannelManager& manager() const { return *manager_.get(); }

    HRESULT initialize();
    HRESULT connected();
    // The remote side opens "qmlink-dvc": a new channel is offered to the
    // listener callback; the accepted callback receives the messages.
    HRESULT openChannel(BOOL* accepted = nullptr);
    Channel* channel() const { return channel_.get(); }
    IWTSVirtualChannelCallback* callback() const { return callback_.get(); }
    // Sends one message; returns the writes it caused on the current channel.
    std::vector<Bytes> send(const Bytes& message);
    HRESULT closeChannel();
    HRESULT disconnected(DWORD code);
    HRESULT terminated();
    // Drops every reference the client holds on the plug-in: the channel
    // callback, the listener callbacks and the object itself.
    void release();

private:
    Ref<ChannelManager> manager_;
    Ref<IWTSPlugin> plugin_;
    Ref<Channel> channel_;
    Ref<IWTSVirtualChannelCallback> callback_;
};

// "0x80004005" style text of an HRESULT, with the symbolic name of the common ones.
std::string hresultText(HRESULT hr);

}  // namespace standin
