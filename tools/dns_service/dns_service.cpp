// Stand-in for the public resolver that tells a client its own address: an
// A query for the special name is answered with the query's source address
// (after the lab's home router, its public address); every other question is
// refused. Written apart from the plug-in's DNS code, so that the two do not
// share a mistake.
//
//   tvx_dns_service [--listen ADDR:PORT] [--name NAME]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <string>

namespace {

// The question's name in lower case, and where its type begins; false when
// the datagram holds no plain question (queries carry no pointers).
bool readQuestion(const unsigned char* q, std::size_t n, std::string& name, std::size_t& end) {
    std::size_t at = 12;
    name.clear();
    while (at < n && q[at] != 0) {
        const std::size_t length = q[at];
        if (length > 63 || at + 1 + length >= n) return false;
        if (!name.empty()) name += '.';
        for (std::size_t i = 0; i < length; ++i)
            name += static_cast<char>(std::tolower(q[at + 1 + i]));
        at += 1 + length;
    }
    end = at + 1;
    return end + 4 <= n;
}

}  // namespace

int main(int argc, char** argv) {
    std::string listen = "0.0.0.0:53", special = "myip.opendns.com";
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        if (a == "--listen") listen = argv[i + 1];
        else if (a == "--name") special = argv[i + 1];
        else return std::cerr << "usage: tvx_dns_service [--listen ADDR:PORT] [--name NAME]\n", 2;
    }
    const auto colon = listen.rfind(':');
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(static_cast<std::uint16_t>(std::atoi(listen.c_str() + colon + 1)));
    const int s = socket(AF_INET, SOCK_DGRAM, 0);
    if (colon == std::string::npos || inet_pton(AF_INET, listen.substr(0, colon).c_str(), &at.sin_addr) != 1 ||
        bind(s, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0) {
        std::cerr << "cannot listen on " << listen << "\n";
        return 1;
    }
    std::cout << "ready" << std::endl;
    for (;;) {
        unsigned char q[512];
        sockaddr_in from{};
        socklen_t fromLength = sizeof from;
        const ssize_t n = recvfrom(s, q, sizeof q, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
        std::string name;
        std::size_t end = 0;
        if (n < 12 || (q[2] & 0x80) || !readQuestion(q, static_cast<std::size_t>(n), name, end)) continue;
        const bool ours = name == special && q[end] == 0 && q[end + 1] == 1 && q[end + 2] == 0 && q[end + 3] == 1;
        // The header: id kept, a response with recursion available, one
        // question and, for ours, one answer; else "refused" (5).
        std::string r(reinterpret_cast<const char*>(q), end + 4);
        r[2] = static_cast<char>(0x80 | (q[2] & 0x01));
        r[3] = static_cast<char>(ours ? 0x80 : 0x85);
        r[4] = 0, r[5] = 1, r[6] = 0, r[7] = ours ? 1 : 0;
        for (int k = 8; k < 12; ++k) r[k] = 0;
        if (ours) {
            // The owner as a pointer to the question's name, type A, class IN,
            // a time to live of 0, the four address bytes.
            const unsigned char answer[] = {0xC0, 0x0C, 0, 1, 0, 1, 0, 0, 0, 0, 0, 4};
            r.append(reinterpret_cast<const char*>(answer), sizeof answer);
            r.append(reinterpret_cast<const char*>(&from.sin_addr.s_addr), 4);
        }
        sendto(s, r.data(), r.size(), 0, reinterpret_cast<sockaddr*>(&from), fromLength);
    }
}
