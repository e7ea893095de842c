// Name resolution through the socket library's getaddrinfo, the same on both
// platforms: every result for stream sockets rendered in order.
#pragma once

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include <memory>
#include <string>
#include <vector>

#include "probes_sys.h"

namespace probesys {

// 0, or getaddrinfo's code. Blocks as long as the resolver does: the adapters
// call it through resolveBounded.
inline int resolveWithGetaddrinfo(const std::string& name, std::vector<ResolvedAddress>& out) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* raw = nullptr;
    const int rc = getaddrinfo(name.c_str(), nullptr, &hints, &raw);
    if (rc != 0) return rc;
    std::unique_ptr<addrinfo, void (*)(addrinfo*)> list(raw, [](addrinfo* a) { freeaddrinfo(a); });
    for (const addrinfo* a = list.get(); a; a = a->ai_next) {
        char text[INET6_ADDRSTRLEN] = "";
        const void* address = nullptr;
        if (a->ai_family == AF_INET)
            address = &reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr;
        else if (a->ai_family == AF_INET6)
            address = &reinterpret_cast<const sockaddr_in6*>(a->ai_addr)->sin6_addr;
        if (address == nullptr || inet_ntop(a->ai_family, address, text, sizeof text) == nullptr) text[0] = '\0';
        out.push_back({a->ai_family == AF_INET, text});
    }
    return 0;
}

}  // namespace probesys
