// Compares a JSON result with the members an expectation names, one by one.
#pragma once

#include <gtest/gtest.h>
#include <json/json.h>

#include <sstream>
#include <string>

namespace tvxtest {

// Each member of the expected JSON object, against the same member of the result.
inline void expectMembers(const Json::Value& result, const std::string& expected) {
    Json::Value want;
    std::istringstream in(expected);
    ASSERT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), in, &want, nullptr)) << expected;
    for (const std::string& name : want.getMemberNames()) EXPECT_EQ(result[name], want[name]) << name;
}

}  // namespace tvxtest
