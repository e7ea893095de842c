#include "location_lookup.h"

#include <json/reader.h>
#include <json/value.h>

#include <chrono>
#include <cstdio>
#include <exception>
#include <memory>
#include <random>
#include <thread>

#include "platform/log.h"
#include "platform/privacy_filter.h"
#include "platform/settings.h"
#include "public_ip.h"
#include "secure_random.h"
#include "sha256.h"

namespace {

using locationData::LOCATION_DATA;
using locationData::LocationRef;

constexpr std::int64_t kLifetimeSeconds = 86400;
constexpr char kAlphabet[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
constexpr unsigned kAlphabetSize = sizeof kAlphabet - 1;

std::u16string u16(const std::string& text) { return tvxlog::toUtf16(text); }

bool parseDottedQuad(const std::string& text, unsigned (&octets)[4]) {
    std::size_t at = 0;
    for (int i = 0; i < 4; ++i) {
        if (i > 0 && (at >= text.size() || text[at++] != '.')) return false;
        std::size_t start = at;
        unsigned value = 0;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9' && at - start < 3)
            value = value * 10 + unsigned(text[at++] - '0');
        if (at == start || value > 255) return false;
        octets[i] = value;
    }
    return at == text.size();
}

// The service's "ip" becomes the public address, a cache key and a host that
// is probed: only a public IPv4 address in its plain dotted form will do.
bool isPublicAddressText(const std::string& text) {
    unsigned o[4];
    if (!parseDottedQuad(text, o)) return false;
    if (text != std::to_string(o[0]) + "." + std::to_string(o[1]) + "." + std::to_string(o[2]) + "." +
                    std::to_string(o[3]))
        return false;
    return isPublicAddress(o[0] | o[1] << 8 | o[2] << 16 | std::uint32_t{o[3]} << 24);
}

// Addresses that cannot be the public one stand for "whatever address the
// service sees".
bool asksForOwnAddress(const std::string& address) {
    if (address.empty() || address == "::" || address == "::1") return true;
    unsigned o[4];
    if (!parseDottedQuad(address, o)) return false;
    return o[0] == 127 || (o[0] == 0 && o[1] == 0 && o[2] == 0 && o[3] == 0);
}

// A member of an object; null for anything that is not an object, so an
// answer of an unexpected shape reads as missing members, never as a throw.
const Json::Value& member(const Json::Value& node, const char* name) {
    static const Json::Value null;
    if (!node.isObject()) return null;
    const Json::Value* found = node.find(name, name + std::char_traits<char>::length(name));
    return found ? *found : null;
}

std::string text(const Json::Value& node, const char* name) {
    const Json::Value& v = member(node, name);
    return v.isConvertibleTo(Json::stringValue) ? v.asString() : std::string();
}

LocationRef getLocationData(const Json::Value& node, std::int64_t now) {
    if (!node.isObject()) {
        TVX_LOG(tvxlog::error) << "Invalid QMEndpoint response: node [data][data] should be object";
        return nullptr;
    }
    auto record = std::make_shared<LOCATION_DATA>();
    record->countryName = text(node, "country_name");
    record->region = text(node, "region");
    record->city = text(node, "city");
    record->latitude = text(node, "latitude");
    record->longitude = text(node, "longitude");
    record->ip = text(node, "ip");
    if (!isPublicAddressText(record->ip)) {
        TVX_LOG(tvxlog::error) << "Invalid QMEndpoint response: ip '" << tvxlog::printable(record->ip) << "' is not a public address";
        return nullptr;
    }
    const Json::Value& company = member(node, "company");
    if (!company.isNull()) {
        record->ispName = text(company, "name");
        record->network = text(company, "network");
    }
    const Json::Value& asn = member(node, "asn");
    if (!asn.isNull()) {
        if (record->ispName.empty()) record->ispName = text(asn, "name");
        if (record->network.empty()) record->network = text(asn, "route");
    }
    record->expires = now + kLifetimeSeconds;
    return record;
}

// An answer names the provider and the place: it reaches the log only when
// both privacy switches allow them, else its length does.
std::string loggableAnswer(const std::string& answer) {
    auto& privacy = dataPrivacyFilter::instance();
    if (privacy.isEnabled(kPrivacyLocation) && privacy.isEnabled(kPrivacyIspName)) return tvxlog::printable(answer);
    return "(" + std::to_string(answer.size()) + " bytes)";
}

enum class Parsed { ok, empty, invalid };

Parsed parseAnswer(const std::string& answer, Json::Value& root, std::string& errors) {
    if (answer.empty()) return Parsed::empty;
    // Building the reader's settings costs more than parsing an answer; the
    // builder is only read once made, so lookups on any thread may share it.
    static const Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    try {
        return reader->parse(answer.data(), answer.data() + answer.size(), &root, &errors) ? Parsed::ok
                                                                                             : Parsed::invalid;
    } catch (const std::exception& e) {
        // Nesting deeper than the reader allows is a parse error like any other.
        errors = e.what();
        return Parsed::invalid;
    }
}

// The two parsers log these lines under their own names.
#define TVX_PARSE_ANSWER_OR_RETURN(answer, root)                                              \
    do {                                                                                      \
        std::string errors;                                                                   \
        switch (parseAnswer(answer, root, errors)) {                                          \
        case Parsed::empty:                                                                   \
            TVX_LOG(tvxlog::error) << "Empty response from QMEndpoint service";               \
            return nullptr;                                                                   \
        case Parsed::invalid:                                                                 \
            TVX_LOG(tvxlog::error) << "Parsing QMEndpoint response error : " << errors;       \
            TVX_LOG(tvxlog::debug) << "\t" << loggableAnswer(answer);                          \
            return nullptr;                                                                   \
        case Parsed::ok:                                                                      \
            break;                                                                            \
        }                                                                                     \
    } while (0)

LocationRef parseDataIp(const std::string& answer, std::int64_t now) {
    Json::Value root;
    TVX_PARSE_ANSWER_OR_RETURN(answer, root);
    return getLocationData(root, now);
}

LocationRef parseDataSaasIp(const std::string& answer, std::int64_t now) {
    Json::Value root;
    TVX_PARSE_ANSWER_OR_RETURN(answer, root);
    const Json::Value& outer = member(root, "data");
    if (outer.isNull()) {
        TVX_LOG(tvxlog::error) << "Invalid QMEndpoint response: node [data] does not exist";
        return nullptr;
    }
    const Json::Value& inner = member(outer, "data");
    if (inner.isNull()) {
        TVX_LOG(tvxlog::error) << "Invalid QMEndpoint response: node [data][data] does not exist";
        return nullptr;
    }
    return getLocationData(inner, now);
}

#undef TVX_PARSE_ANSWER_OR_RETURN

LocationRef look4IpInfo(const std::string& address, HttpClient& http, const LocationLookup::Clock& clock) {
    const std::string randomValue = address.empty() ? makeRandomString() : std::string();
    LocationRequest request = buildLocationRequest(address, clock(), randomValue, readLocationServiceKey(),
                                                   readLocationServiceHost());
    std::string answer = http.request(request.method, request.url, request.headers, request.body);
    TVX_LOG(tvxlog::debug) << "mosaic response: " << loggableAnswer(answer);
    return address.empty() ? parseDataIp(answer, clock()) : parseDataSaasIp(answer, clock());
}

// Only if the system's source fails: a generator seeded from everything
// that differs between calls, never the unseeded C runtime one.
char fallbackRandomCharacter() {
    thread_local std::mt19937_64 generator = [] {
        std::uint64_t device[2] = {};
        try {
            std::random_device source;
            device[0] = source();
            device[1] = source();
        } catch (const std::exception&) {
            // The clock and the thread still differ between runs and threads.
        }
        std::seed_seq seed{device[0], device[1],
                           std::uint64_t(std::chrono::high_resolution_clock::now().time_since_epoch().count()),
                           std::uint64_t(std::hash<std::thread::id>()(std::this_thread::get_id()))};
        return std::mt19937_64(seed);
    }();
    return kAlphabet[std::uniform_int_distribution<unsigned>(0, kAlphabetSize - 1)(generator)];
}

}  // namespace

std::string locationRequestBody(const std::string& value) {
    std::string body = "{\"ip\": \"";
    for (char c : value) {
        auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            body += '\\';
            body += c;
        } else if (u < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", u);
            body += escaped;
        } else {
            body += c;
        }
    }
    body += "\"}";
    return body;
}

LocationRequest buildLocationRequest(const std::string& address, std::int64_t time, const std::string& randomValue,
                                     const std::string& key, const std::string& host) {
    const std::string timeText = std::to_string(time);
    const std::string body = locationRequestBody(address.empty() ? randomValue : address);
    const std::string signature = Sha256::hex(body + key + timeText);
    LocationRequest request;
    if (address.empty()) {
        // The service rebuilds the signed body from the random header.
        request.method = u"GET";
        request.url = u"https://" + u16(host) + u"/api/v1/ip-data";
        request.headers = {u16("X-QM-Time: " + timeText), u16("X-QM-Signature: " + signature),
                           u16("X-QM-Random: " + randomValue)};
    } else {
        request.method = u"POST";
        request.url = u"https://" + u16(host) + u"/saas/ip";
        request.headers = {u"Content-type: application/json", u16("X-KV-Time: " + timeText),
                           u16("X-KV-Signature: " + signature)};
        request.body = body;
    }
    return request;
}

std::string makeRandomString() {
    std::string value;
    std::uint8_t bytes[64];
    bool secure = true;
    while (value.size() < 32) {
        if (secure && !secureRandomBytes(bytes, sizeof bytes)) secure = false;
        if (!secure) {
            value += fallbackRandomCharacter();
            continue;
        }
        // Bytes from 248 up are dropped so that every character is equally likely.
        for (std::uint8_t b : bytes)
            if (b < 4 * kAlphabetSize && value.size() < 32) value += kAlphabet[b % kAlphabetSize];
    }
    return value;
}

LocationRef parseLocationAnswer(const std::string& answer, bool byAddress, std::int64_t now) {
    return byAddress ? parseDataSaasIp(answer, now) : parseDataIp(answer, now);
}

std::int64_t LocationLookup::systemSeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
}

LocationLookup::LocationLookup(HttpClient& http, Clock clock) : http_(http), clock_(std::move(clock)) {}

LocationRef LocationLookup::getLocationByIp(const std::string& address) {
    if (asksForOwnAddress(address)) {
        LocationRef found = look4IpInfo(std::string(), http_, clock_);
        if (found) store(found->ip, found);
        return found;
    }
    {
        std::lock_guard<std::mutex> lock(cacheMutex_);
        auto it = cache_.find(address);
        if (it != cache_.end()) {
            if (it->second->expires >= clock_()) return it->second;
            cache_.erase(it);
        }
    }
    // No lock while the request runs: two threads may ask at once, the later
    // store wins.
    LocationRef found = look4IpInfo(address, http_, clock_);
    if (found) store(address, found);
    return found;
}

std::size_t LocationLookup::cacheSizeForTests() {
    std::lock_guard<std::mutex> lock(cacheMutex_);
    return cache_.size();
}

void LocationLookup::store(const std::string& address, const LocationRef& record) {
    const std::int64_t now = clock_();
    std::lock_guard<std::mutex> lock(cacheMutex_);
    // Addresses met once (routes, networks left) would otherwise stay for good.
    std::erase_if(cache_, [now](const auto& entry) { return entry.second->expires < now; });
    cache_[address] = record;
}

locationData::LocationRef getLocationByIp(const std::string& address) {
    static LocationLookup lookup(systemHttpClient());
    return lookup.getLocationByIp(address);
}
