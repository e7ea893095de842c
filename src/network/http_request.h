// The one HTTPS request the location lookup needs: synchronous, whole body
// back, empty text on failure. Behind an interface so the lookup logic runs
// against a fake in the native tests.
#pragma once

#include <string>
#include <vector>

class HttpClient {
public:
    virtual ~HttpClient() = default;
    // method and url as text; headers as complete "Name: value" lines. Returns
    // the response body whatever the status; on a failure part-way through the
    // body, what was read until then; empty when nothing came back.
    virtual std::string request(const std::u16string& method, const std::u16string& url,
                                const std::vector<std::u16string>& headers, const std::string& body) = 0;
};

// WinHTTP on Windows. Always TLS, whatever the URL's scheme; no reuse between
// requests, no state outside one call.
class httprequest_win : public HttpClient {
public:
    std::string request(const std::u16string& method, const std::u16string& url,
                        const std::vector<std::u16string>& headers, const std::string& body) override;
};

// The client the plug-in's lookups use on this platform.
HttpClient& systemHttpClient();
