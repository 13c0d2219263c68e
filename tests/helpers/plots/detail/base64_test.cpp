#include "detail/base64.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(base64, encodes_and_decodes_the_standard_vectors) {
    struct example {
        std::string in;
        std::string out;
    };
    // RFC 4648, section 10, plus bytes that use the last two letters of the alphabet.
    for (const example& e : {example{"", ""}, example{"f", "Zg=="}, example{"fo", "Zm8="}, example{"foo", "Zm9v"},
                             example{"foob", "Zm9vYg=="}, example{"fooba", "Zm9vYmE="}, example{"foobar", "Zm9vYmFy"},
                             example{"\xFB\xFF\xBF", "+/+/"}, example{std::string("\0\0\0", 3), "AAAA"}}) {
        const std::vector<std::uint8_t> bytes(e.in.begin(), e.in.end());
        EXPECT_EQ(plots::detail::encode_base64(bytes), e.out) << e.out;
        EXPECT_EQ(plots::detail::decode_base64(e.out), e.in) << e.out;
    }
}

}  // namespace
