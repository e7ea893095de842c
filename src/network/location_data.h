// One answer of the location lookup service: the public address, its
// provider and approximate location. Shared by reference between the lookup
// cache and its readers.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace locationData {

struct LOCATION_DATA {
    std::string countryName;
    std::string region;
    std::string city;
    std::string latitude;
    std::string longitude;
    std::string ip;
    std::string ispName;
    std::string network;
    // Seconds since 1970 after which the record is stale.
    std::int64_t expires = 0;
};

using LocationRef = std::shared_ptr<const LOCATION_DATA>;

}  // namespace locationData
