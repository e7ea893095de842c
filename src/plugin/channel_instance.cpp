#include "channel_instance.h"

#include <exception>
#include <utility>
#include <vector>

#include "platform/log.h"
#include "plugin_module.h"

std::uint64_t ChannelInstances::open(IWTSVirtualChannel* channel) {
    if (channel) channel->AddRef();
    std::lock_guard<std::mutex> lock(mutex_);
    const std::uint64_t id = nextId_++;
    open_[id] = channel;
    return id;
}

bool ChannelInstances::close(std::uint64_t id) {
    IWTSVirtualChannel* channel = nullptr;
    bool last = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = open_.find(id);
        if (it == open_.end()) return false;
        channel = it->second;
        open_.erase(it);
        last = open_.empty();
    }
    if (channel) channel->Release();
    return last;
}

void ChannelInstances::releaseAll() {
    std::map<std::uint64_t, IWTSVirtualChannel*> taken;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        taken.swap(open_);
    }
    for (auto& [id, channel] : taken)
        if (channel) channel->Release();
}

IWTSVirtualChannel* ChannelInstances::acquire(std::uint64_t id) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = open_.find(id);
    if (it == open_.end() || !it->second) return nullptr;
    it->second->AddRef();
    return it->second;
}

bool ChannelInstances::isOpen(std::uint64_t id) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = open_.find(id);
    return it != open_.end() && it->second != nullptr;
}

std::uint64_t ChannelInstances::newest() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return open_.empty() ? 0 : open_.rbegin()->first;
}

void receiveOnChannel(ChannelWriter& writer, ULONG cbSize, BYTE* pBuffer) {
    try {
        // A client that passes no bytes sends an empty message.
        dispatchChannelMessage(writer, pBuffer ? cbSize : 0, pBuffer);
    } catch (...) {
    }
}

void closeChannelInstance(ChannelInstances& instances, std::uint64_t id, LastChannelClosed onLastClosed) {
    constexpr const char* kOnClose = "DOZAPlugin::OnClose";
    try {
        TVX_LOG_AS(tvxlog::debug, kOnClose) << "plugin 'close channel' event.";
        std::lock_guard<std::mutex> lock(instances.lifecycle());
        // Another instance still open keeps the engine for itself.
        if (instances.close(id) && onLastClosed) onLastClosed();
    } catch (const std::exception& e) {
        TVX_LOG_AS(tvxlog::error, kOnClose) << "plugin 'close channel' exception: " << e.what();
    } catch (...) {
    }
}

ChannelCallback::ChannelCallback(std::shared_ptr<ChannelInstances> instances, std::uint64_t id,
                                 LastChannelClosed onLastClosed)
    : instances_(std::move(instances)), id_(id), onLastClosed_(onLastClosed) {
    CUDVCPluginModule::instance().lock();
}

ChannelCallback::~ChannelCallback() { CUDVCPluginModule::instance().unlock(); }

HRESULT STDMETHODCALLTYPE ChannelCallback::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, __uuidof(IWTSVirtualChannelCallback))) {
        *ppv = static_cast<IWTSVirtualChannelCallback*>(this);
        AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE ChannelCallback::AddRef() { return ++references_; }

ULONG STDMETHODCALLTYPE ChannelCallback::Release() {
    const ULONG left = --references_;
    if (left == 0) delete this;
    return left;
}

HRESULT STDMETHODCALLTYPE ChannelCallback::OnDataReceived(ULONG cbSize, BYTE* pBuffer) {
    receiveOnChannel(*this, cbSize, pBuffer);
    return S_OK;
}

HRESULT STDMETHODCALLTYPE ChannelCallback::OnClose() {
    closeChannelInstance(*instances_, id_, onLastClosed_);
    return S_OK;
}

bool ChannelCallback::hasChannel() const { return instances_->isOpen(id_); }

void ChannelCallback::write(const std::uint8_t* data, std::uint32_t size) {
    writeToInstance(*instances_, id_, data, size);
}

void writeToInstance(const ChannelInstances& instances, std::uint64_t id, const std::uint8_t* data, std::uint32_t size) {
    IWTSVirtualChannel* channel = instances.acquire(id);
    if (!channel) return;
    // Released whether or not Write throws.
    struct Release {
        IWTSVirtualChannel* channel;
        ~Release() { channel->Release(); }
    } release{channel};
    channel->Write(size, const_cast<BYTE*>(data), nullptr);
}
