#include "rdpserver/remote_host.h"

#include <json/reader.h>
#include <json/value.h>
#include <json/writer.h>

#include <algorithm>
#include <cstdio>
#include <exception>
#include <sstream>
#include <thread>

#include "codec/codec.h"

namespace rdpserver {
namespace {

using namespace std::chrono_literals;

// The binary protocol level the add-in answers PING with, as the DLL does.
constexpr std::int32_t kProtocolLevel = 2;
constexpr auto kReplyWait = 10s;

std::string valueText(const Json::Value& v) {
    if (v.isString()) return "\"" + v.asString() + "\"";
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    return Json::writeString(builder, v);
}

void table(const Json::Value& object, const char* indent = "    ") {
    std::size_t width = 0;
    for (const std::string& name : object.getMemberNames()) width = std::max(width, name.size());
    for (const std::string& name : object.getMemberNames())
        std::printf("%s%-*s  %s\n", indent, static_cast<int>(width), name.c_str(), valueText(object[name]).c_str());
}

// What a remote host tells the endpoint agent about itself.
const char kLumeDocument[] = R"({"machine":{"ComputerName":"REMOTE-HOST-01","MicrosoftTeams":{"version":"24.1"}}})";

void printFlags(unsigned flags) {
    std::printf("    data-requested flags 0x%04X: Teams %s, EmployeeScore %s\n", flags, (flags & 1) ? "yes" : "no",
                (flags & 2) ? "yes" : "no");
}

class Session {
public:
    Session(const Ask& ask, const Expectations& expect) : ask_(ask), expect_(expect) {}

    // One request and its one reply, decoded by `decode`; a missing reply or
    // one that breaks its layout is a failure.
    template <typename Decode>
    void exchange(const std::string& title, const Bytes& message, Decode&& decode) {
        std::printf("\n> %s  (%zu bytes)\n", title.c_str(), message.size());
        std::optional<Bytes> reply = ask_(message, kReplyWait);
        if (!reply) return check(false, "a reply within 10 s");
        std::printf("< %zu bytes\n", reply->size());
        try {
            decode(*reply);
        } catch (const std::exception& e) {
            check(false, std::string("a reply that decodes (") + e.what() + ")");
        }
    }

    void check(bool ok, const std::string& what) {
        std::printf("  %s %s\n", ok ? "ok:" : "!! expected", what.c_str());
        if (!ok) ++failures_;
    }

    // The host name, cut to the field's width: a record's computerName.
    void checkComputerName(const Json::Value& record) {
        const std::string name = record["computerName"].asString();
        check(!name.empty() && expect_.computerName.starts_with(name), "computerName from this host's name");
    }

    Json::Value metrics(int id) {
        std::optional<Bytes> reply = ask_(tvxcodec::jsonRpcFrame(tvxcodec::jsonRpcPayload("GET_METRICS", {}, id)), kReplyWait);
        return reply ? tvxcodec::decodeJsonRpcFrame(*reply).value["result"] : Json::Value();
    }

    int failures() const { return failures_; }
    const Expectations& expect() const { return expect_; }

private:
    const Ask& ask_;
    const Expectations& expect_;
    int failures_ = 0;
};

}  // namespace

int playRemoteHost(const Ask& ask, const Expectations& expect) {
    Session s(ask, expect);
    const auto setLumeData = [&](const std::string& when) {
        s.exchange(std::string("SET_LUME_DATA ") + kLumeDocument + "  (" + when + ")",
                   tvxcodec::setLumeDataRequest(kLumeDocument), [&](const Bytes& reply) {
                       std::printf("    %s\n", tvxcodec::hex(reply).c_str());
                       printFlags(tvxcodec::decodeSetLumeDataReply(reply));
                   });
    };
    // The engine starts with the channel: the bridge may have asked the agent already.
    setLumeData("right after the channel opened");
    if (expect.settle.count()) {
        std::printf("\n  letting the add-in's metric tasks run for %lld s ...\n",
                    static_cast<long long>(expect.settle.count()));
        std::this_thread::sleep_for(expect.settle);
    }

    // The host facts arrive with the engine's first pass.
    std::printf("\n  waiting for the add-in's first pass (osName collected) ...\n");
    const auto deadline = std::chrono::steady_clock::now() + expect.factsWait;
    bool collected = false;
    while (!collected && std::chrono::steady_clock::now() < deadline) {
        try {
            collected = !s.metrics(100)["osName"].asString().empty();
        } catch (const std::exception&) {
        }
        if (!collected) std::this_thread::sleep_for(250ms);
    }
    s.check(collected, "the host facts within " + std::to_string(expect.factsWait.count()) + " s");

    s.exchange("PING", tvxcodec::pingRequest(), [&](const Bytes& reply) {
        const std::int32_t level = tvxcodec::decodePingReply(reply);
        std::printf("    %s\n    binary protocol level: %d\n", tvxcodec::hex(reply).c_str(), level);
        s.check(level == kProtocolLevel, "binary protocol level " + std::to_string(kProtocolLevel));
    });

    s.exchange("GET_CLIENT_DATA (version 1 record)", tvxcodec::getClientDataRequest(), [&](const Bytes& reply) {
        const Json::Value record = tvxcodec::decodeClientData(reply);
        table(record);
        s.checkComputerName(record);
    });

    s.exchange("GET_CLIENT_DATA_V2 (kind text + version 2 record)", tvxcodec::getClientDataV2Request(),
               [&](const Bytes& reply) {
                   const Json::Value record = tvxcodec::decodeClientDataV2Reply(reply);
                   table(record);
                   s.check(record["client_version"].asString() == expect.clientVersion,
                           "client_version " + expect.clientVersion);
               });

    std::string payload = tvxcodec::jsonRpcPayload("PING", Json::Value(), Json::Value(1));
    s.exchange("PROTOCOL_JSON_RPC " + payload, tvxcodec::jsonRpcFrame(payload), [&](const Bytes& reply) {
        const tvxcodec::JsonRpcReply answer = tvxcodec::decodeJsonRpcFrame(reply);
        std::printf("    %s", answer.text.c_str());
        s.check(answer.value["id"] == 1 && answer.value.isMember("result") && !answer.value.isMember("error"),
                "a result for id 1");
    });

    payload = tvxcodec::jsonRpcPayload("GET_METRICS", Json::Value(), Json::Value(2));
    s.exchange("PROTOCOL_JSON_RPC " + payload, tvxcodec::jsonRpcFrame(payload), [&](const Bytes& reply) {
        const Json::Value answer = tvxcodec::decodeJsonRpcFrame(reply).value;
        std::printf("    id %s, result:\n", valueText(answer["id"]).c_str());
        table(answer["result"], "      ");
        const Json::Value& result = answer["result"];
        s.check(answer["id"] == 2, "id 2");
        s.check(result["computerName"].asString() == expect.computerName, "computerName " + expect.computerName);
        s.check(result["client_version"].asString() == expect.clientVersion, "client_version " + expect.clientVersion);
        s.check(!result["osName"].asString().empty() && !result["osVersionNumber"].asString().empty(),
                "osName and osVersionNumber from /etc/os-release");
    });

    setLumeData("after the bridge's passes");
    Json::Value params(Json::objectValue);
    std::istringstream document(kLumeDocument);
    std::string errors;
    Json::parseFromStream(Json::CharReaderBuilder(), document, &params["lume_msg"], &errors);
    payload = tvxcodec::jsonRpcPayload("SET_LUME_DATA", params, Json::Value(3));
    s.exchange("PROTOCOL_JSON_RPC " + payload, tvxcodec::jsonRpcFrame(payload), [&](const Bytes& reply) {
        const tvxcodec::JsonRpcReply answer = tvxcodec::decodeJsonRpcFrame(reply);
        std::printf("    %s", answer.text.c_str());
        s.check(answer.value["id"] == 3 && answer.value["result"].isMember("request_from_lume"),
                "request_from_lume for id 3");
        printFlags(answer.value["result"]["request_from_lume"].asUInt());
    });

    // An unknown kind gets silence; an empty write would have closed the
    // channel, so PING must still be answered after it.
    const Bytes unknown = {'p', 'i', 'n', 'g', 0};
    std::printf("\n> ping\\0  (unknown kind, %zu bytes)\n", unknown.size());
    const bool silent = !ask(unknown, 1s).has_value();
    std::printf("< %s\n", silent ? "no reply (the add-in logs an error)" : "unexpected reply");
    s.check(silent, "no reply to an unknown kind");
    s.exchange("PING (after the unknown kind)", tvxcodec::pingRequest(), [&](const Bytes& reply) {
        s.check(tvxcodec::decodePingReply(reply) == kProtocolLevel, "the channel still answers");
    });
    return s.failures();
}

}  // namespace rdpserver
