// Client of the location lookup service: signed requests, answer parsing and
// a per-address cache of 24 hours. An answer whose "ip" is not a public
// IPv4 address is a failed lookup.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "http_request.h"
#include "location_data.h"

// One request as it goes to the HTTP client.
struct LocationRequest {
    std::u16string method;
    std::u16string url;
    std::vector<std::u16string> headers;
    std::string body;
};

// The request for an address, or for the caller's own address when address is
// empty (then randomValue is what gets signed). time is seconds since 1970.
LocationRequest buildLocationRequest(const std::string& address, std::int64_t time, const std::string& randomValue,
                                     const std::string& key, const std::string& host);
// {"ip": "<value>"} with the value escaped as a JSON string.
std::string locationRequestBody(const std::string& value);
// 32 letters and digits from the system's cryptographic random source.
std::string makeRandomString();
// Parses an answer of the own-address form (byAddress false) or of the
// by-address form; now is the parse time in seconds. Empty on any failure.
locationData::LocationRef parseLocationAnswer(const std::string& answer, bool byAddress, std::int64_t now);

class LocationLookup {
public:
    using Clock = std::function<std::int64_t()>;
    static std::int64_t systemSeconds();

    // The clock is replaceable for the tests only.
    explicit LocationLookup(HttpClient& http, Clock clock = systemSeconds);

    // The record for an address; 0.0.0.0, 127.x.x.x, ::, ::1 and the empty
    // text ask for the caller's own public address. Empty on any failure.
    locationData::LocationRef getLocationByIp(const std::string& address);

    std::size_t cacheSizeForTests();

private:
    // Keeps the record under the address and drops the expired ones.
    void store(const std::string& address, const locationData::LocationRef& record);

    HttpClient& http_;
    Clock clock_;
    std::mutex cacheMutex_;
    std::map<std::string, locationData::LocationRef> cache_;
};

// The process-wide lookup over the system's HTTP client.
locationData::LocationRef getLocationByIp(const std::string& address);
