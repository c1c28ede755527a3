// Our base64 decoder against GMime's on odd inputs, fed in pieces of every
// size: it must pass over the same bytes and stop at the same '='. Where an
// input ends without its '=', GMime drops the group's last bytes and we keep
// them: the same as GMime given that '='.
#include <gmime/gmime.h>
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "mime/Base64Decoder.h"

namespace {

std::string GMimeDecoded(const std::string& in) {
    std::string out(in.size() + 4, '\0');
    int state = 0;
    guint32 save = 0;
    const size_t n = g_mime_encoding_base64_decode_step(reinterpret_cast<const unsigned char*>(in.data()), in.size(),
                                                        reinterpret_cast<unsigned char*>(out.data()), &state, &save);
    out.resize(n);
    return out;
}

// Input in pieces of up to `piece` bytes, output room of up to `room` a call.
std::string OursDecoded(const std::string& in, size_t piece, size_t room, std::mt19937& rng) {
    mime::Base64Decoder d;
    std::string out;
    std::vector<uint8_t> buf(room + 2);
    size_t at = 0;
    while (at < in.size() && !d.Ended()) {
        const size_t n = std::min(in.size() - at, 1 + rng() % piece);
        size_t used = 0;
        while (used < n && !d.Ended()) {
            const size_t r = 3 + rng() % (room - 2);
            auto s = d.Decode(reinterpret_cast<const uint8_t*>(in.data()) + at + used, n - used, buf.data(), r);
            EXPECT_LE(s.produced, r);
            out.append(reinterpret_cast<char*>(buf.data()), s.produced);
            used += s.used;
        }
        at += used;
    }
    out.append(reinterpret_cast<char*>(buf.data()), d.Finish(buf.data(), buf.size()));
    return out;
}

TEST(Base64Decoder, AgreesWithGMimeOnOddInputsInPiecesOfAnySize) {
    g_mime_init();
    std::vector<std::string> inputs = {
        "", "QUJD", "QUJDRA==", "QUJDRA=", "QUJDREU=", "QUJDRA", "QUJDREU", "QUJDR", "=QUJD", "Q=JD", "QUJD====",
        "QUJDR===", "QQ==Qg==", "QQ==\r\nQg==\r\n", "QU JD\r\n!!RA==  \r\n", "QUJDRA==garbage", "QUJDRA==QQ",
        "QUJDRA=\r\n=\r\n", "QUJDR\xc3\xa9" "A==", "\r\n\r\nQUJD\rRA\nRU\tY=", "Q\x80U\xffJ\x00" "D"};
    // Random mixtures: alphabet, line breaks, noise and the odd '='.
    const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string noise = "\r\n\r\n";  // and every other byte outside the alphabet
    for (int c = 0; c < 256; ++c)
        if (alphabet.find(char(c)) == std::string::npos && c != '=') noise += char(c);
    std::mt19937 rng(14);
    for (int i = 0; i < 300; ++i) {
        std::string s;
        const size_t len = rng() % 400;
        for (size_t k = 0; k < len; ++k) {
            const unsigned r = rng() % 1000;
            s += r < 900 ? alphabet[rng() % 64] : r < 998 ? noise[rng() % noise.size()] : '=';
        }
        inputs.push_back(s);
    }
    // Long runs of the alphabet broken into lines, with a rare odd byte.
    for (int i = 0; i < 100; ++i) {
        std::string s;
        const size_t width = 1 + rng() % 100, len = rng() % 3000;
        for (size_t k = 0; k < len; ++k) {
            s += rng() % 500 == 0 ? noise[rng() % noise.size()] : alphabet[rng() % 64];
            if (k % width == width - 1) s += "\r\n";
        }
        inputs.push_back(s + (i % 2 ? "==" : ""));
    }
    for (const auto& in : inputs) {
        const std::string expected = GMimeDecoded(in + "=");
        for (size_t piece : {size_t(1), size_t(7), size_t(33), size_t(4096)})
            for (size_t room : {size_t(3), size_t(25), size_t(64)})
                ASSERT_EQ(OursDecoded(in, piece, room, rng), expected) << "input \"" << in << "\" piece " << piece;
    }
    // Where they differ: the last bytes without their '='.
    EXPECT_EQ(GMimeDecoded("QUJDRA"), "ABC");
    EXPECT_EQ(OursDecoded("QUJDRA", 4096, 64, rng), "ABCD");
}

}  // namespace
