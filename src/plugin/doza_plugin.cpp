#include "doza_plugin.h"

#include <exception>
#include <new>

#include "agent/lume_api.h"
#include "platform/log.h"
#include "platform/logging.h"
#include "platform/platform_service.h"
#include "plugin_module.h"

namespace {

// Microsoft's Remote Desktop client, for the log file name and the engine.
constexpr unsigned kClientKindMicrosoft = 3;
constexpr char kChannelName[] = "qmlink-dvc";
constexpr const char* kOnClose = "DOZAPlugin::OnClose";

// The last open instance has closed.
void stopOnLastClose() {
    TVX_LOG_AS(tvxlog::debug, kOnClose) << "shutdown platform collection threads ...";
    platform_shutdown();
    lume_shutdown();
    TVX_LOG_AS(tvxlog::debug, kOnClose) << "shutdown platform collection threads ... Ok";
}

}  // namespace

// ---- creation and lifetime ----

DOZAPlugin::DOZAPlugin(IUnknown* outer) : inner_(*this), outer_(outer ? outer : &inner_) {
    CUDVCPluginModule::instance().lock();
}

DOZAPlugin::~DOZAPlugin() {
    // Released without a close: the engine runs on, the channels are let go.
    instances_->releaseAll();
    CUDVCPluginModule::instance().unlock();
}

HRESULT DOZAPlugin::create(IUnknown* outer, REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (outer && !IsEqualIID(riid, IID_IUnknown)) return CLASS_E_NOAGGREGATION;
    DOZAPlugin* object = new (std::nothrow) DOZAPlugin(outer);
    if (!object) return E_OUTOFMEMORY;
    // Held across the query, so a failed query frees the object.
    object->inner_.AddRef();
    HRESULT hr = object->inner_.QueryInterface(riid, ppv);
    object->inner_.Release();
    return hr;
}

HRESULT STDMETHODCALLTYPE DOZAPlugin::Inner::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown)) *ppv = static_cast<IUnknown*>(this);
    else if (IsEqualIID(riid, __uuidof(IWTSPlugin))) *ppv = static_cast<IWTSPlugin*>(&object_);
    else if (IsEqualIID(riid, __uuidof(IWTSVirtualChannelCallback))) *ppv = static_cast<IWTSVirtualChannelCallback*>(&object_);
    else if (IsEqualIID(riid, __uuidof(IWTSListenerCallback))) *ppv = static_cast<IWTSListenerCallback*>(&object_);
    else {
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    static_cast<IUnknown*>(*ppv)->AddRef();
    return S_OK;
}

ULONG STDMETHODCALLTYPE DOZAPlugin::Inner::AddRef() { return ++object_.references_; }

ULONG STDMETHODCALLTYPE DOZAPlugin::Inner::Release() {
    ULONG left = --object_.references_;
    if (left == 0) {
        // Guards against a Release from inside the final release.
        object_.references_ = 1;
        object_.FinalRelease();
        delete &object_;
    }
    return left;
}

HRESULT STDMETHODCALLTYPE DOZAPlugin::QueryInterface(REFIID riid, void** ppv) {
    return outer_->QueryInterface(riid, ppv);
}
ULONG STDMETHODCALLTYPE DOZAPlugin::AddRef() { return outer_->AddRef(); }
ULONG STDMETHODCALLTYPE DOZAPlugin::Release() { return outer_->Release(); }

void DOZAPlugin::FinalRelease() {
    try {
        TVX_LOG(tvxlog::debug) << "plugin received final release";
    } catch (...) {
    }
}

// ---- the newest instance, for the object's own callback methods ----

bool DOZAPlugin::hasChannel() const { return instances_->isOpen(instances_->newest()); }

void DOZAPlugin::write(const std::uint8_t* data, std::uint32_t size) {
    writeToInstance(*instances_, instances_->newest(), data, size);
}

void DOZAPlugin::stopAll() {
    std::lock_guard<std::mutex> lock(instances_->lifecycle());
    instances_->releaseAll();
    platform_shutdown();
    lume_shutdown();
}

// ---- IWTSPlugin ----

HRESULT STDMETHODCALLTYPE DOZAPlugin::Initialize(IWTSVirtualChannelManager* pChannelMgr) {
    try {
        initLogging(kClientKindMicrosoft, 0);
        TVX_LOG(tvxlog::debug) << "plugin 'Initialize' event";
        if (!pChannelMgr) return E_POINTER;
        IWTSListener* listener = nullptr;
        HRESULT hr = pChannelMgr->CreateListener(kChannelName, 0, static_cast<IWTSListenerCallback*>(this), &listener);
        // The listener lives on in the channel manager; no reference is kept here.
        if (listener) listener->Release();
        return hr;
    } catch (const std::exception& e) {
        TVX_LOG(tvxlog::error) << "plugin 'Initialize' exception: " << e.what();
        return E_UNEXPECTED;
    } catch (...) {
        return E_UNEXPECTED;
    }
}

HRESULT STDMETHODCALLTYPE DOZAPlugin::Connected() {
    try {
        TVX_LOG(tvxlog::debug) << "plugin 'Connected' evevent";
    } catch (...) {
    }
    return S_OK;
}

HRESULT STDMETHODCALLTYPE DOZAPlugin::Disconnected(DWORD dwDisconnectCode) {
    try {
        TVX_LOG(tvxlog::debug) << "plugin 'Disconnected' event" << dwDisconnectCode;
        stopAll();
    } catch (const std::exception& e) {
        TVX_LOG(tvxlog::error) << "plugin 'Disconnected' exception: " << e.what();
    } catch (...) {
    }
    return S_OK;
}

HRESULT STDMETHODCALLTYPE DOZAPlugin::Terminated() {
    try {
        TVX_LOG(tvxlog::debug) << "plugin 'Terminated' event";
        // Clients built on FreeRDP end with Terminated alone, without OnClose
        // or Disconnected: nothing may be left running or held.
        stopAll();
    } catch (const std::exception& e) {
        TVX_LOG(tvxlog::error) << "plugin 'Terminated' exception: " << e.what();
    } catch (...) {
    }
    instances_->releaseAll();
    return S_OK;
}

// ---- IWTSListenerCallback ----

HRESULT STDMETHODCALLTYPE DOZAPlugin::OnNewChannelConnection(IWTSVirtualChannel* pChannel, BSTR /*data*/,
                                                              BOOL* pbAccept, IWTSVirtualChannelCallback** ppCallback) {
    try {
        TVX_LOG(tvxlog::debug) << "plugin 'new channel' event.";
        std::lock_guard<std::mutex> lock(instances_->lifecycle());
        const std::uint64_t id = instances_->open(pChannel);
        if (ppCallback) {
            *ppCallback = new (std::nothrow) ChannelCallback(instances_, id, stopOnLastClose);
            // Without a callback of its own the instance is served through
            // the object's.
            if (!*ppCallback) {
                *ppCallback = static_cast<IWTSVirtualChannelCallback*>(this);
                AddRef();
            }
        }
        if (pbAccept) *pbAccept = TRUE;
        TVX_LOG(tvxlog::debug) << "init platform collection threads ...";
        platform_init(kClientKindMicrosoft);
        lume_init();
        TVX_LOG(tvxlog::debug) << "init platform collection threads ... Ok";
    } catch (const std::exception& e) {
        TVX_LOG(tvxlog::error) << "plugin 'new channel' exception: " << e.what();
    } catch (...) {
    }
    return S_OK;
}

// ---- IWTSVirtualChannelCallback, for the newest instance ----

HRESULT STDMETHODCALLTYPE DOZAPlugin::OnDataReceived(ULONG cbSize, BYTE* pBuffer) {
    receiveOnChannel(*this, cbSize, pBuffer);
    return S_OK;
}

HRESULT STDMETHODCALLTYPE DOZAPlugin::OnClose() {
    closeChannelInstance(*instances_, instances_->newest(), stopOnLastClose);
    return S_OK;
}
