#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "crypto/skey.h"
#include "test_helpers.h"
#include "vectors.h"

namespace tarnwick {
namespace {

using testing::ToHex;

TEST(SkeyTest, Rfc2289Md5Vectors) {
    for (const testing::TestVector& v : testing::ReadVectors("skey.vec")) {
        SCOPED_TRACE(v.where);
        std::uint8_t otp[8];
        ASSERT_TRUE(SkeyCompute(v.Int("Count"), v.Text("Seed"), v.Text("Pass"), otp));
        EXPECT_EQ(ToHex(otp, 8), v.Hex("Out"));
        std::string words;
        SkeyToWords(otp, &words);
        EXPECT_EQ(words, v.Text("Words"));
    }
}

TEST(SkeyTest, SeedIsNotLowerCased) {
    std::uint8_t upper[8], lower[8];
    ASSERT_TRUE(SkeyCompute(1, "TeSt", "This is a test.", upper));
    ASSERT_TRUE(SkeyCompute(1, "test", "This is a test.", lower));
    EXPECT_NE(ToHex(upper, 8), ToHex(lower, 8));
    EXPECT_FALSE(SkeyCompute(-1, "test", "x", upper));
}

TEST(SkeyTest, ZeroGivesTheFirstWordSixTimesAndTheDictionaryIsWellFormed) {
    const std::uint8_t zero[8] = {};
    std::string words = "kept ";
    SkeyToWords(zero, &words);
    EXPECT_EQ(words, "kept A A A A A A");
    std::set<std::string> unique;
    for (const char* w : kSkeyWords) {
        const std::size_t n = std::strlen(w);
        EXPECT_TRUE(n >= 1 && n <= 4) << w;
        unique.insert(w);
    }
    EXPECT_EQ(unique.size(), 2048u);
    // All ones: every index 2047 except the last, whose two check bits are 0 (64 ones sum to 0
    // modulo 4).
    const std::uint8_t ones[8] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
    std::string all;
    SkeyToWords(ones, &all);
    EXPECT_EQ(all, std::string("YOKE YOKE YOKE YOKE YOKE ") + kSkeyWords[2044]);
}

}  // namespace
}  // namespace tarnwick
