#include "rdclient/report.h"

#include <json/writer.h>

#include <algorithm>

namespace standin {

std::string utf8(const std::wstring& text) {
    if (text.empty()) return {};
    int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    if (n <= 0) return {};
    std::string out(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
    return out;
}

std::wstring wide(const std::string& utf8Text) {
    if (utf8Text.empty()) return {};
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8Text.data(), static_cast<int>(utf8Text.size()), nullptr, 0);
    if (n <= 0) return {};
    std::wstring out(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8Text.data(), static_cast<int>(utf8Text.size()), out.data(), n);
    return out;
}

std::string valueText(const Json::Value& v) {
    if (v.isString()) return "\"" + v.asString() + "\"";
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    return Json::writeString(builder, v);
}

void table(const Json::Value& object, const char* indent) {
    std::size_t width = 0;
    for (const std::string& name : object.getMemberNames()) width = std::max(width, name.size());
    for (const std::string& name : object.getMemberNames())
        std::printf("%s%-*s  %s\n", indent, static_cast<int>(width), name.c_str(), valueText(object[name]).c_str());
}

std::string printable(const Bytes& message) {
    std::string out;
    for (std::uint8_t b : message) {
        if (b >= 0x20 && b < 0x7F) out += static_cast<char>(b);
        else if (b == 0) out += "\\0";
        else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", b);
            out += hex;
        }
    }
    return out;
}

void printFlags(unsigned flags) {
    std::printf("    data-requested flags 0x%04X: Teams %s, EmployeeScore %s\n", flags, (flags & 1) ? "yes" : "no",
                (flags & 2) ? "yes" : "no");
}

void Report::heading(const std::string& text) const { std::printf("\n== %s ==\n", text.c_str()); }

void Report::step(const std::string& what, HRESULT hr, HRESULT expected) {
    std::printf("  %-58s %s\n", what.c_str(), hresultText(hr).c_str());
    if (hr != expected) {
        std::printf("  !! expected %s\n", hresultText(expected).c_str());
        fail();
    }
}

bool Report::exchange(Session& session, const std::string& title, const Bytes& message, Bytes& reply) {
    std::printf("\n> %s  (%zu bytes)\n", title.c_str(), message.size());
    std::vector<Bytes> writes = session.send(message);
    if (writes.size() != 1) {
        std::printf("< %zu writes; one reply expected\n", writes.size());
        fail();
        return false;
    }
    reply = writes.front();
    std::printf("< %zu bytes in one Write\n", reply.size());
    return true;
}

}  // namespace standin
