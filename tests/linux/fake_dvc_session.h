// FreeRDP 2's channel manager as the add-in meets it: dlopen, DVCPluginEntry
// with entry points of our own, Initialize, channels opened, messages as
// wStreams, OnClose and Terminated in FreeRDP's order.
#pragma once

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <freerdp/dvc.h>
#include <winpr/stream.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "codec/codec.h"

namespace fakedvc {

using Bytes = std::vector<std::uint8_t>;

struct FakeChannel {
    IWTSVirtualChannel iface{};
    std::vector<Bytes> writes;
    bool emptyWrite = false;  // FreeRDP 2 closes the channel on a write of 0 bytes
    IWTSVirtualChannelCallback* callback = nullptr;
};

struct FakeManager {
    IWTSVirtualChannelManager iface{};
    IWTSListenerCallback* listener = nullptr;
    std::string listenedName;
};

struct FakeEntryPoints {
    IDRDYNVC_ENTRY_POINTS iface{};
    IWTSPlugin* plugin = nullptr;
    int registered = 0;
};

inline std::size_t threadCount() {
    const std::filesystem::directory_iterator tasks("/proc/self/task");
    return static_cast<std::size_t>(std::distance(begin(tasks), end(tasks)));
}

// One connection of the client: its own manager and plug-in instance.
class Session {
public:
    explicit Session(PDVC_PLUGIN_ENTRY entry) {
        entryPoints_.iface.RegisterPlugin = [](IDRDYNVC_ENTRY_POINTS* ep, const char* name, IWTSPlugin* plugin) {
            auto* fake = reinterpret_cast<FakeEntryPoints*>(ep);
            fake->plugin = std::string(name) == "qmlink-dvc" ? plugin : nullptr;
            return static_cast<UINT>(fake->registered++ == 0 ? CHANNEL_RC_OK : ERROR_INTERNAL_ERROR);
        };
        entryPoints_.iface.GetPlugin = [](IDRDYNVC_ENTRY_POINTS* ep, const char*) {
            return reinterpret_cast<FakeEntryPoints*>(ep)->plugin;
        };
        manager_.iface.CreateListener = [](IWTSVirtualChannelManager* mgr, const char* name, ULONG,
                                           IWTSListenerCallback* callback, IWTSListener** listener) {
            reinterpret_cast<FakeManager*>(mgr)->listener = callback;
            reinterpret_cast<FakeManager*>(mgr)->listenedName = name;
            *listener = nullptr;
            return UINT{CHANNEL_RC_OK};
        };
        EXPECT_EQ(entry(&entryPoints_.iface), CHANNEL_RC_OK);
        // FreeRDP may call the entry twice for one connection: still one plug-in.
        EXPECT_EQ(entry(&entryPoints_.iface), CHANNEL_RC_OK);
        plugin_ = entryPoints_.plugin;
        EXPECT_EQ(plugin_->Initialize(plugin_, &manager_.iface), CHANNEL_RC_OK);
        EXPECT_EQ(manager_.listenedName, "qmlink-dvc");
    }

    FakeChannel* open() {
        auto channel = std::make_unique<FakeChannel>();
        channel->iface.Write = [](IWTSVirtualChannel* c, ULONG cbSize, const BYTE* pBuffer, void*) {
            auto* fake = reinterpret_cast<FakeChannel*>(c);
            fake->emptyWrite |= cbSize == 0;
            fake->writes.emplace_back(pBuffer, pBuffer + cbSize);
            return UINT{CHANNEL_RC_OK};
        };
        BOOL accept = FALSE;
        manager_.listener->OnNewChannelConnection(manager_.listener, &channel->iface, nullptr, &accept, &channel->callback);
        EXPECT_TRUE(accept);
        if (channel->callback->OnOpen) channel->callback->OnOpen(channel->callback);
        channels_.push_back(std::move(channel));
        return channels_.back().get();
    }

    static Bytes ask(FakeChannel* channel, Bytes message) {
        wStream s{};
        s.buffer = s.pointer = message.data();
        s.length = s.capacity = message.size();
        const std::size_t before = channel->writes.size();
        channel->callback->OnDataReceived(channel->callback, &s);
        EXPECT_FALSE(channel->emptyWrite);
        EXPECT_LE(channel->writes.size(), before + 1);
        return channel->writes.size() > before ? channel->writes.back() : Bytes{};
    }

    static void close(FakeChannel* channel) { channel->callback->OnClose(channel->callback); }
    void terminate() { plugin_->Terminated(plugin_); }

private:
    FakeEntryPoints entryPoints_;
    FakeManager manager_;
    IWTSPlugin* plugin_ = nullptr;
    std::vector<std::unique_ptr<FakeChannel>> channels_;
};

inline Bytes text(const char* kind) { return Bytes(kind, kind + std::strlen(kind) + 1); }

// DVCPluginEntry of the library TVX_ADDIN names, loaded once per process.
inline PDVC_PLUGIN_ENTRY loadAddin() {
    const char* path = std::getenv("TVX_ADDIN");
    if (path == nullptr) return nullptr;
    void* library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) return nullptr;
    return reinterpret_cast<PDVC_PLUGIN_ENTRY>(dlsym(library, "DVCPluginEntry"));
}

// GET_METRICS's result on a channel, without the round trip the host sent.
inline Json::Value metrics(FakeChannel* channel) {
    const Bytes ask = tvxcodec::jsonRpcFrame(tvxcodec::jsonRpcPayload("GET_METRICS", {}, 4));
    Json::Value result = tvxcodec::decodeJsonRpcFrame(Session::ask(channel, ask)).value["result"];
    result.removeMember("serverRoundtripMs");
    return result;
}

}  // namespace fakedvc
