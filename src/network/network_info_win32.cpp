// Reads the interface table, the adapter list and the IPv4 forward and address
// tables into plain rows for the interface choice.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>
#include <netioapi.h>

#include <memory>
#include <new>
#include <vector>

#include "network_info.h"
#include "platform/log.h"
#include "platform/platform_service.h"
#include "wifi.h"

namespace {

struct MibTableFree {
    void operator()(MIB_IF_TABLE2* table) const { FreeMibTable(table); }
};

bool readInterfaces(std::vector<InterfaceRow>& out, TableError& failure) {
    MIB_IF_TABLE2* raw = nullptr;
    const DWORD rc = GetIfTable2(&raw);
    std::unique_ptr<MIB_IF_TABLE2, MibTableFree> table(raw);
    if (rc != NO_ERROR || !table) {
        failure = {"GetIfTable error : ", rc};
        return false;
    }
    for (ULONG i = 0; i < table->NumEntries; ++i) {
        const MIB_IF_ROW2& r = table->Table[i];
        InterfaceRow row;
        row.connectorPresent = r.InterfaceAndOperStatusFlags.ConnectorPresent != 0;
        const ULONG length = r.PhysicalAddressLength < IF_MAX_PHYS_ADDRESS_LENGTH ? r.PhysicalAddressLength
                                                                                 : IF_MAX_PHYS_ADDRESS_LENGTH;
        row.physicalAddress.assign(r.PhysicalAddress, r.PhysicalAddress + length);
        row.type = r.Type;
        row.transmitLinkSpeed = r.TransmitLinkSpeed;
        row.outErrors = r.OutErrors;
        out.push_back(std::move(row));
    }
    return true;
}

bool readAdapters(std::vector<AdapterRow>& out, TableError& failure) {
    ULONG size = 0;
    DWORD rc = GetAdaptersInfo(nullptr, &size);
    if (rc != ERROR_BUFFER_OVERFLOW) {
        failure = {"GetAdaptersInfo error : ", rc};
        return false;
    }
    std::vector<unsigned char> buffer;
    try {
        buffer.resize(size);
    } catch (const std::bad_alloc&) {
        failure = {"memory allocating error : ", ERROR_NOT_ENOUGH_MEMORY};
        return false;
    }
    auto* list = reinterpret_cast<IP_ADAPTER_INFO*>(buffer.data());
    rc = GetAdaptersInfo(list, &size);
    if (rc != NO_ERROR) {
        failure = {"GetAdaptersinfo error : ", rc};
        return false;
    }
    for (const IP_ADAPTER_INFO* a = list; a; a = a->Next) {
        AdapterRow row;
        row.name = a->AdapterName;
        row.description = a->Description;
        const UINT length = a->AddressLength < MAX_ADAPTER_ADDRESS_LENGTH ? a->AddressLength
                                                                          : MAX_ADAPTER_ADDRESS_LENGTH;
        row.address.assign(a->Address, a->Address + length);
        row.dhcpEnabled = a->DhcpEnabled != 0;
        row.leaseExpires = static_cast<std::int64_t>(a->LeaseExpires);
        row.firstIp = a->IpAddressList.IpAddress.String;
        row.firstGateway = a->GatewayList.IpAddress.String;
        out.push_back(std::move(row));
    }
    return true;
}

using RtlIpv4AddressToStringAFn = PSTR(NTAPI*)(const IN_ADDR*, PSTR);

// Looked up once; a missing function is reported once per process.
RtlIpv4AddressToStringAFn addressToString() {
    static const RtlIpv4AddressToStringAFn fn = [] {
        HMODULE ntdll = GetModuleHandleA("ntdll.dll");
        auto found = ntdll ? reinterpret_cast<RtlIpv4AddressToStringAFn>(
                                 reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlIpv4AddressToStringA")))
                           : nullptr;
        if (!found)
            TVX_LOG_AS(tvxlog::error, kForwardTableFunction)
                << "GetProcAddress for 'RtlIpv4AddressToStringA' error : " << tvxlog::errorSuffix(GetLastError());
        return found;
    }();
    return fn;
}

std::string render(RtlIpv4AddressToStringAFn toText, DWORD address) {
    IN_ADDR in{};
    in.S_un.S_addr = address;
    char text[16] = "";
    toText(&in, text);
    return text;
}

// Sized read of one of the sorted IP Helper tables into an owned buffer.
template <typename Table, typename Read>
bool readTable(std::vector<unsigned char>& buffer, Read read, const char* message) {
    ULONG size = 0;
    DWORD rc = read(nullptr, &size);
    if (rc != ERROR_INSUFFICIENT_BUFFER) {
        TVX_LOG_AS(tvxlog::error, kForwardTableFunction) << message << tvxlog::errorSuffix(rc);
        return false;
    }
    try {
        buffer.resize(size);
    } catch (const std::bad_alloc&) {
        TVX_LOG_AS(tvxlog::error, kForwardTableFunction) << "malloc error : "
                                                         << tvxlog::errorSuffix(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    rc = read(reinterpret_cast<Table*>(buffer.data()), &size);
    if (rc != NO_ERROR) {
        TVX_LOG_AS(tvxlog::error, kForwardTableFunction) << message << tvxlog::errorSuffix(rc);
        return false;
    }
    return true;
}

}  // namespace

DefaultRouteMetrics getInetIPForwardTableInfo() {
    const RtlIpv4AddressToStringAFn toText = addressToString();
    if (!toText) return {};
    std::vector<unsigned char> forwardBuffer;
    std::vector<unsigned char> addressBuffer;
    if (!readTable<MIB_IPFORWARDTABLE>(
            forwardBuffer, [](MIB_IPFORWARDTABLE* t, ULONG* s) { return GetIpForwardTable(t, s, TRUE); },
            "GetIpForwardTable error : ") ||
        !readTable<MIB_IPADDRTABLE>(
            addressBuffer, [](MIB_IPADDRTABLE* t, ULONG* s) { return GetIpAddrTable(t, s, TRUE); },
            "GetIpAddrTable error : "))
        return {};
    const auto* forward = reinterpret_cast<const MIB_IPFORWARDTABLE*>(forwardBuffer.data());
    const auto* addresses = reinterpret_cast<const MIB_IPADDRTABLE*>(addressBuffer.data());
    std::vector<RouteRow> routes;
    for (DWORD i = 0; i < forward->dwNumEntries; ++i) {
        const MIB_IPFORWARDROW& r = forward->table[i];
        routes.push_back({r.dwForwardIfIndex, render(toText, r.dwForwardDest), r.dwForwardMetric1});
    }
    std::vector<AddressRow> rows;
    for (DWORD i = 0; i < addresses->dwNumEntries; ++i)
        rows.push_back({addresses->table[i].dwIndex, render(toText, addresses->table[i].dwAddr)});
    return buildDefaultRouteMetrics(routes, rows);
}

NetworkSources systemNetworkSources() {
    NetworkSources s;
    s.readInterfaces = readInterfaces;
    s.readAdapters = readAdapters;
    s.defaultRouteMetrics = getInetIPForwardTableInfo;
    s.wifiQuery = [](std::string& guid, std::string& ssid, std::string& bssid, std::string& authentication,
                     std::string& radioType, int& strength, int& channel) {
        return getWifiMetricsImpl(guid, ssid, bssid, authentication, radioType, strength, channel);
    };
    s.running = isServiceRunning;
    return s;
}
