#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "crypto/md5.h"
#include "crypto/skey.h"
#include "test_helpers.h"

namespace tarnwick {
namespace {

using testing::ToHex;

TEST(SkeyTest, Rfc2289Md5Vectors) {
    // The appendix vectors whose seeds are already lower case (seeds are used as given).
    struct Case {
        const char *passphrase, *seed;
        int sequence;
        const char *hex, *words;
    } cases[] = {
        {"AbCdEfGhIjK", "alpha1", 0, "87066dd9644bf206", "FULL PEW DOWN ONCE MORT ARC"},
        {"AbCdEfGhIjK", "alpha1", 1, "7cd34c1040add14b", "FACT HOOF AT FIST SITE KENT"},
        {"AbCdEfGhIjK", "alpha1", 99, "5aa37a81f212146c", "BODE HOP JAKE STOW JUT RAP"},
        {"OTP's are good", "correct", 0, "f205753943de4cf9", "ULAN NEW ARMY FUSE SUIT EYED"},
        {"OTP's are good", "correct", 1, "ddcdac956f234937", "SKIM CULT LOB SLAM POE HOWL"},
        {"OTP's are good", "correct", 99, "b203e28fa525be47", "LONG IVY JULY AJAR BOND LEE"},
        {"This is a test.", "test", 0, "9e876134d90499dd", "INCH SEA ANNE LONG AHEM TOUR"},
        {"This is a test.", "test", 1, "7965e05436f5029f", "EASE OIL FUM CURE AWRY AVIS"},
        {"This is a test.", "test", 99, "50fe1962c4965880", "BAIL TUFT BITS GANG CHEF THY"},
    };
    for (const auto& c : cases) {
        std::uint8_t otp[8];
        ASSERT_TRUE(SkeyCompute(c.sequence, c.seed, c.passphrase, otp));
        EXPECT_EQ(ToHex(otp, 8), c.hex) << c.seed << " " << c.sequence;
        std::string words;
        SkeyToWords(otp, &words);
        EXPECT_EQ(words, c.words);
    }
}

TEST(SkeyTest, SeedIsNotLowerCased) {
    std::uint8_t upper[8], lower[8];
    ASSERT_TRUE(SkeyCompute(1, "TeSt", "This is a test.", upper));
    ASSERT_TRUE(SkeyCompute(1, "test", "This is a test.", lower));
    EXPECT_NE(ToHex(upper, 8), ToHex(lower, 8));
    EXPECT_FALSE(SkeyCompute(-1, "test", "x", upper));
}

TEST(SkeyTest, SequenceZeroIsTheFoldOfOneDigest) {
    const std::string joined = "alpha1AbCdEfGhIjK";
    std::uint8_t digest[16];
    CMD5::Digest(joined.data(), joined.size(), digest);
    std::uint8_t fold[8];
    for (int i = 0; i < 8; ++i)
        fold[i] = digest[i] ^ digest[i + 8];
    std::uint8_t otp[8];
    ASSERT_TRUE(SkeyCompute(0, "alpha1", "AbCdEfGhIjK", otp));
    EXPECT_EQ(ToHex(otp, 8), ToHex(fold, 8));
}

TEST(SkeyTest, ZeroGivesTheFirstWordSixTimesAndTheDictionaryIsWellFormed) {
    const std::uint8_t zero[8] = {};
    std::string words = "kept ";
    SkeyToWords(zero, &words);
    EXPECT_EQ(words, "kept A A A A A A");
    EXPECT_STREQ(kSkeyWords[0], "A");
    EXPECT_STREQ(kSkeyWords[2047], "YOKE");
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
