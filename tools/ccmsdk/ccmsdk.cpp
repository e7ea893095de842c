// Stand-in for the ICA client's session SDK library (CCMSDK64.DLL) with the
// five functions the plug-in calls. Scripted by "ccmsdk.txt" beside the
// library, one instruction a line:
//   init STATUS                    what CCMInitialize returns (default 0)
//   enum STATUS                    what CCMEnumerateSessions returns (default 0)
//   session ID STATUS GATEWAY      a session; CCMGetSessionInfo_V2 returns STATUS
//                                  and an information record whose gateway is
//                                  GATEWAY, or null (@null), or a pointer into a
//                                  guard page (@guard) or a no-access page (@noaccess)
// Every call is appended to "ccmsdk-calls.log" beside the library.
#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr std::size_t kSessionRecordSize = 152;
constexpr std::size_t kInfoRecordSize = 512;
constexpr std::size_t kGatewayOffset = 232;

struct Session {
    std::uint32_t id;
    std::int32_t status;
    std::string gateway;
    std::vector<unsigned char> info;
};

struct Script {
    std::int32_t init = 0;
    std::int32_t enumerate = 0;
    std::vector<Session> sessions;
};

std::string folder() {
    HMODULE self = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCSTR>(&folder), &self);
    char path[MAX_PATH] = {};
    GetModuleFileNameA(self, path, MAX_PATH);
    std::string s = path;
    return s.substr(0, s.find_last_of('\\'));
}

void record(const std::string& call) {
    std::ofstream(folder() + "\\ccmsdk-calls.log", std::ios::app) << call << "\n";
}

Script& script() {
    static Script s = [] {
        Script loaded;
        std::ifstream in(folder() + "\\ccmsdk.txt");
        std::string word;
        while (in >> word) {
            if (word == "init") in >> loaded.init;
            else if (word == "enum") in >> loaded.enumerate;
            else if (word == "session") {
                Session session{};
                in >> session.id >> session.status >> session.gateway;
                loaded.sessions.push_back(session);
            }
        }
        return loaded;
    }();
    return s;
}

// A text the caller must not read: in a page that faults on first touch.
const char* unreadableText(DWORD protection) {
    char* page = static_cast<char*>(VirtualAlloc(nullptr, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    if (!page) return nullptr;
    std::strcpy(page, "gateway.in.guard.page");
    DWORD old = 0;
    VirtualProtect(page, 4096, protection, &old);
    return page;
}

}  // namespace

extern "C" {

__declspec(dllexport) std::int32_t CCMInitialize(const char* name) {
    record(std::string("CCMInitialize ") + (name ? name : "(null)"));
    return script().init;
}

__declspec(dllexport) std::int32_t CCMUninitialize() {
    record("CCMUninitialize");
    return 0;
}

__declspec(dllexport) std::int32_t CCMEnumerateSessions(std::uint32_t* count, void** sessions) {
    record("CCMEnumerateSessions");
    const Script& s = script();
    if (s.enumerate != 0) return s.enumerate;
    *count = static_cast<std::uint32_t>(s.sessions.size());
    auto* records = static_cast<unsigned char*>(std::calloc(s.sessions.size() + 1, kSessionRecordSize));
    for (std::size_t i = 0; i < s.sessions.size(); ++i)
        std::memcpy(records + i * kSessionRecordSize, &s.sessions[i].id, sizeof(std::uint32_t));
    *sessions = s.sessions.empty() ? nullptr : records;
    if (s.sessions.empty()) std::free(records);
    return 0;
}

__declspec(dllexport) std::int32_t CCMFreeICASession(std::uint32_t count, void* sessions) {
    record("CCMFreeICASession " + std::to_string(count));
    std::free(sessions);
    return 0;
}

__declspec(dllexport) std::int32_t CCMGetSessionInfo_V2(std::uint32_t id, void** info) {
    record("CCMGetSessionInfo_V2 " + std::to_string(id));
    for (Session& session : script().sessions) {
        if (session.id != id) continue;
        if (session.status != 0) return session.status;
        session.info.assign(kInfoRecordSize, 0);
        const char* text = session.gateway == "@null"       ? nullptr
                           : session.gateway == "@guard"    ? unreadableText(PAGE_READONLY | PAGE_GUARD)
                           : session.gateway == "@noaccess" ? unreadableText(PAGE_NOACCESS)
                                                            : session.gateway.c_str();
        std::memcpy(session.info.data() + kGatewayOffset, &text, sizeof text);
        *info = session.info.data();
        return 0;
    }
    return 1;
}

}  // extern "C"
