// Host builds have no HTTPS client: the collectors that need one only run on
// Windows, and the native tests hand the lookup a fake.
#include "http_request.h"

#include "platform/log.h"

namespace {

class UnavailableHttpClient : public HttpClient {
public:
    std::string request(const std::u16string&, const std::u16string& url, const std::vector<std::u16string>&,
                        const std::string&) override {
        TVX_LOG(tvxlog::error) << "no HTTP client on this platform: " << url;
        return {};
    }
};

}  // namespace

HttpClient& systemHttpClient() {
    static UnavailableHttpClient client;
    return client;
}
