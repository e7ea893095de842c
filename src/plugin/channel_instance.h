// The open instances of "qmlink-dvc". The remote side may open the channel
// again before the old instance's close arrives, so each instance has its own
// callback object and channel reference: closing one leaves the others
// served, and replies go to the instance that asked.
#pragma once

#include <windows.h>

#include <tsvirtualchannels.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

#include "protocol/dispatcher.h"

// The channel references of the open instances, shared by the plug-in object
// and the instances' callbacks. Release is never called with the mutex held.
class ChannelInstances {
public:
    ChannelInstances() = default;
    ChannelInstances(const ChannelInstances&) = delete;
    ChannelInstances& operator=(const ChannelInstances&) = delete;
    ~ChannelInstances() { releaseAll(); }

    // Keeps a reference to the channel; returns the instance's id.
    std::uint64_t open(IWTSVirtualChannel* channel);
    // Lets go of one instance. True when it was open and was the last one.
    bool close(std::uint64_t id);
    // Lets go of every instance.
    void releaseAll();
    // The instance's channel with a reference of the caller's own, or null.
    IWTSVirtualChannel* acquire(std::uint64_t id) const;
    bool isOpen(std::uint64_t id) const;
    // The most recently opened instance still open; 0 when none.
    std::uint64_t newest() const;

    // Held across an open or close together with the engine's start or stop
    // that it causes, so a close racing an open never stops the engine under
    // the new instance. Never taken by a write.
    std::mutex& lifecycle() { return lifecycle_; }

private:
    std::mutex lifecycle_;
    mutable std::mutex mutex_;
    std::map<std::uint64_t, IWTSVirtualChannel*> open_;
    std::uint64_t nextId_ = 1;
};

// Called when the last instance has closed.
using LastChannelClosed = void (*)();

// The callback of one channel instance: its messages go to the dispatcher,
// which answers through this instance's channel.
class ChannelCallback final : public IWTSVirtualChannelCallback, private ChannelWriter {
public:
    // Created with one reference, the caller's.
    ChannelCallback(std::shared_ptr<ChannelInstances> instances, std::uint64_t id, LastChannelClosed onLastClosed);
    ChannelCallback(const ChannelCallback&) = delete;
    ChannelCallback& operator=(const ChannelCallback&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    HRESULT STDMETHODCALLTYPE OnDataReceived(ULONG cbSize, BYTE* pBuffer) override;
    HRESULT STDMETHODCALLTYPE OnClose() override;

private:
    ~ChannelCallback();
    bool hasChannel() const override;
    void write(const std::uint8_t* data, std::uint32_t size) override;

    std::shared_ptr<ChannelInstances> instances_;
    std::uint64_t id_;
    LastChannelClosed onLastClosed_;
    std::atomic<ULONG> references_{1};
};

// What the plug-in object's own callback methods and its instances share:
// the message to the dispatcher, and the close of one instance.
void receiveOnChannel(ChannelWriter& writer, ULONG cbSize, BYTE* pBuffer);
void closeChannelInstance(ChannelInstances& instances, std::uint64_t id, LastChannelClosed onLastClosed);
// One reply on the instance's channel, holding a reference of its own while
// a close on another thread may let the instance go.
void writeToInstance(const ChannelInstances& instances, std::uint64_t id, const std::uint8_t* data, std::uint32_t size);
