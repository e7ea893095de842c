// The client data records: default state, every field at its offset (read
// back by the independent codec), truncation and JsonCpp's conversions.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <span>

#include "codec/codec.h"
#include "common/protocol_test_support.h"
#include "protocol/client_data.h"

namespace {

template <typename Record>
std::span<const std::uint8_t> bytesOf(const Record& record) {
    return {reinterpret_cast<const std::uint8_t*>(&record), sizeof record};
}

Json::Value fillV1() {
    CLIENT_DATA record;
    EXPECT_EQ(platform_getClientData(&record), 0);
    return tvxcodec::decodeClientData(bytesOf(record));
}

Json::Value fillV2() {
    CLIENT_DATA_V2 record;
    EXPECT_EQ(platform_getClientDataV2(&record), 0);
    return tvxcodec::decodeClientDataV2(bytesOf(record));
}

class ClientDataTest : public tvxtest::SnapshotTest {};

TEST_F(ClientDataTest, DefaultAndFreshSnapshotGiveMinusOneAndEmptyTexts) {
    CLIENT_DATA raw1;
    CLIENT_DATA_V2 raw2;
    for (const Json::Value& v : {tvxcodec::decodeClientData(bytesOf(raw1)), fillV1(),
                                 tvxcodec::decodeClientDataV2(bytesOf(raw2)), fillV2()})
        for (const std::string& key : v.getMemberNames())
            EXPECT_TRUE(v[key].isString() ? v[key] == "" : v[key].asDouble() == -1.0) << key << ": " << v[key];
}

TEST_F(ClientDataTest, EveryKeyLandsInItsOwnField) {
    // Distinct values per key: a field at the wrong offset, or two fields
    // swapped, decode to another key's value.
    Json::Value want1 = fillV1(), want2 = fillV2();
    int n = 100;
    for (Json::Value* want : {&want1, &want2})
        for (const std::string& key : want->getMemberNames()) {
            Json::Value& field = (*want)[key];
            if (field.isString()) field = key.substr(0, 12);
            else if (field.type() == Json::realValue) field = n++ + 0.25;
            else field = want == &want1 ? n++ : -n++;
            setMetric(key, field);
        }
    EXPECT_EQ(fillV1(), want1);
    EXPECT_EQ(fillV2(), want2);
}

TEST_F(ClientDataTest, ValuesAreCutConvertedOrReplacedByTheMissingKeyValue) {
    Json::Value array(Json::arrayValue), object(Json::objectValue);
    array.append(1);
    object["a"] = 1;
    const std::string o63(63, 'o');
    const struct {
        const char* key;
        std::optional<Json::Value> stored;  // nothing: the key is absent
        Json::Value decoded;
    } rows[] = {
        // Texts are cut at the field width less one, in bytes.
        {"userName", std::string(600, 'u'), std::string(512, 'u')},
        {"computerName", "ABCDEFGHIJKLMNOPQRST", "ABCDEFGHIJKLMNO"},
        {"wifi_bssid", std::string(24, 'b'), std::string(24, 'b')},
        {"osName", o63 + "\xC3\xA9", o63 + "\xC3"},
        {"client_version", std::string(40, '9'), std::string(32, '9')},
        // JsonCpp's conversions: null is 0 or "", not the missing-key value.
        {"serverRoundtripMs", Json::Value(), 0},
        {"speed", 3.9, 3},
        {"rtxPackets", -1.0, -1},
        {"wifi_channel", true, 1},
        {"inactivityTimeSeconds", Json::Value(), 0.0},
        {"userName", Json::Value(), ""},
        {"computerName", true, "true"},
        {"gateway", 42, "42"},
        {"osName", 1.5, "1.5"},
        // Absent or unconvertible: the missing-key value.
        {"roundtripMs", std::nullopt, -1},
        {"if_guid", std::nullopt, ""},
        {"roundtripMs", "12", -1},
        {"speed", object, -1},
        {"wifi_strength", 1e12, -1},
        {"inactivityTimeSeconds", "soon", -1.0},
        {"userName", array, ""},
        {"gateway", object, ""},
        {"cpu_usage", array, -1},
    };
    const Json::Value defaults1 = fillV1(), defaults2 = fillV2();
    for (const auto& row : rows) {
        initMetricStore();
        if (row.stored) setMetric(row.key, *row.stored);
        else removeMetric(row.key);
        // The whole record is compared: the other fields keep their defaults.
        const bool v1 = defaults1.isMember(row.key);
        Json::Value expected = v1 ? defaults1 : defaults2;
        expected[row.key] = row.decoded;
        EXPECT_EQ(v1 ? fillV1() : fillV2(), expected) << row.key << " from " << row.stored.value_or("(absent)");
    }
}

TEST_F(ClientDataTest, FillOverwritesEveryByteAndRefusesNull) {
    setMetric("userName", "bob");
    CLIENT_DATA v1;
    CLIENT_DATA_V2 v2;
    std::memset(static_cast<void*>(&v1), 0xAA, sizeof v1);
    std::memset(static_cast<void*>(&v2), 0xAA, sizeof v2);
    ASSERT_EQ(platform_getClientData(&v1), 0);
    ASSERT_EQ(platform_getClientDataV2(&v2), 0);
    // The codec refuses non-zero padding and text bytes after a NUL.
    EXPECT_EQ(tvxcodec::decodeClientData(bytesOf(v1))["userName"], "bob");
    EXPECT_NO_THROW(tvxcodec::decodeClientDataV2(bytesOf(v2)));

    EXPECT_EQ(platform_getClientData(nullptr), -2);
    EXPECT_EQ(platform_getClientDataV2(nullptr), -2);
}

}  // namespace
