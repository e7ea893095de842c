// The HTTP client on libcurl, behaving as the WinHTTP one does: one handle per
// call, always TLS (1.2 at the least, the system's CA store), no redirects,
// the caller's headers as given, a body whatever the status, each step and
// the whole exchange bounded, the service's stop ending the wait at once.
#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdlib>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "getaddrinfo_text.h"
#include "http_request.h"
#include "platform/log.h"
#include "platform/module_hold.h"
#include "platform/platform_service.h"
#include "probes_sys.h"
#include "stop_wait_linux.h"

namespace {

// WinHTTP's limits: the name 5 s (our bounded resolution), connecting 5 s
// and the TLS handshake within the same 10 s that curl counts together, no
// byte for 10 s while receiving, and 15 s for the whole exchange.
constexpr long kConnectTimeoutMs = 10000;
constexpr long kStallSeconds = 10;
constexpr int kExchangeDeadlineMs = 15000;
constexpr int kWsaTimedOut = 10060;
constexpr char kUserAgent[] = "QMLINK_AGENT/1.0";

struct EasyFree {
    void operator()(CURL* c) const { curl_easy_cleanup(c); }
};
struct MultiFree {
    void operator()(CURLM* m) const { curl_multi_cleanup(m); }
};
struct ListFree {
    void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};
struct UrlFree {
    void operator()(CURLU* u) const { curl_url_cleanup(u); }
};
struct TextFree {
    void operator()(char* t) const { curl_free(t); }
};
using Text = std::unique_ptr<char, TextFree>;

// The common shape of the error lines: "[code] : text".
std::string suffix(long code, const char* text) { return "[" + std::to_string(code) + "] : " + text; }

Text urlPart(CURLU* url, CURLUPart part, unsigned flags = 0) {
    char* text = nullptr;
    if (curl_url_get(url, part, &text, flags) != CURLUE_OK) text = nullptr;
    return Text(text);
}

bool hasHeader(const std::vector<std::string>& lines, const std::string& name) {
    return std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
        return line.size() > name.size() && line[name.size()] == ':' &&
               std::equal(name.begin(), name.end(), line.begin(), [](char a, char b) {
                   return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
               });
    });
}

}  // namespace

// One request's curl handles; the stop watch goes first, the multi handle last.
class httprequest_win_impl {
public:
    httprequest_win_impl()
        : multi_(curl_multi_init()), watch_([this] {
              stopped_ = true;
              if (multi_) curl_multi_wakeup(multi_.get());
          }) {}
    ~httprequest_win_impl() {
        if (added_) curl_multi_remove_handle(multi_.get(), easy_.get());
    }
    httprequest_win_impl(const httprequest_win_impl&) = delete;
    httprequest_win_impl& operator=(const httprequest_win_impl&) = delete;

    bool init(const std::u16string& method, const std::u16string& url, const std::vector<std::u16string>& headers);
    bool do_request(const std::string& body, std::string& response);

private:
    static std::size_t onData(char* data, std::size_t size, std::size_t count, void* self);
    bool crack(const std::string& url, std::string& host, long& port, std::string& target);
    bool pin(const std::string& host, long port);
    void fail(CURLcode code);

    ModuleHold hold_;
    const stopwait::Clock::time_point deadline_ =
        stopwait::Clock::now() + std::chrono::milliseconds(kExchangeDeadlineMs);
    std::unique_ptr<CURLM, MultiFree> multi_;
    std::unique_ptr<curl_slist, ListFree> headers_, resolve_;  // outlive the easy handle
    std::unique_ptr<CURL, EasyFree> easy_;
    std::atomic<bool> stopped_{false};
    ServiceStopWatch watch_;
    bool added_ = false;
    bool sendsBody_ = false;
    bool tooLarge_ = false;
    std::string body_;
    std::string* response_ = nullptr;
    char error_[CURL_ERROR_SIZE] = {};
};

bool httprequest_win_impl::crack(const std::string& url, std::string& host, long& port, std::string& target) {
    std::unique_ptr<CURLU, UrlFree> parts(curl_url());
    if (!parts) throw std::bad_alloc();
    CURLUcode rc = curl_url_set(parts.get(), CURLUPART_URL, url.c_str(), 0);
    const Text scheme = rc == CURLUE_OK ? urlPart(parts.get(), CURLUPART_SCHEME) : nullptr;
    if (rc == CURLUE_OK && (!scheme || (std::string(scheme.get()) != "https" && std::string(scheme.get()) != "http")))
        rc = CURLUE_UNSUPPORTED_SCHEME;
    const Text hostName = rc == CURLUE_OK ? urlPart(parts.get(), CURLUPART_HOST) : nullptr;
    const Text portText = rc == CURLUE_OK ? urlPart(parts.get(), CURLUPART_PORT, CURLU_DEFAULT_PORT) : nullptr;
    if (rc == CURLUE_OK && (!hostName || !portText)) rc = CURLUE_NO_HOST;
    if (rc != CURLUE_OK) {
        TVX_LOG_AS(tvxlog::error, "httprequest_win_impl::init") << "WinHttpCrackUrl failed with error : " << suffix(rc, curl_url_strerror(rc));
        return false;
    }
    host = hostName.get();
    port = std::stol(portText.get());
    const Text path = urlPart(parts.get(), CURLUPART_PATH);
    const Text query = urlPart(parts.get(), CURLUPART_QUERY);
    const std::string resource = std::string(path ? path.get() : "/") + (query ? "?" + std::string(query.get()) : "");
    TVX_LOG_AS(tvxlog::debug, "httprequest_win_impl::init") << "hostName:" << tvxlog::printable(host) << ", hostResource: " << tvxlog::printable(resource);
    // Always TLS, also for a plain-scheme URL: the port stays the URL's.
    curl_url_set(parts.get(), CURLUPART_SCHEME, "https", 0);
    curl_url_set(parts.get(), CURLUPART_PORT, portText.get(), 0);
    const Text whole = urlPart(parts.get(), CURLUPART_URL);
    if (!whole) throw std::bad_alloc();
    target = whole.get();
    return true;
}

// The name through our bounded resolution, handed to curl, whose own
// resolver thread would outlive a stop. Without an answer only a proxy from
// the environment (which resolves the name itself) can still reach the host.
bool httprequest_win_impl::pin(const std::string& host, long port) {
    if (host.empty() || host.front() == '[') return true;
    std::vector<probesys::ResolvedAddress> found;
    const int rc = probesys::resolveBounded(host, found, probesys::resolveWithGetaddrinfo, kWsaTimedOut);
    if (rc == 0 && !found.empty()) {
        std::string entry = host + ":" + std::to_string(port) + ":";
        for (std::size_t i = 0; i < found.size(); ++i)
            entry += (i ? "," : "") + (found[i].ipv4 ? found[i].text : "[" + found[i].text + "]");
        resolve_.reset(curl_slist_append(nullptr, entry.c_str()));
        if (!resolve_) throw std::bad_alloc();
        curl_easy_setopt(easy_.get(), CURLOPT_RESOLVE, resolve_.get());
        return true;
    }
    if (stopped_) {
        TVX_LOG_AS(tvxlog::debug, "httprequest_win_impl::do_request") << "request given up: the service stops";
        return false;
    }
    for (const char* proxy : {"https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"})
        if (const char* value = std::getenv(proxy); value && *value) return true;
    TVX_LOG_AS(tvxlog::error, "httprequest_win_impl::do_request")
        << "WinHttpSendRequest failed with error : "
        << suffix(CURLE_COULDNT_RESOLVE_HOST, ("Could not resolve host: " + tvxlog::printable(host)).c_str());
    return false;
}

bool httprequest_win_impl::init(const std::u16string& method, const std::u16string& url,
                                const std::vector<std::u16string>& headers) {
    std::string host, target;
    long port = 0;
    if (!crack(tvxlog::toUtf8(url), host, port, target)) return false;
    easy_.reset(curl_easy_init());
    if (!easy_ || !multi_) {
        TVX_LOG(tvxlog::error) << "WinHttpOpen failed with error : " << suffix(CURLE_FAILED_INIT, "no curl handle");
        return false;
    }
    CURL* c = easy_.get();
    curl_easy_setopt(c, CURLOPT_URL, target.c_str());
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "https");
    curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, "https");
    // The signed headers go to the host asked, never on to another one.
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(c, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
    curl_easy_setopt(c, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    curl_easy_setopt(c, CURLOPT_USERAGENT, kUserAgent);
    // In the client's process: no signal handlers of ours, no waiting at the
    // end for a resolver thread of curl's.
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_QUICK_EXIT, 1L);
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, kConnectTimeoutMs);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, kStallSeconds);
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, error_);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &httprequest_win_impl::onData);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, this);

    sendsBody_ = method != u"GET";
    const std::string verb = tvxlog::toUtf8(method);
    if (verb != "GET" && verb != "POST") curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, verb.c_str());

    // The caller's lines in the caller's order; curl's own additions that
    // WinHTTP does not make are taken out unless the caller gives them.
    std::vector<std::string> lines;
    for (const auto& h : headers) lines.push_back(tvxlog::toUtf8(h));
    for (const char* name : {"Accept", "Expect", "Content-Type"})
        if (!hasHeader(lines, name)) lines.push_back(std::string(name) + ":");
    for (const auto& line : lines) {
        curl_slist* grown = curl_slist_append(headers_.get(), line.c_str());
        if (!grown) throw std::bad_alloc();
        headers_.release();
        headers_.reset(grown);
    }
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers_.get());
    return pin(host, port);
}

std::size_t httprequest_win_impl::onData(char* data, std::size_t size, std::size_t count, void* self) {
    auto& x = *static_cast<httprequest_win_impl*>(self);
    const std::size_t n = size * count;
    std::string& response = *x.response_;
    if (response.size() + n > kMaxResponseBytes) {
        response.append(data, kMaxResponseBytes - response.size());
        x.tooLarge_ = true;
        return 0;  // ends the transfer
    }
    response.append(data, n);
    return n;
}

// One error line for a failed exchange, named after the WinHTTP step that
// would have met the failure, in do_request's name as WinHTTP's client logs it.
void httprequest_win_impl::fail(CURLcode code) {
    if (tooLarge_) {
        TVX_LOG_AS(tvxlog::error, "httprequest_win_impl::do_request") << "Response larger than " << kMaxResponseBytes << " bytes; the rest is ignored";
        return;
    }
    long status = 0;
    long sent = 0;
    curl_easy_getinfo(easy_.get(), CURLINFO_RESPONSE_CODE, &status);
    curl_easy_getinfo(easy_.get(), CURLINFO_REQUEST_SIZE, &sent);
    const char* step = status != 0 ? "WinHttpReadData"
                       : sent == 0 ? "WinHttpSendRequest"
                       : code == CURLE_SEND_ERROR && sendsBody_ ? "WinHttpWriteData"
                                                                : "WinHttpReceiveResponse";
    TVX_LOG_AS(tvxlog::error, "httprequest_win_impl::do_request") << step << " failed with error : "
                           << suffix(code, error_[0] ? error_ : curl_easy_strerror(code));
}

bool httprequest_win_impl::do_request(const std::string& body, std::string& response) {
    response.clear();
    if (!easy_) {
        TVX_LOG(tvxlog::error) << "internal error.";
        return false;
    }
    response_ = &response;
    body_ = body;
    if (sendsBody_ || !body_.empty()) {
        curl_easy_setopt(easy_.get(), CURLOPT_POST, 1L);
        curl_easy_setopt(easy_.get(), CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body_.size()));
        curl_easy_setopt(easy_.get(), CURLOPT_POSTFIELDS, body_.data());
        if (!sendsBody_) curl_easy_setopt(easy_.get(), CURLOPT_CUSTOMREQUEST, "GET");
    }
    if (curl_multi_add_handle(multi_.get(), easy_.get()) != CURLM_OK) {
        TVX_LOG(tvxlog::error) << "WinHttpSendRequest failed with error : " << suffix(CURLE_FAILED_INIT, "curl_multi_add_handle");
        return false;
    }
    added_ = true;
    for (;;) {
        int running = 0;
        const CURLMcode mc = curl_multi_perform(multi_.get(), &running);
        if (mc != CURLM_OK) {
            TVX_LOG(tvxlog::error) << "WinHttpReceiveResponse failed with error : " << suffix(mc, curl_multi_strerror(mc));
            return false;
        }
        if (running == 0) break;
        if (stopped_) {
            TVX_LOG(tvxlog::debug) << "request given up: the service stops";
            return false;
        }
        const int left = stopwait::remainingMs(deadline_);
        if (left == 0) {
            TVX_LOG(tvxlog::error) << "request given up: no answer within " << kExchangeDeadlineMs << " ms";
            return false;
        }
        // Ends with curl's sockets, its own timers, the deadline or a wake-up.
        curl_multi_poll(multi_.get(), nullptr, 0, left, nullptr);
    }
    int queued = 0;
    CURLcode result = CURLE_OK;
    while (CURLMsg* m = curl_multi_info_read(multi_.get(), &queued))
        if (m->msg == CURLMSG_DONE && m->easy_handle == easy_.get()) result = m->data.result;
    if (result == CURLE_OK) return true;
    fail(result);
    return false;
}

std::string httprequest_win::request(const std::u16string& method, const std::u16string& url,
                                     const std::vector<std::u16string>& headers, const std::string& body) {
    try {
        static std::once_flag once;
        std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
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
