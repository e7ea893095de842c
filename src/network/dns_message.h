// One DNS question for an IPv4 address and the reading of its answer: what
// the public-IP lookup sends to the public resolver where no console program
// asks for it. The answer comes from the network and is read with every
// length checked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace dns {

// A standard query, recursion desired, for the A records of name. Empty
// when name is not a valid host name (a label of 1 to 63 bytes, 253 at most).
std::vector<std::uint8_t> buildAQuery(std::uint16_t id, const std::string& name);

enum class Reply {
    answer,    // a response to our query; addresses holds its A records
    foreign,   // not the response to our query (id, flags or question differ)
    refused,   // our response, with an error code (no such name, refused, ...)
    malformed  // a read would leave the datagram, or a name loops
};

// Reads a datagram that came back for buildAQuery(id, name). addresses gets
// the A records (network byte order) of name and of the names it is an alias
// of, in answer order.
Reply parseAReply(const std::uint8_t* data, std::size_t size, std::uint16_t id, const std::string& name,
                  std::vector<std::uint32_t>& addresses);

}  // namespace dns
