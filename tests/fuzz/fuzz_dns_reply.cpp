// A public resolver's reply comes from the network: whatever it holds, the
// reader stays inside the datagram, ends (pointer loops), and an answer's
// addresses come only from A records of four bytes.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "network/dns_message.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The id our query would carry is the reply's own, so the fuzzer gets past
    // the first check and into the question and answers.
    const std::uint16_t id = size >= 2 ? static_cast<std::uint16_t>(data[0] << 8 | data[1]) : 0;
    // A copy of exactly the datagram's size: ASan sees every read beyond it.
    const std::vector<std::uint8_t> datagram(data, data + size);
    std::vector<std::uint32_t> addresses;
    const dns::Reply r = dns::parseAReply(datagram.data(), datagram.size(), id, "myip.opendns.com", addresses);
    if (r != dns::Reply::answer && !addresses.empty()) tvxfuzz::broken("addresses without an answer");
    if (addresses.size() > size / 14) tvxfuzz::broken("more addresses than records fit");
    return 0;
}
