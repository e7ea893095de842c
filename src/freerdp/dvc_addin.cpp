// The FreeRDP 2 dynamic-channel add-in: the same answers as the COM plug-in,
// behind FreeRDP's IWTSPlugin C structs. FreeRDP aborts the user's whole
// connection when an add-in fails to load or to initialise, so nothing here
// reports a failure of ours back to it.
#include <freerdp/dvc.h>
#include <winpr/stream.h>

#include <cstdint>
#include <exception>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <set>

#include "engine_lifetime.h"
#include "platform/log.h"
#include "platform/logging.h"
#include "platform/xdg_dirs.h"
#include "protocol/dispatcher.h"

namespace {

constexpr char kChannelName[] = "qmlink-dvc";
constexpr unsigned kLogKind = 3;  // "rdp" in the log file name

struct ChannelCallback;

// The log folder when none is configured: $XDG_STATE_HOME/doza-plugin.
std::string stateFolder() {
    const std::string state = xdgStateHome();
    return state.empty() ? state : state + "/doza-plugin";
}

// What one plug-in's channels share. FreeRDP runs Terminated before it closes
// the channels still open, so this outlives the plug-in.
struct AddinChannels {
    std::mutex mutex;
    std::set<ChannelCallback*> counted;  // open channels the engine counts
};

// Replies go to the channel that asked.
class ChannelReplies final : public ChannelWriter {
public:
    explicit ChannelReplies(IWTSVirtualChannel* channel) : channel_(channel) {}
    bool hasChannel() const override { return channel_ != nullptr; }
    void write(const std::uint8_t* data, std::uint32_t size) override {
        // In FreeRDP 2 a write of 0 bytes closes the channel.
        if (size == 0 || !channel_ || !channel_->Write) return;
        channel_->Write(channel_, size, data, nullptr);
    }

private:
    IWTSVirtualChannel* channel_;
};

// FreeRDP hands back the address of the C struct; the owner pointer beside it
// leads to the C++ object.
struct CallbackHead {
    IWTSVirtualChannelCallback iface;
    ChannelCallback* owner;
};

struct ChannelCallback {
    CallbackHead head{};
    ChannelReplies replies;
    std::shared_ptr<AddinChannels> channels;
    ChannelCallback(IWTSVirtualChannel* channel, std::shared_ptr<AddinChannels> shared)
        : replies(channel), channels(std::move(shared)) {}
};

struct Addin;
struct PluginHead {
    IWTSPlugin iface;
    Addin* owner;
};
struct ListenerHead {
    IWTSListenerCallback iface;
    Addin* owner;
};

struct Addin {
    PluginHead plugin{};
    ListenerHead listener{};
    std::shared_ptr<AddinChannels> channels = std::make_shared<AddinChannels>();
};

Addin* addinOf(IWTSPlugin* plugin) { return plugin ? reinterpret_cast<PluginHead*>(plugin)->owner : nullptr; }

// Uncounts a channel once, whichever of OnClose and Terminated comes first.
void releaseChannel(ChannelCallback& callback) {
    bool wasCounted = false;
    {
        std::lock_guard<std::mutex> lock(callback.channels->mutex);
        wasCounted = callback.channels->counted.erase(&callback) != 0;
    }
    if (wasCounted) EngineLifetime::instance().channelClosed();
}

UINT onDataReceived(IWTSVirtualChannelCallback* pChannelCallback, wStream* data) {
    try {
        if (!pChannelCallback) return CHANNEL_RC_OK;
        ChannelCallback& callback = *reinterpret_cast<CallbackHead*>(pChannelCallback)->owner;
        const std::uint8_t* bytes = data ? Stream_Pointer(data) : nullptr;
        std::size_t size = data ? Stream_GetRemainingLength(data) : 0;
        // A longer message cannot be classified as a whole; it is unknown anyway.
        if (size > std::numeric_limits<std::uint32_t>::max()) size = std::numeric_limits<std::uint32_t>::max();
        dispatchChannelMessage(callback.replies, bytes ? static_cast<std::uint32_t>(size) : 0, bytes);
    } catch (...) {
    }
    return CHANNEL_RC_OK;
}

UINT onClose(IWTSVirtualChannelCallback* pChannelCallback) {
    if (!pChannelCallback) return CHANNEL_RC_OK;
    ChannelCallback* callback = reinterpret_cast<CallbackHead*>(pChannelCallback)->owner;
    try {
        TVX_LOG(tvxlog::debug) << "plugin 'close channel' event.";
        releaseChannel(*callback);
    } catch (...) {
    }
    // FreeRDP forgets the callback after OnClose: it is ours to free.
    delete callback;
    return CHANNEL_RC_OK;
}

UINT onNewChannelConnection(IWTSListenerCallback* pListenerCallback, IWTSVirtualChannel* pChannel, BYTE* /*data*/,
                            BOOL* pbAccept, IWTSVirtualChannelCallback** ppCallback) {
    try {
        TVX_LOG(tvxlog::debug) << "plugin 'new channel' event.";
        if (!pListenerCallback || !ppCallback || !pbAccept) return CHANNEL_RC_OK;
        Addin* addin = reinterpret_cast<ListenerHead*>(pListenerCallback)->owner;
        auto* callback = new (std::nothrow) ChannelCallback(pChannel, addin->channels);
        if (!callback) {
            // Refused: the session goes on without this channel.
            *pbAccept = FALSE;
            return CHANNEL_RC_OK;
        }
        callback->head.owner = callback;
        callback->head.iface.OnDataReceived = onDataReceived;
        callback->head.iface.OnOpen = nullptr;
        callback->head.iface.OnClose = onClose;
        {
            std::lock_guard<std::mutex> lock(addin->channels->mutex);
            addin->channels->counted.insert(callback);
        }
        *ppCallback = &callback->head.iface;
        *pbAccept = TRUE;
        EngineLifetime::instance().channelOpened();
    } catch (const std::exception& e) {
        TVX_LOG(tvxlog::error) << "plugin 'new channel' exception: " << e.what();
    } catch (...) {
    }
    return CHANNEL_RC_OK;
}

UINT initialize(IWTSPlugin* pPlugin, IWTSVirtualChannelManager* pChannelMgr) {
    try {
        static std::once_flag folderRule;
        std::call_once(folderRule, [] { logFolderOps().defaultFolder = stateFolder; });
        initLogging(kLogKind, 0);
        TVX_LOG(tvxlog::debug) << "plugin 'Initialize' event";
        Addin* addin = addinOf(pPlugin);
        if (!addin || !pChannelMgr || !pChannelMgr->CreateListener) return CHANNEL_RC_OK;
        IWTSListener* listener = nullptr;
        // The channel manager owns and frees the listener.
        const UINT rc = pChannelMgr->CreateListener(pChannelMgr, kChannelName, 0, &addin->listener.iface, &listener);
        if (rc != CHANNEL_RC_OK)
            TVX_LOG(tvxlog::error) << "plugin 'Initialize' CreateListener failed with error " << rc;
    } catch (const std::exception& e) {
        TVX_LOG(tvxlog::error) << "plugin 'Initialize' exception: " << e.what();
    } catch (...) {
    }
    return CHANNEL_RC_OK;
}

UINT connected(IWTSPlugin*) {
    TVX_LOG(tvxlog::debug) << "plugin 'Connected' evevent";
    return CHANNEL_RC_OK;
}

UINT disconnected(IWTSPlugin*, DWORD dwDisconnectCode) {
    TVX_LOG(tvxlog::debug) << "plugin 'Disconnected' event" << dwDisconnectCode;
    return CHANNEL_RC_OK;
}

// The session ends: the engine stops unless another session's channel is
// open, and the plug-in is freed. Channels still open keep their callbacks
// until FreeRDP closes them right after.
UINT terminated(IWTSPlugin* pPlugin) {
    Addin* addin = addinOf(pPlugin);
    try {
        TVX_LOG(tvxlog::debug) << "plugin 'Terminated' event";
        if (addin) {
            std::set<ChannelCallback*> open;
            {
                std::lock_guard<std::mutex> lock(addin->channels->mutex);
                open.swap(addin->channels->counted);
            }
            for (std::size_t i = 0; i < open.size(); ++i) EngineLifetime::instance().channelClosed();
        }
    } catch (...) {
    }
    delete addin;
    return CHANNEL_RC_OK;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) UINT DVCPluginEntry(IDRDYNVC_ENTRY_POINTS* pEntryPoints) {
    try {
        if (!pEntryPoints || !pEntryPoints->RegisterPlugin) return CHANNEL_RC_OK;
        // Loaded twice for one connection (the option given twice): one plug-in.
        if (pEntryPoints->GetPlugin && pEntryPoints->GetPlugin(pEntryPoints, kChannelName)) return CHANNEL_RC_OK;
        auto* addin = new (std::nothrow) Addin;
        if (!addin) return CHANNEL_RC_OK;
        addin->plugin.owner = addin;
        addin->plugin.iface.Initialize = initialize;
        addin->plugin.iface.Connected = connected;
        addin->plugin.iface.Disconnected = disconnected;
        addin->plugin.iface.Terminated = terminated;
        addin->listener.owner = addin;
        addin->listener.iface.OnNewChannelConnection = onNewChannelConnection;
        if (pEntryPoints->RegisterPlugin(pEntryPoints, kChannelName, &addin->plugin.iface) != CHANNEL_RC_OK)
            delete addin;
    } catch (...) {
    }
    return CHANNEL_RC_OK;
}
