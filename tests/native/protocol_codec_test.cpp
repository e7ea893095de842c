// The remote-side codec on its own: replies that break their layout are
// refused rather than read at a wrong offset.
#include <gtest/gtest.h>

#include <cstring>

#include "codec/codec.h"

namespace {

using tvxcodec::Bytes;
using tvxcodec::DecodeError;

Bytes le32(std::uint32_t v) {
    return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v >> 16),
            static_cast<std::uint8_t>(v >> 24)};
}

// A version 1 record as the byte table lays it out, built by hand.
Bytes defaultV1() {
    Bytes r(4144, 0);
    for (std::size_t at : {0, 3340, 3604, 3732, 3736, 3740, 3744, 3880}) std::memcpy(&r[at], le32(0xFFFFFFFF).data(), 4);
    const double minusOne = -1.0;
    std::memcpy(&r[2720], &minusOne, 8);  // little-endian host
    return r;
}

// Requests and well-formed records go through the product's own parsers and
// encoders in the protocol tests; here, replies the product would never send.
TEST(CodecTest, BrokenRepliesAreRefused) {
    Bytes good = defaultV1();
    Bytes shortRecord(good.begin(), good.end() - 1);
    Bytes badPadding = good;
    badPadding[2713] = 1;
    Bytes unterminated = good;
    std::memset(&unterminated[517], 'x', 16);  // computerName fills its field
    Bytes trailing = good;
    trailing[4 + 100] = 'z';  // a byte after userName's NUL
    for (const Bytes* r : {&shortRecord, &badPadding, &unterminated, &trailing})
        EXPECT_THROW(tvxcodec::decodeClientData(*r), DecodeError);

    EXPECT_EQ(tvxcodec::decodePingReply(Bytes{'P', 'I', 'N', 'G', 0, 2, 0, 0, 0}), 2);
    EXPECT_THROW(tvxcodec::decodePingReply(Bytes{'P', 'I', 'N', 'G', 1, 2, 0, 0, 0}), DecodeError);
    EXPECT_THROW(tvxcodec::decodePingReply(Bytes{'P', 'I', 'N', 'G', 0, 2, 0, 0}), DecodeError);
    Bytes lume = tvxcodec::setLumeDataRequest("");
    lume.insert(lume.end(), {0x34, 0x12});
    EXPECT_EQ(tvxcodec::decodeSetLumeDataReply(lume), 0x1234);
    Bytes v2(1095, 0);
    std::memcpy(v2.data(), "GET_CLIENT_DATA_V3", 18);
    EXPECT_THROW(tvxcodec::decodeClientDataV2Reply(v2), DecodeError);
}

TEST(CodecTest, BrokenFramesAreRefused) {
    EXPECT_EQ(tvxcodec::decodeJsonRpcFrame(tvxcodec::jsonRpcFrame("{\"a\":1}\n")).value["a"], 1);
    Bytes reserved = tvxcodec::jsonRpcFrame("{}\n");
    reserved[40] = 1;
    Bytes tag = tvxcodec::jsonRpcFrame("{}\n");
    tag[20] = 'x';
    Bytes length = tvxcodec::jsonRpcFrame("{}\n");
    length.push_back(' ');
    const Bytes frames[] = {reserved, tag, length, tvxcodec::jsonRpcFrame("{}"), tvxcodec::jsonRpcFrame("{\n"),
                            Bytes(63, 0)};
    for (const Bytes& f : frames) EXPECT_THROW(tvxcodec::decodeJsonRpcFrame(f), DecodeError);
}

}  // namespace
