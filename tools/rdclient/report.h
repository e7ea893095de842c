// Printing shared by the programs that drive the plug-in from the command
// line: step results, decoded replies as tables, and a count of what failed.
#pragma once

#include <windows.h>

#include <json/value.h>

#include <cstdio>
#include <exception>
#include <string>

#include "rdclient/standin.h"

namespace standin {

std::string utf8(const std::wstring& text);
std::wstring wide(const std::string& utf8Text);

// A JSON value on one line; strings quoted.
std::string valueText(const Json::Value& v);
// One "name  value" line per member, names aligned.
void table(const Json::Value& object, const char* indent = "    ");
// Printable ASCII as is, NUL as \0, anything else as \xNN.
std::string printable(const Bytes& message);
void printFlags(unsigned flags);

class Report {
public:
    void heading(const std::string& text) const;
    // One line per call into the plug-in; a result other than the expected
    // one counts as a failure.
    void step(const std::string& what, HRESULT hr, HRESULT expected = S_OK);
    // Sends one message and takes its one reply; anything else is reported.
    bool exchange(Session& session, const std::string& title, const Bytes& message, Bytes& reply);

    // Runs a decoder; a reply that breaks its layout is reported, not thrown.
    template <typename Decode>
    void decodeOrReport(Decode&& decode) {
        try {
            decode();
        } catch (const std::exception& e) {
            std::printf("  !! reply does not decode: %s\n", e.what());
            fail();
        }
    }

    void fail() { ++failures_; }
    int failures() const { return failures_; }

private:
    int failures_ = 0;
};

}  // namespace standin
