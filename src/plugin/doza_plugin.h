// The COM object that the Remote Desktop client loads: a dynamic virtual
// channel plug-in listening on "qmlink-dvc".
#pragma once

#include <windows.h>

#include <tsvirtualchannels.h>

#include <atomic>
#include <cstdint>
#include <memory>

#include "channel_instance.h"
#include "protocol/dispatcher.h"

// Free-threaded and aggregatable. Each channel instance it accepts gets a
// callback object of its own; its own channel callback methods act on the
// newest open instance.
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
    // Lets go of every instance and stops the engine and the bridge.
    void stopAll();

    bool hasChannel() const override;
    void write(const std::uint8_t* data, std::uint32_t size) override;

    Inner inner_;
    IUnknown* outer_;
    std::atomic<ULONG> references_{0};
    // Shared with the instances' callbacks, which may outlive the object.
    std::shared_ptr<ChannelInstances> instances_ = std::make_shared<ChannelInstances>();
};
