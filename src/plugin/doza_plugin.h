// The COM object that the Remote Desktop client loads: a dynamic virtual
// channel plug-in listening on "qmlink-dvc".
#pragma once

#include <windows.h>

#include <tsvirtualchannels.h>

#include <atomic>
#include <cstdint>
#include <mutex>

#include "protocol/dispatcher.h"

// Free-threaded and aggregatable. Its one piece of state is the channel of
// the open connection, which it also offers to the dispatcher as its
// ChannelWriter.
class DOZAPlugin final : public IWTSPlugin,
                         public IWTSVirtualChannelCallback,
                         public IWTSListenerCallback,
                         private ChannelWriter {
public:
    // Creates an object and queries it for riid. With an outer object only
    // IUnknown may be asked for, and the inner unknown is returned.
    static HRESULT create(IUnknown* outer, REFIID riid, void** ppv);

    DOZAPlugin(const DOZAPlugin&) = delete;
    DOZAPlugin& operator=(const DOZAPlugin&) = delete;

    // IUnknown, delegating to the outer object when aggregated.
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    // IWTSPlugin
    HRESULT STDMETHODCALLTYPE Initialize(IWTSVirtualChannelManager* pChannelMgr) override;
    HRESULT STDMETHODCALLTYPE Connected() override;
    HRESULT STDMETHODCALLTYPE Disconnected(DWORD dwDisconnectCode) override;
    HRESULT STDMETHODCALLTYPE Terminated() override;

    // IWTSVirtualChannelCallback
    HRESULT STDMETHODCALLTYPE OnDataReceived(ULONG cbSize, BYTE* pBuffer) override;
    HRESULT STDMETHODCALLTYPE OnClose() override;

    // IWTSListenerCallback
    HRESULT STDMETHODCALLTYPE OnNewChannelConnection(IWTSVirtualChannel* pChannel, BSTR data, BOOL* pbAccept,
                                                     IWTSVirtualChannelCallback** ppCallback) override;

private:
    // The non-delegating unknown: owns the reference count and answers the
    // interface queries.
    class Inner final : public IUnknown {
    public:
        explicit Inner(DOZAPlugin& object) : object_(object) {}
        HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
        ULONG STDMETHODCALLTYPE AddRef() override;
        ULONG STDMETHODCALLTYPE Release() override;

    private:
        DOZAPlugin& object_;
    };

    explicit DOZAPlugin(IUnknown* outer);
    ~DOZAPlugin();

    void FinalRelease();
    // Swaps the held channel, releasing the one it held.
    void holdChannel(IWTSVirtualChannel* channel);
    // The held channel with a reference of the caller's own, or null.
    IWTSVirtualChannel* acquireChannel() const;

    bool hasChannel() const override;
    void write(const std::uint8_t* data, std::uint32_t size) override;

    Inner inner_;
    IUnknown* outer_;
    std::atomic<ULONG> references_{0};
    // The channel reference. Callbacks on other threads replace or release it
    // while a reply is written, so a writer takes a reference of its own
    // under the mutex; Release is never called with the mutex held.
    mutable std::mutex channelMutex_;
    IWTSVirtualChannel* channel_ = nullptr;
};
