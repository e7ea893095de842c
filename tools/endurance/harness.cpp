#include "endurance/harness.h"

#include <exception>

#include "codec/codec.h"
#include "rdclient/report.h"

namespace endurance {

namespace {

thread_local ReplySink* currentSink = nullptr;

const char kLumeDocument[] = R"({"machine":{"ComputerName":"REMOTE-HOST-01","MicrosoftTeams":{"calls":2}}})";

std::string checkSize(const Bytes& reply, std::size_t size) {
    return reply.size() == size ? std::string() : "a reply of " + std::to_string(reply.size()) + " bytes";
}

Bytes jsonRpc(const char* method, const Json::Value& params, int id) {
    return tvxcodec::jsonRpcFrame(tvxcodec::jsonRpcPayload(method, params, Json::Value(id)));
}

std::string checkJsonRpc(const Bytes& reply, int id) {
    try {
        Json::Value answer = tvxcodec::decodeJsonRpcFrame(reply).value;
        if (!answer.isMember("result")) return "no result: " + tvxcodec::decodeJsonRpcFrame(reply).text;
        if (answer["id"] != Json::Value(id)) return "the reply of another request (id " + answer["id"].toStyledString() + ")";
        return {};
    } catch (const std::exception& e) {
        return e.what();
    }
}

}  // namespace

// ---- ReplyChannel ----

void ReplyChannel::setSink(ReplySink* sink) { currentSink = sink; }

HRESULT STDMETHODCALLTYPE ReplyChannel::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, __uuidof(IWTSVirtualChannel))) {
        *ppv = static_cast<IWTSVirtualChannel*>(this);
        AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE ReplyChannel::Release() {
    ULONG left = --references_;
    if (left == 0) delete this;
    return left;
}

HRESULT STDMETHODCALLTYPE ReplyChannel::Write(ULONG cbSize, BYTE* pBuffer, IUnknown*) {
    ReplySink* sink = currentSink;
    if (!sink) {
        ++strays_;
        return S_OK;
    }
    ++sink->count;
    if (sink->keep) sink->last.assign(pBuffer, pBuffer + (pBuffer ? cbSize : 0));
    return S_OK;
}

// ---- request kinds ----

const std::vector<RequestKind>& requestKinds() {
    static const std::vector<RequestKind> kinds = {
        {"PING", [](int) { return tvxcodec::pingRequest(); },
         [](const Bytes& r, int) { return checkSize(r, tvxcodec::kPingReplySize); }},
        {"GET_CLIENT_DATA", [](int) { return tvxcodec::getClientDataRequest(); },
         [](const Bytes& r, int) { return checkSize(r, tvxcodec::kClientDataSize); }},
        {"GET_CLIENT_DATA_V2", [](int) { return tvxcodec::getClientDataV2Request(); },
         [](const Bytes& r, int) { return checkSize(r, tvxcodec::kClientDataV2ReplySize); }},
        {"SET_LUME_DATA", [](int) { return tvxcodec::setLumeDataRequest(kLumeDocument); },
         [](const Bytes& r, int) { return checkSize(r, tvxcodec::kSetLumeDataReplySize); }},
        {"JSON-RPC PING", [](int id) { return jsonRpc("PING", Json::Value(), id); }, checkJsonRpc},
        {"GET_METRICS", [](int id) { return jsonRpc("GET_METRICS", Json::Value(), id); }, checkJsonRpc},
        {"JSON-RPC SET_LUME_DATA",
         [](int id) {
             Json::Value params(Json::objectValue);
             params["lume_msg"] = kLumeDocument;
             return jsonRpc("SET_LUME_DATA", params, id);
         },
         checkJsonRpc},
    };
    return kinds;
}

std::size_t kindIndex(const std::string& name) {
    const auto& kinds = requestKinds();
    for (std::size_t i = 0; i < kinds.size(); ++i)
        if (kinds[i].name == name) return i;
    return kinds.size();
}

// ---- RegisteredPlugin ----

RegisteredPlugin::RegisteredPlugin() : dll_(standin::pluginPathBesideProgram()) {
    if (!dll_.loaded()) {
        error_ = "cannot load " + standin::utf8(dll_.path()) + " (error " + std::to_string(GetLastError()) + ")";
        return;
    }
    HRESULT hr = dll_.registerServer();
    registered_ = SUCCEEDED(hr);
    std::optional<std::wstring> name = standin::readAddInClassText();
    if (!registered_) error_ = "DllRegisterServer: " + standin::hresultText(hr);
    else if (!name || FAILED(CLSIDFromString(name->c_str(), &clsid_))) error_ = "no class in the add-ins key";
}

RegisteredPlugin::~RegisteredPlugin() {
    if (registered_) dll_.unregisterServer();
}

// ---- Client ----

Client::Client(const CLSID& clsid) {
    HRESULT hr = session_.create(clsid);
    if (FAILED(hr)) {
        error_ = "CoCreateInstance: " + standin::hresultText(hr);
        return;
    }
    if (FAILED(hr = session_.initialize())) {
        error_ = "Initialize: " + standin::hresultText(hr);
        return;
    }
    session_.connected();
    listener_ = session_.manager().listenerFor(standin::kChannelName);
    if (!listener_) error_ = "no listener for the channel";
}

Client::~Client() { end(); }

bool Client::open() {
    if (!listener_) return false;
    ReplyChannel* channel = ReplyChannel::create();
    BOOL accept = FALSE;
    standin::Ref<IWTSVirtualChannelCallback> callback;
    HRESULT hr = listener_->OnNewChannelConnection(channel, nullptr, &accept, callback.put());
    // From here on the plug-in holds the channel's only reference.
    channel->Release();
    {
        std::lock_guard<std::mutex> lock(callbackMutex_);
        callback_ = callback;
    }
    return SUCCEEDED(hr) && accept && callback;
}

standin::Ref<IWTSVirtualChannelCallback> Client::current() const {
    std::lock_guard<std::mutex> lock(callbackMutex_);
    return callback_;
}

void Client::close() {
    if (auto callback = current()) callback->OnClose();
}

void Client::send(const Bytes& message, ReplySink& sink) const {
    auto callback = current();
    if (!callback) return;
    ReplyChannel::setSink(&sink);
    callback->OnDataReceived(static_cast<ULONG>(message.size()), const_cast<BYTE*>(message.data()));
    ReplyChannel::setSink(nullptr);
}

void Client::end() {
    if (!session_.plugin()) return;
    session_.disconnected(0);
    session_.terminated();
    {
        std::lock_guard<std::mutex> lock(callbackMutex_);
        callback_.reset();
    }
    listener_.reset();
    session_.release();
}

}  // namespace endurance
