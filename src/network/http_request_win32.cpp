// The HTTP client on WinHTTP: one session, connection and request per call,
// closed on every path.
#include <windows.h>
#include <winhttp.h>

#include <exception>
#include <string>
#include <vector>

#include "http_request.h"
#include "platform/log.h"

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
std::string lastErrorSuffix() {
    DWORD code = GetLastError();
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

}  // namespace

// The three handles of one request; members close in reverse order of
// declaration: request, connection, session.
class httprequest_win_impl {
public:
    bool init(const std::u16string& method, const std::u16string& url, const std::vector<std::u16string>& headers);
    bool do_request(const std::string& body, std::string& response);

private:
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

    session_.reset(WinHttpOpen(L"QMLINK_AGENT/1.0", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                               WINHTTP_NO_PROXY_BYPASS, 0));
    if (!session_) {
        TVX_LOG(tvxlog::error) << "WinHttpOpen failed with error : " << lastErrorSuffix();
        return false;
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
    for (const auto& header : headers)
        WinHttpAddRequestHeaders(request_.get(), wide(header), static_cast<DWORD>(-1L), WINHTTP_ADDREQ_FLAG_ADD);
    return true;
}

bool httprequest_win_impl::do_request(const std::string& body, std::string& response) {
    response.clear();
    if (!request_) TVX_LOG(tvxlog::error) << "internal error.";
    if (!WinHttpSendRequest(request_.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0,
                            static_cast<DWORD>(body.size()), 0)) {
        TVX_LOG(tvxlog::error) << "WinHttpSendRequest failed with error : " << lastErrorSuffix();
        return false;
    }
    if (!body.empty()) {
        DWORD written = 0;
        if (!WinHttpWriteData(request_.get(), body.data(), static_cast<DWORD>(body.size()), &written)) {
            TVX_LOG(tvxlog::error) << "WinHttpWriteData failed with error : " << lastErrorSuffix();
            return false;
        }
    }
    if (!WinHttpReceiveResponse(request_.get(), nullptr)) {
        TVX_LOG(tvxlog::error) << "WinHttpReceiveResponse failed with error : " << lastErrorSuffix();
        return false;
    }
    for (;;) {
        DWORD available = 0;
        if (!WinHttpQueryDataAvailable(request_.get(), &available)) {
            TVX_LOG(tvxlog::error) << "WinHttpQueryDataAvailable failed with error : " << lastErrorSuffix();
            return false;
        }
        if (available == 0) return true;
        std::vector<char> buffer(available);
        DWORD read = 0;
        if (!WinHttpReadData(request_.get(), buffer.data(), available, &read)) {
            TVX_LOG(tvxlog::error) << "WinHttpReadData failed with error : " << lastErrorSuffix();
            return false;
        }
        if (read == 0) return true;
        response.append(buffer.data(), read);
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
