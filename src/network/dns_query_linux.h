// Our own DNS question over UDP, where Linux has no nslookup or
// Resolve-DnsName for the public-IP methods to run.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace dnsquery {

enum class Outcome { answered, noAnswer, stopped, failed };

// Asks resolver (IPv4, network byte order) on UDP port 53 for the A records
// of name: up to tries times, each waited for at most tryMs, ending at once
// with the service's stop. answered: addresses holds what the reply gave.
Outcome askA(std::uint32_t resolver, const std::string& name, std::vector<std::uint32_t>& addresses, int tries = 2,
             int tryMs = 1000);

}  // namespace dnsquery
