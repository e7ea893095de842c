// The plug-in's collectors probe the default gateway, public addresses and
// an internet service. They may run only where those probes cannot leave a
// test network: a namespace holding loopback alone, or the lab's namespaces
// with their test ranges.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace standin {

// One address of an interface that is up: IPv4 (4 bytes) or IPv6 (16 bytes).
struct InterfaceAddress {
    std::string interfaceName;
    bool loopbackInterface = false;
    std::vector<std::uint8_t> address;
};

// Loopback, IPv6 link-local, and the ranges the lab gives its client:
// 198.51.100.0/24, 203.0.113.0/24 and 198.18.0.0/15. Not 192.0.2.0/24, which
// is the build machine's own network.
bool isTestAddress(const std::vector<std::uint8_t>& address);

// Empty when every address is a test address, else what was found.
std::string checkTestNetworkOnly(const std::vector<InterfaceAddress>& addresses);

// The addresses of the interfaces that are up (GetAdaptersAddresses).
// False when they cannot be read.
bool readInterfaceAddresses(std::vector<InterfaceAddress>& out, std::string& error);

// Empty when the collectors may run here; otherwise why not.
std::string whyNotATestNetwork();

// "127.0.0.1" or "::1".
std::string addressText(const std::vector<std::uint8_t>& address);

}  // namespace standin
