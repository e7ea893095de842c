// The HTTP client on WinHTTP: one session, connection and request per call,
// closed on every path.
#include <windows.h>
#include <winhttp.h>

#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "http_request.h"
#include "platform/log.h"
#include "platform/module_hold.h"
#include "platform/stop_event_win32.h"

namespace {

// Owns one WinHTTP handle.
class WinHttpHandle {
public:
    WinHttpHandle() = default;
    WinHttpHandle(const WinHttpHandle&) = delete;
    WinHttpHandle& operator=(const WinHttpHandle&) = delete;
    ~WinHttpHandle() { reset(); }
    void reset(HINTERNET handle = nullptr) {
        if (handle_) WinHttpCloseHandle(handle_);
        handle_ = handle;
    }
    HINTERNET get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }

private:
    HINTERNET handle_ = nullptr;
};

const wchar_t* wide(const std::u16string& text) { return reinterpret_cast<const wchar_t*>(text.c_str()); }

// WinHTTP's own codes have their texts in winhttp.dll, not in the system's table.
std::string errorSuffix(DWORD code) {
    if (code >= WINHTTP_ERROR_BASE && code <= WINHTTP_ERROR_LAST) {
        wchar_t* buffer = nullptr;
        DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_HMODULE |
                                     FORMAT_MESSAGE_IGNORE_INSERTS,
                                 GetModuleHandleW(L"winhttp.dll"), code, 0, reinterpret_cast<wchar_t*>(&buffer), 0,
                                 nullptr);
        std::u16string text;
        if (n && buffer) text.assign(reinterpret_cast<const char16_t*>(buffer), n);
        if (buffer) LocalFree(buffer);
        while (!text.empty() && (text.back() == u'\r' || text.back() == u'\n' || text.back() == u' ')) text.pop_back();
        if (!text.empty()) return "[" + std::to_string(code) + "] : " + tvxlog::toUtf8(text);
    }
    return tvxlog::errorSuffix(code);
}

std::string lastErrorSuffix() { return errorSuffix(GetLastError()); }

#ifndef WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY
#define WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY 4
#endif
#ifndef WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3
#define WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3 0x00002000
#endif

// Each step of an exchange may wait this long for its answer, and the whole
// exchange no longer than the deadline: a service that trickles one byte at a
// time cannot hold a task for ever.
constexpr DWORD kResolveTimeoutMs = 5000;
constexpr DWORD kConnectTimeoutMs = 5000;
constexpr DWORD kSendTimeoutMs = 5000;
constexpr DWORD kReceiveTimeoutMs = 10000;
constexpr ULONGLONG kExchangeDeadlineMs = 15000;

// What the status callback reports to the waiting thread. Shared between the
// two: the callback holds its reference until WinHTTP says the request
// handle is closing, so a request given up on (stop, deadline) can be closed
// at once, its buffers and the module staying until WinHTTP is done with them.
struct Exchange {
    Exchange() : event(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}
    ~Exchange() {
        if (event) CloseHandle(event);
    }
    Exchange(const Exchange&) = delete;
    Exchange& operator=(const Exchange&) = delete;

    HANDLE event;
    // Written by the callback before it sets the event.
    DWORD status = 0;
    DWORD error = 0;
    DWORD bytes = 0;
    std::string body;
    char buffer[16384] = {};
    ModuleHold hold;
};
using ExchangeRef = std::shared_ptr<Exchange>;

void CALLBACK onStatus(HINTERNET, DWORD_PTR context, DWORD status, LPVOID info, DWORD length) {
    auto* ref = reinterpret_cast<ExchangeRef*>(context);
    if (!ref) return;
    if (status == WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING) {
        delete ref;
        return;
    }
    Exchange& x = **ref;
    switch (status) {
    case WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE:
    case WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE:
        break;
    case WINHTTP_CALLBACK_STATUS_WRITE_COMPLETE:
    case WINHTTP_CALLBACK_STATUS_DATA_AVAILABLE:
        x.bytes = info && length >= sizeof(DWORD) ? *static_cast<const DWORD*>(info) : 0;
        break;
    case WINHTTP_CALLBACK_STATUS_READ_COMPLETE:
        x.bytes = length;
        break;
    case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR:
        x.error = info ? static_cast<const WINHTTP_ASYNC_RESULT*>(info)->dwError : ERROR_WINHTTP_INTERNAL_ERROR;
        break;
    default:
        return;
    }
    x.status = status;
    SetEvent(x.event);
}

}  // namespace

// The three handles of one request; members close in reverse order of
// declaration: request, connection, session. Requests are asynchronous, so
// each step is waited for with the service's stop and a deadline.
class httprequest_win_impl {
public:
    bool init(const std::u16string& method, const std::u16string& url, const std::vector<std::u16string>& headers);
    bool do_request(const std::string& body, std::string& response);

private:
    enum class Waited { done, failed, given_up };
    // Waits for the step's completion; on failure error holds the code.
    Waited wait(DWORD& error);
    bool watchRequest();

    ExchangeRef exchange_ = std::make_shared<Exchange>();
    ServiceStopEvent stop_;
    ULONGLONG deadline_ = GetTickCount64() + kExchangeDeadlineMs;
    WinHttpHandle session_;
    WinHttpHandle connection_;
    WinHttpHandle request_;
};

bool httprequest_win_impl::init(const std::u16string& method, const std::u16string& url,
                                const std::vector<std::u16string>& headers) {
    wchar_t hostName[1024] = {};
    wchar_t urlPath[1024] = {};
    URL_COMPONENTS parts = {};
    parts.dwStructSize = sizeof parts;
    parts.lpszHostName = hostName;
    parts.dwHostNameLength = ARRAYSIZE(hostName);
    parts.lpszUrlPath = urlPath;
    parts.dwUrlPathLength = ARRAYSIZE(urlPath);
    if (!WinHttpCrackUrl(wide(url), 0, ICU_ESCAPE, &parts)) {
        TVX_LOG(tvxlog::error) << "WinHttpCrackUrl failed with error : " << lastErrorSuffix();
        return false;
    }
    TVX_LOG(tvxlog::debug) << "hostName:" << static_cast<const wchar_t*>(hostName)
                           << ", hostResource: " << static_cast<const wchar_t*>(urlPath);

    // The proxy the system is configured for, where the system knows the
    // automatic kind (Windows 8.1 on); before that, the default setting.
    session_.reset(WinHttpOpen(L"QMLINK_AGENT/1.0", WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_NO_PROXY_NAME,
                               WINHTTP_NO_PROXY_BYPASS, WINHTTP_FLAG_ASYNC));
    if (!session_)
        session_.reset(WinHttpOpen(L"QMLINK_AGENT/1.0", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                                   WINHTTP_NO_PROXY_BYPASS, WINHTTP_FLAG_ASYNC));
    if (!session_) {
        TVX_LOG(tvxlog::error) << "WinHttpOpen failed with error : " << lastErrorSuffix();
        return false;
    }
    WinHttpSetTimeouts(session_.get(), kResolveTimeoutMs, kConnectTimeoutMs, kSendTimeoutMs, kReceiveTimeoutMs);
    // TLS 1.2 at the least; a system that does not know 1.3 gets 1.2 alone.
    DWORD protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3;
    if (!WinHttpSetOption(session_.get(), WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof protocols)) {
        protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2;
        if (!WinHttpSetOption(session_.get(), WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof protocols))
            TVX_LOG(tvxlog::warning) << "TLS 1.2 could not be required: " << lastErrorSuffix();
    }
    connection_.reset(WinHttpConnect(session_.get(), hostName, parts.nPort, 0));
    if (!connection_) {
        TVX_LOG(tvxlog::error) << "WinHttpConnect failed with error : " << lastErrorSuffix();
        return false;
    }
    // Always TLS, also for a plain-scheme URL: the port stays the URL's.
    request_.reset(WinHttpOpenRequest(connection_.get(), wide(method), urlPath, nullptr, WINHTTP_NO_REFERER,
                                      WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE));
    if (!request_) {
        TVX_LOG(tvxlog::error) << "WinHttpOpenRequest failed with error : " << lastErrorSuffix();
        return false;
    }
    // The signed headers go to the host asked, never on to another one.
    DWORD noRedirects = WINHTTP_DISABLE_REDIRECTS;
    if (!WinHttpSetOption(request_.get(), WINHTTP_OPTION_DISABLE_FEATURE, &noRedirects, sizeof noRedirects)) {
        TVX_LOG(tvxlog::error) << "WinHttpSetOption (no redirects) failed with error : " << lastErrorSuffix();
        return false;
    }
    for (const auto& header : headers)
        WinHttpAddRequestHeaders(request_.get(), wide(header), static_cast<DWORD>(-1L), WINHTTP_ADDREQ_FLAG_ADD);
    return watchRequest();
}

bool httprequest_win_impl::watchRequest() {
    if (!exchange_->event) {
        TVX_LOG(tvxlog::error) << "CreateEvent failed with error : " << lastErrorSuffix();
        return false;
    }
    auto* context = new ExchangeRef(exchange_);
    DWORD_PTR value = reinterpret_cast<DWORD_PTR>(context);
    if (!WinHttpSetOption(request_.get(), WINHTTP_OPTION_CONTEXT_VALUE, &value, sizeof value)) {
        delete context;
        TVX_LOG(tvxlog::error) << "WinHttpSetOption (context) failed with error : " << lastErrorSuffix();
        return false;
    }
    if (WinHttpSetStatusCallback(request_.get(), onStatus,
                                 WINHTTP_CALLBACK_FLAG_ALL_COMPLETIONS | WINHTTP_CALLBACK_FLAG_HANDLES,
                                 0) == WINHTTP_INVALID_STATUS_CALLBACK) {
        // No callback will ever see the context: take it back.
        value = 0;
        WinHttpSetOption(request_.get(), WINHTTP_OPTION_CONTEXT_VALUE, &value, sizeof value);
        delete context;
        TVX_LOG(tvxlog::error) << "WinHttpSetStatusCallback failed with error : " << lastErrorSuffix();
        return false;
    }
    return true;
}

httprequest_win_impl::Waited httprequest_win_impl::wait(DWORD& error) {
    const ULONGLONG now = GetTickCount64();
    const DWORD left = now >= deadline_ ? 0 : static_cast<DWORD>(deadline_ - now);
    HANDLE waits[2] = {exchange_->event, stop_.get()};
    const DWORD r = WaitForMultipleObjects(stop_.valid() ? 2 : 1, waits, FALSE, left);
    if (r == WAIT_OBJECT_0) {
        if (exchange_->status != WINHTTP_CALLBACK_STATUS_REQUEST_ERROR) return Waited::done;
        error = exchange_->error;
        return Waited::failed;
    }
    if (r == WAIT_OBJECT_0 + 1)
        TVX_LOG(tvxlog::debug) << "request given up: the service stops";
    else
        TVX_LOG(tvxlog::error) << "request given up: no answer within " << kExchangeDeadlineMs << " ms";
    return Waited::given_up;
}

bool httprequest_win_impl::do_request(const std::string& body, std::string& response) {
    response.clear();
    if (!request_) TVX_LOG(tvxlog::error) << "internal error.";
    Exchange& x = *exchange_;
    // The body is sent from the exchange's own copy: WinHTTP may still read
    // it after a request given up on has returned.
    x.body = body;
    DWORD error = 0;
    auto step = [&](BOOL started, const char* name) {
        if (!started) {
            TVX_LOG_AS(tvxlog::error, "httprequest_win_impl::do_request") << name << " failed with error : "
                                                                            << lastErrorSuffix();
            return false;
        }
        switch (wait(error)) {
        case Waited::done:
            return true;
        case Waited::failed:
            TVX_LOG_AS(tvxlog::error, "httprequest_win_impl::do_request") << name << " failed with error : "
                                                                            << errorSuffix(error);
            return false;
        case Waited::given_up:
            return false;
        }
        return false;
    };
    if (!step(WinHttpSendRequest(request_.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0,
                                 static_cast<DWORD>(x.body.size()), 0),
              "WinHttpSendRequest"))
        return false;
    if (!x.body.empty() &&
        !step(WinHttpWriteData(request_.get(), x.body.data(), static_cast<DWORD>(x.body.size()), nullptr),
              "WinHttpWriteData"))
        return false;
    if (!step(WinHttpReceiveResponse(request_.get(), nullptr), "WinHttpReceiveResponse")) return false;
    for (;;) {
        if (!step(WinHttpQueryDataAvailable(request_.get(), nullptr), "WinHttpQueryDataAvailable")) return false;
        const DWORD available = x.bytes;
        if (available == 0) return true;
        const DWORD ask = available < sizeof x.buffer ? available : static_cast<DWORD>(sizeof x.buffer);
        if (!step(WinHttpReadData(request_.get(), x.buffer, ask, nullptr), "WinHttpReadData")) return false;
        const DWORD read = x.bytes;
        if (read == 0) return true;
        if (response.size() + read > kMaxResponseBytes) {
            TVX_LOG(tvxlog::error) << "Response larger than " << kMaxResponseBytes << " bytes; the rest is ignored";
            response.append(x.buffer, kMaxResponseBytes - response.size());
            return false;
        }
        response.append(x.buffer, read);
    }
}

std::string httprequest_win::request(const std::u16string& method, const std::u16string& url,
                                     const std::vector<std::u16string>& headers, const std::string& body) {
    try {
        httprequest_win_impl impl;
        std::string response;
        // What was read before a failure part-way through the body is kept.
        if (impl.init(method, url, headers)) impl.do_request(body, response);
        return response;
    } catch (const std::exception& e) {
        TVX_LOG(tvxlog::error) << "request : Internal error: " << e.what();
    } catch (...) {
        TVX_LOG(tvxlog::error) << "Internal error: unexpected exception";
    }
    return {};
}

HttpClient& systemHttpClient() {
    static httprequest_win client;
    return client;
}
