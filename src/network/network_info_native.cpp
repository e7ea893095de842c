// The host build reads no interfaces: getNetworkInfo fails as on a machine
// whose interface table cannot be read. Tests hand rows of their own.
#include "network_info.h"
#include "platform/platform_service.h"

DefaultRouteMetrics getInetIPForwardTableInfo() { return {}; }

NetworkSources systemNetworkSources() {
    NetworkSources s;
    s.readInterfaces = [](std::vector<InterfaceRow>&, TableError& failure) {
        failure = {"GetIfTable error : ", 50};  // ERROR_NOT_SUPPORTED
        return false;
    };
    s.readAdapters = [](std::vector<AdapterRow>&, TableError&) { return false; };
    s.defaultRouteMetrics = getInetIPForwardTableInfo;
    s.wifiQuery = [](std::string&, std::string&, std::string&, std::string&, std::string&, int&, int&) {
        return false;
    };
    s.running = isServiceRunning;
    return s;
}
