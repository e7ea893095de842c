#include "rdclient/network_guard.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>

#include <cstdio>

namespace standin {

bool isTestAddress(const std::vector<std::uint8_t>& a) {
    if (a.size() == 4) {
        if (a[0] == 127) return true;
        // 192.0.2.0/24 is left out on purpose: it is this machine's own network.
        if (a[0] == 198 && a[1] == 51 && a[2] == 100) return true;
        if (a[0] == 198 && (a[1] & 0xFE) == 18) return true;
        if (a[0] == 203 && a[1] == 0 && a[2] == 113) return true;
        return false;
    }
    if (a.size() == 16) {
        bool loopback = a[15] == 1;
        for (int i = 0; i < 15 && loopback; ++i) loopback = a[i] == 0;
        if (loopback) return true;
        // fe80::/10 does not leave the link, and the lab's links end in its namespaces.
        return a[0] == 0xFE && (a[1] & 0xC0) == 0x80;
    }
    return false;
}

std::string addressText(const std::vector<std::uint8_t>& a) {
    char text[INET6_ADDRSTRLEN] = "?";
    if (a.size() == 4 || a.size() == 16) {
        if (!InetNtopA(a.size() == 4 ? AF_INET : AF_INET6, const_cast<std::uint8_t*>(a.data()), text, sizeof text))
            return "?";
    }
    return text;
}

std::string checkTestNetworkOnly(const std::vector<InterfaceAddress>& addresses) {
    std::string found;
    for (const InterfaceAddress& entry : addresses) {
        if (isTestAddress(entry.address)) continue;
        found += (found.empty() ? "" : ", ") + entry.interfaceName + " " + addressText(entry.address);
    }
    return found.empty() ? std::string() : "an interface outside the test networks is up: " + found;
}

bool readInterfaceAddresses(std::vector<InterfaceAddress>& out, std::string& error) {
    out.clear();
    ULONG size = 16 * 1024;
    std::vector<unsigned char> buffer;
    ULONG rc = ERROR_BUFFER_OVERFLOW;
    for (int attempt = 0; attempt < 4 && rc == ERROR_BUFFER_OVERFLOW; ++attempt) {
        buffer.resize(size);
        rc = GetAdaptersAddresses(AF_UNSPEC, GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER,
                                  nullptr, reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()), &size);
    }
    if (rc == ERROR_NO_DATA) return true;
    if (rc != ERROR_SUCCESS) {
        error = "GetAdaptersAddresses failed with " + std::to_string(rc);
        return false;
    }
    for (auto* adapter = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()); adapter; adapter = adapter->Next) {
        if (adapter->OperStatus != IfOperStatusUp) continue;
        char name[256] = "";
        WideCharToMultiByte(CP_UTF8, 0, adapter->FriendlyName ? adapter->FriendlyName : L"", -1, name, sizeof name,
                            nullptr, nullptr);
        for (auto* unicast = adapter->FirstUnicastAddress; unicast; unicast = unicast->Next) {
            const sockaddr* sa = unicast->Address.lpSockaddr;
            InterfaceAddress entry;
            entry.interfaceName = name;
            entry.loopbackInterface = adapter->IfType == IF_TYPE_SOFTWARE_LOOPBACK;
            if (sa->sa_family == AF_INET) {
                const auto* in = reinterpret_cast<const sockaddr_in*>(sa);
                const auto* b = reinterpret_cast<const std::uint8_t*>(&in->sin_addr);
                entry.address.assign(b, b + 4);
            } else if (sa->sa_family == AF_INET6) {
                const auto* in6 = reinterpret_cast<const sockaddr_in6*>(sa);
                const auto* b = reinterpret_cast<const std::uint8_t*>(&in6->sin6_addr);
                entry.address.assign(b, b + 16);
            } else {
                continue;
            }
            out.push_back(std::move(entry));
        }
    }
    return true;
}

std::string whyNotATestNetwork() {
    std::vector<InterfaceAddress> addresses;
    std::string error;
    if (!readInterfaceAddresses(addresses, error)) return error;
    return checkTestNetworkOnly(addresses);
}

}  // namespace standin
