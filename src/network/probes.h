// Round-trip probes (ICMP echo, TCP connect) and the sample endpoint they
// measure. Times are whole milliseconds; -1 means no measurement.
#pragma once

#include <cstdint>
#include <string>

// One ICMP echo to an IPv4 address text; on a failure the address's previous
// result is returned once, then -1.
int getRoundTripToIP_impl(const std::string& ip);
// Times TCP connects to host:port (a refusal counts as reached). 0 or -1;
// averageMs gets the average over the attempts that reached the host, or
// all bits set when none did.
int getTcpConnectTime(const char* host, std::uint16_t port, std::uint32_t delayMs, int attempts,
                      std::uint32_t& averageMs);
// ICMP first, then TCP connects to ports 443 and 80.
int getRoundTripToHost(const std::string& host);
// The sample endpoint's address (empty when unknown); endpointName gets its
// configured name. Refreshed after 600 s.
std::string getPingIp(std::string& endpointName);
// First IPv4 address of a name (or the last address when none is IPv4); empty
// on failure.
std::string resolveEndpoint(const std::string& name);
bool isValidIPv4(const std::string& text);
