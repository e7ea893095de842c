// The host build has no Native Wi-Fi library: a session opens and finds no
// wireless interface, which is the machine's truth as far as this build knows.
#include "wifi.h"

namespace {

class NoWirelessClient final : public wifisys::Client {
public:
    std::uint32_t open() override { return 0; }
    std::uint32_t enumInterfaces(std::vector<WifiInterfaceRow>& rows, bool& listed) override {
        rows.clear();
        listed = true;
        return 0;
    }
    std::uint32_t queryConnection(std::size_t, WifiConnectionRow&, bool& answered) override {
        answered = false;
        return 1;
    }
    bool queryChannel(std::size_t, std::uint32_t&, std::uint32_t& lastError) override {
        lastError = 1;
        return false;
    }
};

}  // namespace

bool initWlanAPILibrary() { return false; }

std::unique_ptr<wifisys::Client> wifisys::systemClient() { return std::make_unique<NoWirelessClient>(); }
