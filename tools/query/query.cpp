// tvx_query: asks the live plug-in one thing. It loads DOZA-Plugin.dll the way
// the Remote Desktop client stand-in does (register, create through COM, open
// "qmlink-dvc"), sends the requests named on the command line in order, and
// prints each reply decoded.
//
//   tvx_query [--dll PATH] [--wait SECONDS] REQUEST...   (tvx_query --help)
#include <windows.h>

#include <shellapi.h>

#include <json/value.h>

#include <cstdio>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "codec/codec.h"
#include "query/requests.h"
#include "rdclient/network_guard.h"
#include "rdclient/report.h"
#include "rdclient/standin.h"

namespace {

using standin::Bytes;
using standin::utf8;
using tvxquery::ReplyShape;
using tvxquery::RequestKind;

// JSON-RPC answers up to this length are shown as the plug-in wrote them;
// longer ones member by member.
constexpr std::size_t kShortAnswer = 160;

std::vector<std::string> commandLineArguments() {
    std::vector<std::string> args;
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!argv) return args;
    for (int i = 1; i < argc; ++i) args.push_back(utf8(argv[i]));
    LocalFree(argv);
    return args;
}

// An answer object, or a batch of them, one member a line; an object result
// as a table of its own.
void printAnswer(const Json::Value& answer, const std::string& indent) {
    if (answer.isArray()) {
        for (Json::ArrayIndex i = 0; i < answer.size(); ++i) {
            std::printf("%s[%u]\n", indent.c_str(), i);
            printAnswer(answer[i], indent + "  ");
        }
        return;
    }
    if (!answer.isObject()) {
        std::printf("%s%s\n", indent.c_str(), standin::valueText(answer).c_str());
        return;
    }
    Json::Value plain(Json::objectValue);
    for (const std::string& name : answer.getMemberNames())
        if (name != "result" || !answer[name].isObject()) plain[name] = answer[name];
    standin::table(plain, indent.c_str());
    if (answer["result"].isObject()) {
        std::printf("%sresult\n", indent.c_str());
        standin::table(answer["result"], (indent + "  ").c_str());
    }
}

// The decoded JSON-RPC answer; its text too when it is short.
Json::Value showJsonRpc(const Bytes& reply) {
    tvxcodec::JsonRpcReply answer = tvxcodec::decodeJsonRpcFrame(reply);
    if (answer.text.size() <= kShortAnswer) std::printf("    %s", answer.text.c_str());
    else printAnswer(answer.value, "    ");
    return answer.value;
}

void showPing(const Bytes& reply) {
    std::int32_t level = tvxcodec::decodePingReply(reply);
    std::printf("    %s\n    binary protocol level: %d\n", tvxcodec::hex(reply).c_str(), level);
}

void showLume(const Bytes& reply) {
    std::uint16_t flags = tvxcodec::decodeSetLumeDataReply(reply);
    std::printf("    %s\n", tvxcodec::hex(reply).c_str());
    standin::printFlags(flags);
}

// A reply to bytes of the caller's choosing: decoded by what it looks like.
void showByShape(const Bytes& reply) {
    switch (tvxquery::replyShape(reply)) {
        case ReplyShape::jsonRpc: showJsonRpc(reply); break;
        case ReplyShape::clientDataV2: standin::table(tvxcodec::decodeClientDataV2Reply(reply)); break;
        case ReplyShape::lume: showLume(reply); break;
        case ReplyShape::ping: showPing(reply); break;
        case ReplyShape::clientData: standin::table(tvxcodec::decodeClientData(reply)); break;
        case ReplyShape::unknown:
            std::printf("    not a reply of a known kind\n    %s\n    %s\n", tvxcodec::hex(reply).c_str(),
                        standin::printable(reply).c_str());
            break;
    }
}

void ask(standin::Report& report, standin::Session& session, const tvxquery::Request& request) {
    std::printf("\n> %s  (%zu bytes)\n", request.title.c_str(), request.message.size());
    std::vector<Bytes> writes = session.send(request.message);
    if (writes.empty()) {
        // Only bytes of the caller's choosing may go unanswered: an unknown
        // kind or a broken frame is answered with silence.
        std::printf("< no reply%s\n", request.kind == RequestKind::raw ? "" : "  !! one reply expected");
        if (request.kind != RequestKind::raw) report.fail();
        return;
    }
    if (writes.size() > 1) {
        std::printf("< %zu writes  !! one reply expected\n", writes.size());
        for (const Bytes& w : writes) std::printf("    %s\n", tvxcodec::hex(w).c_str());
        report.fail();
        return;
    }
    const Bytes& reply = writes.front();
    std::printf("< %zu bytes in one Write\n", reply.size());
    report.decodeOrReport([&] {
        switch (request.kind) {
            case RequestKind::ping: showPing(reply); break;
            case RequestKind::clientData: standin::table(tvxcodec::decodeClientData(reply)); break;
            case RequestKind::clientDataV2: standin::table(tvxcodec::decodeClientDataV2Reply(reply)); break;
            case RequestKind::lume: showLume(reply); break;
            case RequestKind::metrics:
            case RequestKind::rpcPing: {
                // Our own well-formed requests: an error answer is a fault.
                Json::Value answer = showJsonRpc(reply);
                if (!answer.isObject() || answer.isMember("error") || !answer["result"].isObject()) {
                    std::printf("  !! no result in the answer\n");
                    report.fail();
                }
                break;
            }
            // Whatever the caller framed is answered as the plug-in sees fit;
            // an error object is an answer too.
            case RequestKind::rpc: showJsonRpc(reply); break;
            case RequestKind::raw: showByShape(reply); break;
        }
    });
}

int run(const tvxquery::Options& options) {
    standin::Report report;
    std::wstring path = options.dll.empty() ? standin::pluginPathBesideProgram() : standin::wide(options.dll);
    standin::PluginDll dll(path);
    if (!dll.loaded()) {
        std::printf("cannot load %s (error %lu)\n", utf8(path).c_str(), GetLastError());
        return 1;
    }
    std::printf("DOZA-Plugin: %s\n", utf8(path).c_str());
    report.step("DllRegisterServer", dll.registerServer());

    std::optional<std::wstring> classText = standin::readAddInClassText();
    CLSID clsid{};
    if (!classText || FAILED(CLSIDFromString(classText->c_str(), &clsid))) {
        std::printf("  !! the add-in key names no class to create\n");
        report.fail();
    } else {
        standin::Session session;
        std::printf("  add-in class %s\n", utf8(*classText).c_str());
        report.step("CoCreateInstance(add-in class, IWTSPlugin)", session.create(clsid));
        if (session.plugin()) {
            report.step("IWTSPlugin::Initialize(channel manager)", session.initialize());
            report.step("IWTSPlugin::Connected", session.connected());
            BOOL accepted = FALSE;
            report.step("OnNewChannelConnection(\"qmlink-dvc\")", session.openChannel(&accepted));
            if (!accepted || !session.callback()) {
                std::printf("  !! the plug-in did not accept the channel\n");
                report.fail();
            } else {
                if (options.waitSeconds > 0) {
                    std::printf("  letting the metric tasks run for %u s ...\n", options.waitSeconds);
                    Sleep(options.waitSeconds * 1000);
                }
                for (const tvxquery::Request& request : options.requests) ask(report, session, request);
                std::printf("\n");
                report.step("IWTSVirtualChannelCallback::OnClose", session.closeChannel());
            }
            report.step("IWTSPlugin::Disconnected(0)", session.disconnected(0));
            report.step("IWTSPlugin::Terminated", session.terminated());
            session.release();
        }
    }
    report.step("DllUnregisterServer", dll.unregisterServer());
    if (report.failures()) std::printf("%d step(s) failed\n", report.failures());
    return report.failures() ? 1 : 0;
}

}  // namespace

int main() {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    tvxquery::Options options;
    std::string error;
    if (!tvxquery::parseArguments(commandLineArguments(), options, error)) {
        std::fprintf(stderr, "tvx_query: %s\n%s", error.c_str(), tvxquery::kUsage);
        return 2;
    }
    if (options.help) {
        std::printf("%s", tvxquery::kUsage);
        return 0;
    }
    // Opening the channel starts the collectors, which probe the gateway and
    // the internet: only where no real network can be reached.
    if (std::string why = standin::whyNotATestNetwork(); !why.empty()) {
        std::fprintf(stderr,
                     "tvx_query: refusing to run the plug-in's collectors here: %s\n"
                     "  run it through scripts/query (a loopback-only network namespace) or the lab\n",
                     why.c_str());
        return 1;
    }
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) {
        std::fprintf(stderr, "tvx_query: COM cannot be initialised\n");
        return 1;
    }
    int exitCode = 1;
    try {
        exitCode = run(options);
    } catch (const std::exception& e) {
        std::printf("!! %s\n", e.what());
    }
    CoUninitialize();
    return exitCode;
}
