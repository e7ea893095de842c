// The Wi-Fi session over nl80211 (generic netlink, libnl-genl-3): station
// interfaces from the interface dump, the associated access point from the
// scan results the kernel already holds (nothing is scanned), signal and rate
// from the station entry of that access point. Each exchange has a deadline,
// so a kernel that does not answer cannot hold the collector.
#include <linux/genetlink.h>
#include <linux/nl80211.h>
#include <netlink/genl/genl.h>
#include <netlink/msg.h>
#include <netlink/netlink.h>
#include <poll.h>

#include <cerrno>
#include <chrono>
#include <functional>

#include "interface_guid.h"
#include "stop_wait_linux.h"
#include "wifi_nl80211.h"

namespace {

using stopwait::StopSignal;

constexpr auto kDeadline = std::chrono::seconds(1);
constexpr std::uint32_t kWifiStateDisconnected = 4;

struct SocketFree {
    void operator()(nl_sock* s) const { nl_socket_free(s); }
};
struct MessageFree {
    void operator()(nl_msg* m) const { nlmsg_free(m); }
};
struct CallbackPut {
    void operator()(nl_cb* c) const { nl_cb_put(c); }
};
using Socket = std::unique_ptr<nl_sock, SocketFree>;
using Message = std::unique_ptr<nl_msg, MessageFree>;
using Callbacks = std::unique_ptr<nl_cb, CallbackPut>;

// libnl's own codes are not errno values; the log shows errno.
int systemCode(int libnlError) {
    switch (-libnlError) {
        case NLE_NOMEM: return ENOMEM;
        case NLE_AGAIN: return EAGAIN;
        case NLE_PERM: return EPERM;
        case NLE_NOACCESS: return EACCES;
        case NLE_OBJ_NOTFOUND: return ENOENT;
        case NLE_OPNOTSUPP: return EOPNOTSUPP;
        default: return EIO;
    }
}

using OnMessage = std::function<void(const nlmsghdr*)>;

struct Exchange {
    const OnMessage* onMessage;
    bool done = false;
    int error = 0;
};

int onValid(nl_msg* m, void* arg) {
    (*static_cast<Exchange*>(arg)->onMessage)(nlmsg_hdr(m));
    return NL_OK;
}
int onDone(nl_msg*, void* arg) {
    static_cast<Exchange*>(arg)->done = true;
    return NL_STOP;
}
// A dump whose list changed while it was read still has whole entries; the
// next pass reads it again.
int onInterrupted(nl_msg*, void*) { return NL_OK; }
int onError(sockaddr_nl*, nlmsgerr* e, void* arg) {
    auto* x = static_cast<Exchange*>(arg);
    x->error = e->error < 0 ? -e->error : e->error;
    x->done = true;
    return NL_STOP;
}

// Sends the request and hands each answer to onMessage until the kernel's
// end of dump, acknowledgement or error. 0 or an errno value; ETIMEDOUT when
// the deadline passes first, ECANCELED when the service stops. The socket is
// non-blocking: poll waits.
int exchange(nl_sock* socket, const StopSignal& stop, nl_msg* request, const OnMessage& onMessage) {
    Callbacks callbacks(nl_cb_alloc(NL_CB_DEFAULT));
    if (!callbacks) return ENOMEM;
    Exchange x{&onMessage};
    nl_cb_set(callbacks.get(), NL_CB_VALID, NL_CB_CUSTOM, onValid, &x);
    nl_cb_set(callbacks.get(), NL_CB_FINISH, NL_CB_CUSTOM, onDone, &x);
    nl_cb_set(callbacks.get(), NL_CB_ACK, NL_CB_CUSTOM, onDone, &x);
    nl_cb_set(callbacks.get(), NL_CB_DUMP_INTR, NL_CB_CUSTOM, onInterrupted, nullptr);
    nl_cb_err(callbacks.get(), NL_CB_CUSTOM, onError, &x);
    if (int rc = nl_send_auto(socket, request); rc < 0) return systemCode(rc);
    const auto deadline = std::chrono::steady_clock::now() + kDeadline;
    while (!x.done) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return ETIMEDOUT;
        pollfd p[2] = {{nl_socket_get_fd(socket), POLLIN, 0}, {stop.fd(), POLLIN, 0}};
        const int ready = poll(p, stop.fd() >= 0 ? 2 : 1, static_cast<int>(left.count()) + 1);
        if (ready < 0 && errno != EINTR) return errno;
        if (ready <= 0) continue;
        if (p[1].revents & POLLIN) return ECANCELED;
        if (int rc = nl_recvmsgs(socket, callbacks.get()); rc < 0 && !x.done) return systemCode(rc);
    }
    return x.error;
}

Message request(int family, std::uint8_t command, int flags, std::uint32_t interfaceIndex = 0) {
    Message m(nlmsg_alloc());
    if (!m || !genlmsg_put(m.get(), NL_AUTO_PORT, NL_AUTO_SEQ, family, 0, flags, command, 0)) return nullptr;
    if (interfaceIndex != 0 && nla_put_u32(m.get(), NL80211_ATTR_IFINDEX, interfaceIndex) < 0) return nullptr;
    return m;
}

// nl80211's family id; 0 when the kernel has no nl80211 (no cfg80211 loaded)
// or the service stopped.
int resolveFamily(nl_sock* socket, const StopSignal& stop, int& family) {
    Message m = request(GENL_ID_CTRL, CTRL_CMD_GETFAMILY, 0);
    if (!m || nla_put_string(m.get(), CTRL_ATTR_FAMILY_NAME, NL80211_GENL_NAME) < 0) return ENOMEM;
    family = 0;
    int rc = exchange(socket, stop, m.get(), [&](const nlmsghdr* h) {
        nlattr* tb[CTRL_ATTR_MAX + 1] = {};
        nla_policy policy[CTRL_ATTR_MAX + 1] = {};
        policy[CTRL_ATTR_FAMILY_ID] = {NLA_U16, 0, 0};
        if (genlmsg_parse(const_cast<nlmsghdr*>(h), 0, tb, CTRL_ATTR_MAX, policy) == 0 && tb[CTRL_ATTR_FAMILY_ID])
            family = nla_get_u16(tb[CTRL_ATTR_FAMILY_ID]);
    });
    return rc == ENOENT || rc == ECANCELED ? 0 : rc;
}

struct Wireless {
    nl80211::Interface interface;
    nl80211::Bss bss;
};

class Nl80211Client final : public wifisys::Client {
public:
    std::uint32_t open() override {
        socket_.reset(nl_socket_alloc());
        if (!socket_) return ENOMEM;
        if (int rc = nl_connect(socket_.get(), NETLINK_GENERIC); rc < 0) return systemCode(rc);
        if (int rc = nl_socket_set_nonblocking(socket_.get()); rc < 0) return systemCode(rc);
        return static_cast<std::uint32_t>(resolveFamily(socket_.get(), stop_, family_));
    }

    std::uint32_t enumInterfaces(std::vector<WifiInterfaceRow>& rows, bool& listed) override {
        listed = false;
        rows.clear();
        found_.clear();
        if (family_ != 0) {
            Message m = request(family_, NL80211_CMD_GET_INTERFACE, NLM_F_DUMP);
            if (!m) return ENOMEM;
            const int rc = exchange(socket_.get(), stop_, m.get(), [&](const nlmsghdr* h) {
                Wireless w;
                if (nl80211::parseInterface(h, w.interface) && nl80211::isStation(w.interface))
                    found_.push_back(std::move(w));
            });
            // A stop ends the walk as it would end the walk of the list.
            if (rc == ECANCELED) found_.clear();
            else if (rc != 0) return static_cast<std::uint32_t>(rc);
        }
        for (Wireless& w : found_) {
            const bool connected = associatedBss(w);
            rows.push_back({linuxInterfaceGuid(w.interface.mac.data(), w.interface.mac.size(), w.interface.index),
                            connected ? kWifiStateConnected : kWifiStateDisconnected});
        }
        listed = true;
        return 0;
    }

    std::uint32_t queryConnection(std::size_t index, WifiConnectionRow& row, bool& answered) override {
        answered = false;
        if (index >= found_.size()) return EINVAL;
        const Wireless& w = found_[index];
        // Without the station entry the row still has the name, address and
        // security; rate and the station's own signal level are then unknown.
        nl80211::Station station;
        bool haveStation = false;
        if (Message m = request(family_, NL80211_CMD_GET_STATION, 0, w.interface.index);
            m && nla_put(m.get(), NL80211_ATTR_MAC, sizeof w.bss.bssid, w.bss.bssid) == 0) {
            exchange(socket_.get(), stop_, m.get(),
                     [&](const nlmsghdr* h) { haveStation = nl80211::parseStation(h, station); });
        }
        row = nl80211::connectionRow(w.interface, w.bss, haveStation ? &station : nullptr);
        answered = true;
        return 0;
    }

    bool queryChannel(std::size_t index, std::uint32_t& channel, std::uint32_t& lastError) override {
        if (index >= found_.size()) {
            lastError = EINVAL;
            return false;
        }
        const Wireless& w = found_[index];
        const int number =
            nl80211::channelFromFrequency(w.interface.frequency != 0 ? w.interface.frequency : w.bss.frequency);
        if (number < 0) {
            lastError = ERANGE;
            return false;
        }
        channel = static_cast<std::uint32_t>(number);
        return true;
    }

private:
    // The access point the interface is associated with, from the kernel's
    // scan results (a read of what it holds, no scan).
    bool associatedBss(Wireless& w) {
        Message m = request(family_, NL80211_CMD_GET_SCAN, NLM_F_DUMP, w.interface.index);
        if (!m) return false;
        bool found = false;
        const int rc = exchange(socket_.get(), stop_, m.get(), [&](const nlmsghdr* h) {
            nl80211::Bss bss;
            if (!found && nl80211::parseBss(h, bss) && bss.associated && bss.hasBssid) {
                w.bss = std::move(bss);
                found = true;
            }
        });
        return rc == 0 && found;
    }

    StopSignal stop_;
    Socket socket_;
    int family_ = 0;
    std::vector<Wireless> found_;
};

}  // namespace

// Nothing to load on Linux: the session asks the kernel directly.
bool initWlanAPILibrary() { return true; }

std::unique_ptr<wifisys::Client> wifisys::systemClient() { return std::make_unique<Nl80211Client>(); }
