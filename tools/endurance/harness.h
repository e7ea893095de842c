// The plug-in loaded into this process and driven as the Remote Desktop
// client drives it, with a channel that tells each sender which replies
// were its own. Shared by the benchmark and the soak.
#pragma once

#include <windows.h>

#include <tsvirtualchannels.h>

#include <atomic>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "rdclient/standin.h"

namespace endurance {

using standin::Bytes;

// The replies to the request that the current thread is sending. The plug-in
// writes a reply on the thread that delivered the request, so each sender
// sees exactly its own.
struct ReplySink {
    int count = 0;
    bool keep = false;  // keep the bytes of the last reply
    Bytes last;
};

// A channel that hands each write to the writing thread's sink and keeps
// nothing itself; a write from a thread with no sink is a stray.
class ReplyChannel final : public IWTSVirtualChannel {
public:
    // With one reference for the caller.
    static ReplyChannel* create() { return new ReplyChannel; }
    static void setSink(ReplySink* sink);
    static long strays() { return strays_.load(); }
    static long live() { return live_.load(); }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE Write(ULONG cbSize, BYTE* pBuffer, IUnknown* pReserved) override;
    HRESULT STDMETHODCALLTYPE Close() override { return S_OK; }

private:
    ReplyChannel() { ++live_; }
    ~ReplyChannel() { --live_; }
    std::atomic<ULONG> references_{1};
    static inline std::atomic<long> strays_{0};
    static inline std::atomic<long> live_{0};
};

// One kind of request: its message and a check of its reply.
struct RequestKind {
    std::string name;
    Bytes (*build)(int id);
    // Empty when the reply is the right one for the request with this id.
    std::string (*check)(const Bytes& reply, int id);
};
const std::vector<RequestKind>& requestKinds();

// DOZA-Plugin.dll beside this program, registered per machine (Wine's COM
// finds no other) for the life of the object.
class RegisteredPlugin {
public:
    RegisteredPlugin();
    ~RegisteredPlugin();
    RegisteredPlugin(const RegisteredPlugin&) = delete;
    RegisteredPlugin& operator=(const RegisteredPlugin&) = delete;

    // Empty when loaded and registered, else what went wrong.
    const std::string& error() const { return error_; }
    const CLSID& clsid() const { return clsid_; }
    HRESULT canUnloadNow() const { return dll_.canUnloadNow(); }

private:
    standin::PluginDll dll_;
    bool registered_ = false;
    CLSID clsid_{};
    std::string error_;
};

// One plug-in object created through COM, initialised and connected.
class Client {
public:
    explicit Client(const CLSID& clsid);
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // Empty when the object was created and initialised.
    const std::string& error() const { return error_; }
    // The remote side opens "qmlink-dvc" on a new channel; false when the
    // plug-in did not accept it.
    bool open();
    void close();
    // One request from this thread; the replies it got land in the sink.
    // Safe from several threads, also while another opens and closes.
    void send(const Bytes& message, ReplySink& sink) const;
    // Disconnected, Terminated, and every reference dropped.
    void end();

private:
    standin::Session session_;
    standin::Ref<IWTSListenerCallback> listener_;
    // The callback of the newest channel instance: each instance has its
    // own, and senders take a reference under the mutex while another
    // thread replaces it.
    standin::Ref<IWTSVirtualChannelCallback> current() const;
    mutable std::mutex callbackMutex_;
    standin::Ref<IWTSVirtualChannelCallback> callback_;
    std::string error_;
};

// "PING", "GET_METRICS", ...: the index of a kind in requestKinds().
std::size_t kindIndex(const std::string& name);

}  // namespace endurance
