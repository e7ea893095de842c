#include "network_data.h"

#include <mutex>

#include "platform/platform_task.h"

namespace {

struct networkData {
    std::mutex mutex;
    std::string guid;
    std::string gateway;
    std::string privateIp;
    std::string mac;
    std::string ssid;
};

networkData& cache() {
    static networkData data;
    return data;
}

std::string read(std::string networkData::*field) {
    networkData& d = cache();
    std::lock_guard<std::mutex> lock(d.mutex);
    return d.*field;
}

}  // namespace

void setNetworkDataCache(const std::string& guid, const std::string& gateway, const std::string& privateIp,
                         const std::string& mac, const std::string& ssid) {
    networkData& d = cache();
    bool newGateway = false;
    {
        std::lock_guard<std::mutex> lock(d.mutex);
        newGateway = d.gateway != gateway;
        d.guid = guid;
        d.gateway = gateway;
        d.privateIp = privateIp;
        d.mac = mac;
        d.ssid = ssid;
    }
    if (newGateway && !gateway.empty()) announceInput(MetricInput::gateway);
}

std::string getIfGuid() { return read(&networkData::guid); }
std::string getGateway() { return read(&networkData::gateway); }
std::string getPrivateIp() { return read(&networkData::privateIp); }
std::string getMacAddress() { return read(&networkData::mac); }
std::string getWifiSsid() { return read(&networkData::ssid); }
