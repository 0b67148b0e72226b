#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/crypto.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "crypto/bignum.h"
#include "openssl_objects.h"
#include "test_helpers.h"

namespace tarnwick {
namespace {

using testing::BnHex;
using testing::FromHex;
using testing::TestRandom;
using testing::ToHex;

using Bn = testing::OpenSslPtr<BIGNUM>;
using Ctx = testing::OpenSslPtr<BN_CTX>;

// The same random value in both libraries.
struct Pair {
    BigNum ours;
    Bn theirs;
};

Pair MakePair(const std::vector<std::uint8_t>& bytes, bool negative) {
    Pair p;
    EXPECT_TRUE(p.ours.SetBytes(bytes.data(), bytes.size(), negative));
    p.theirs.reset(BN_bin2bn(bytes.data(), static_cast<int>(bytes.size()), nullptr));
    BN_set_negative(p.theirs.get(), negative ? 1 : 0);
    return p;
}

// Operand lengths that stress the limb boundaries: 0, 1, 7, 8, 9, 15, 16, 17, ... and random.
std::size_t InterestingLength(TestRandom& random) {
    static const std::size_t kLengths[] = {0,  1,  2,  7,  8,  9,  15, 16,  17,  23,  24,
                                           25, 31, 32, 33, 63, 64, 65, 127, 128, 129, 256};
    if (random.Below(3) == 0) return 1 + random.Below(300);
    return kLengths[random.Below(sizeof(kLengths) / sizeof(kLengths[0]))];
}

std::vector<std::uint8_t> Operand(TestRandom& random) {
    auto bytes = random.Bytes(InterestingLength(random));
    // Sometimes runs of 0xff or 0x00 limbs, which make carries and borrows travel far.
    if (!bytes.empty() && random.Below(4) == 0) {
        std::uint8_t fill = random.Below(2) == 0 ? 0xff : 0x00;
        std::size_t from = random.Below(bytes.size()), to = random.Below(bytes.size() + 1);
        if (from < to)
            std::fill(bytes.begin() + static_cast<std::ptrdiff_t>(from),
                      bytes.begin() + static_cast<std::ptrdiff_t>(to), fill);
        if (fill == 0xff) bytes[0] = 0xff;
    }
    return bytes;
}

std::string Wire(const BigNum& n) {
    auto bytes = n.ToMpint();
    return ToHex(bytes.data(), bytes.size());
}

TEST(BigNumTest, WireFormExamples) {
    BigNum n;
    ASSERT_TRUE(n.SetDecimal("-12"));
    EXPECT_TRUE(n.IsNegative());
    EXPECT_EQ(Wire(n), "00000001f4");
    n.SetInt(-128);
    EXPECT_EQ(Wire(n), "00000002ff80");
    n.SetUnsigned(0x80);
    EXPECT_EQ(Wire(n), "000000020080");
    EXPECT_EQ(n.WireLength(), 6u);
    n.SetUnsigned(0x7f);
    EXPECT_EQ(Wire(n), "000000017f");
    n.SetZero();
    EXPECT_EQ(Wire(n), "00000000");
    EXPECT_EQ(n.WireLength(), 4u);
    n.SetInt(-1);
    EXPECT_EQ(Wire(n), "00000001ff");

    // And back, including the non-minimal forms other implementations send.
    for (const char* hex : {"00000001f4", "00000002ff80", "000000020080", "000000017f", "00000000",
                            "00000001ff", "00000003000080", "00000002ffff"}) {
        auto bytes = FromHex(hex);
        std::size_t used = 0;
        ASSERT_TRUE(n.SetMpint(bytes.data(), bytes.size(), &used)) << hex;
        EXPECT_EQ(used, bytes.size());
        BigNum again;
        auto wire = n.ToMpint();
        ASSERT_TRUE(again.SetMpint(wire.data(), wire.size()));
        EXPECT_EQ(again, n) << hex;
    }
    auto minusOne = FromHex("00000002ffff");
    n.SetMpint(minusOne.data(), minusOne.size());
    EXPECT_TRUE(n.IsMinusOne());
}

TEST(BigNumTest, MalformedWireAndTextFail) {
    BigNum n;
    auto truncated = FromHex("0000000501020304");
    std::size_t used = 99;
    EXPECT_FALSE(n.SetMpint(truncated.data(), truncated.size(), &used));
    EXPECT_EQ(used, 0u);
    EXPECT_FALSE(n.ok());
    EXPECT_FALSE(n.SetMpint(truncated.data(), 3));
    auto huge = FromHex("ffffffff00");
    EXPECT_FALSE(n.SetMpint(huge.data(), huge.size()));
    for (const char* text : {"", "-", "12a", " 12", "1 2", "+5", "--1"}) {
        EXPECT_FALSE(n.SetDecimal(text)) << text;
        EXPECT_FALSE(n.ok());
    }
    ASSERT_TRUE(n.SetDecimal("-0"));
    EXPECT_FALSE(n.IsNegative());
    EXPECT_TRUE(n.ok());
    // A failed number poisons what is computed from it.
    BigNum bad = BigNum::Invalid();
    BigNum sum = bad + BigNum(1u);
    EXPECT_FALSE(sum.ok());
    std::uint8_t out[8];
    EXPECT_FALSE(sum.ToBytes(out, 8));
    EXPECT_TRUE(sum.ToMpint().empty());
}

TEST(BigNumTest, ToBytesPadsAndRefuses) {
    BigNum n(0x1234u);
    std::uint8_t out[4] = {9, 9, 9, 9};
    ASSERT_TRUE(n.ToBytes(out, 4));
    EXPECT_EQ(ToHex(out, 4), "00001234");
    EXPECT_FALSE(n.ToBytes(out, 1));
    n.SetInt(-128);
    ASSERT_TRUE(n.ToBytes(out, 1));
    EXPECT_EQ(out[0], 0x80);
    ASSERT_TRUE(n.ToBytes(out, 3));
    EXPECT_EQ(ToHex(out, 3), "ffff80");
    n.SetInt(-129);
    EXPECT_FALSE(n.ToBytes(out, 1));  // 0x7f would read as +127
    BigNum zero;
    EXPECT_TRUE(zero.ToBytes(out, 1));
    EXPECT_FALSE(zero.ToBytes(out, 0));
}

// The sign rules of / and % are compared with libcrypto on random operands; here the divisor 0.
TEST(BigNumTest, DivisionByZeroFailsAndLeavesTheNumber) {
    BigNum x(5u);
    EXPECT_FALSE(x.Mod(BigNum()));
    EXPECT_FALSE(x.Div(BigNum()));
    EXPECT_EQ(x.ToDecimal(), "5");
    EXPECT_FALSE((x / BigNum()).ok());
    EXPECT_FALSE((x % BigNum()).ok());
}

TEST(BigNumTest, SmallOperations) {
    BigNum n(-5);
    ASSERT_TRUE(n.AddSmall(3));
    EXPECT_EQ(n.ToDecimal(), "-2");
    ASSERT_TRUE(n.AddSmall(2));
    EXPECT_TRUE(n.IsZero());
    EXPECT_FALSE(n.IsNegative());
    n.SetUnsigned(0xffffffffu);
    ASSERT_TRUE(n.AddSmall(1));
    EXPECT_EQ(n.ToHex(), "100000000");
    // Set top bit: bit 31 of the top 32-bit word.
    n.SetUnsigned(5);
    n.SetTopBit();
    EXPECT_EQ(n.ToHex(), "80000005");
    n.SetZero();
    n.SetTopBit();
    EXPECT_EQ(n.ToHex(), "80000000");
    ASSERT_TRUE(n.SetHex("123456789"));
    n.SetTopBit();
    EXPECT_EQ(n.ToHex(), "8000000123456789");
    // Shifts: negative counts go the other way; a negative number shifted to nothing is 0.
    n.SetInt(-3);
    ASSERT_TRUE(n.ShiftRight(2));
    EXPECT_TRUE(n.IsZero());
    EXPECT_FALSE(n.IsNegative());
    n.SetUnsigned(1);
    ASSERT_TRUE(n.ShiftRight(-100));
    EXPECT_EQ(n.BitLength(), 101);
    ASSERT_TRUE(n.ShiftLeft(-100));
    EXPECT_TRUE(n.IsOne());
    EXPECT_FALSE(n.ShiftLeft(BigNum::kMaxBits + 1));
    EXPECT_FALSE(n.ok());
    // From 32-bit limbs, most significant first.
    const std::uint32_t words[] = {0x1, 0x0, 0xdeadbeef};
    ASSERT_TRUE(n.SetLimbs(words, 3, true));
    EXPECT_EQ(n.ToHex(), "-100000000deadbeef");
    EXPECT_TRUE(BigNum(-1).IsMinusOne());
    EXPECT_TRUE(BigNum(1).IsOne());
}

TEST(BigNumTest, ArithmeticMatchesReference) {
    TestRandom random(100);
    Ctx ctx(BN_CTX_new());
    for (int round = 0; round < 3000; ++round) {
        Pair a = MakePair(Operand(random), random.Below(2) == 0);
        Pair b = MakePair(Operand(random), random.Below(2) == 0);
        Bn r(BN_new()), rem(BN_new());

        BN_add(r.get(), a.theirs.get(), b.theirs.get());
        ASSERT_EQ((a.ours + b.ours).ToHex(), BnHex(r.get())) << round;
        BN_sub(r.get(), a.theirs.get(), b.theirs.get());
        ASSERT_EQ((a.ours - b.ours).ToHex(), BnHex(r.get())) << round;
        BN_mul(r.get(), a.theirs.get(), b.theirs.get(), ctx.get());
        ASSERT_EQ((a.ours * b.ours).ToHex(), BnHex(r.get())) << round;
        BN_sqr(r.get(), a.theirs.get(), ctx.get());
        ASSERT_EQ((a.ours * a.ours).ToHex(), BnHex(r.get())) << round;

        // Aliased operands in place.
        BigNum twice(a.ours);
        ASSERT_TRUE(twice.Add(twice));
        BN_add(r.get(), a.theirs.get(), a.theirs.get());
        ASSERT_EQ(twice.ToHex(), BnHex(r.get()));
        BigNum none(a.ours);
        ASSERT_TRUE(none.Sub(none));
        ASSERT_TRUE(none.IsZero());

        if (!BN_is_zero(b.theirs.get())) {
            // Truncated quotient; floored remainder taking the modulus's sign.
            BN_div(r.get(), rem.get(), a.theirs.get(), b.theirs.get(), ctx.get());
            ASSERT_EQ((a.ours / b.ours).ToHex(), BnHex(r.get())) << round;
            if (!BN_is_zero(rem.get()) &&
                BN_is_negative(rem.get()) != BN_is_negative(b.theirs.get())) {
                BN_add(rem.get(), rem.get(), b.theirs.get());
            }
            ASSERT_EQ((a.ours % b.ours).ToHex(), BnHex(rem.get())) << round;
        }

        const int shift = static_cast<int>(random.Below(200));
        BN_lshift(r.get(), a.theirs.get(), shift);
        ASSERT_EQ((a.ours << shift).ToHex(), BnHex(r.get())) << round;
        BN_rshift(r.get(), a.theirs.get(), shift);
        ASSERT_EQ((a.ours >> shift).ToHex(), BnHex(r.get())) << round;

        const int cmp = BN_cmp(a.theirs.get(), b.theirs.get());
        ASSERT_EQ(a.ours.Compare(b.ours), cmp < 0 ? -1 : cmp > 0 ? 1 : 0);
        ASSERT_EQ(a.ours < b.ours, cmp < 0);
        ASSERT_EQ(a.ours == b.ours, cmp == 0);
        ASSERT_EQ(a.ours >= b.ours, cmp >= 0);
        const int ucmp = BN_ucmp(a.theirs.get(), b.theirs.get());
        ASSERT_EQ(a.ours.CompareMagnitude(b.ours), ucmp < 0 ? -1 : ucmp > 0 ? 1 : 0);
    }
}

TEST(BigNumTest, ConversionsMatchReference) {
    TestRandom random(101);
    for (int round = 0; round < 2000; ++round) {
        auto bytes = Operand(random);
        const bool negative = random.Below(2) == 0;
        Pair a = MakePair(bytes, negative);
        ASSERT_EQ(a.ours.ToHex(), BnHex(a.theirs.get()));
        ASSERT_EQ(a.ours.BitLength(), BN_num_bits(a.theirs.get()));
        const std::size_t own =
            BN_is_zero(a.theirs.get()) ? 1 : static_cast<std::size_t>(BN_num_bytes(a.theirs.get()));
        ASSERT_EQ(a.ours.ByteLength(), own);

        // Decimal both ways.
        char* dec = BN_bn2dec(a.theirs.get());
        ASSERT_EQ(a.ours.ToDecimal(), dec);
        BigNum parsed;
        ASSERT_TRUE(parsed.SetDecimal(dec));
        ASSERT_EQ(parsed, a.ours);
        OPENSSL_free(dec);

        // Bytes: magnitude right-aligned; larger lengths pad with zeros.
        auto magnitude = a.ours.ToBytes();
        std::vector<std::uint8_t> want(own);
        BN_bn2binpad(a.theirs.get(), want.data(), static_cast<int>(own));
        ASSERT_EQ(ToHex(magnitude.data(), magnitude.size()), ToHex(want));
        std::vector<std::uint8_t> padded(own + 5);
        BigNum positive(a.ours);
        if (positive.IsNegative()) positive.Negate();
        ASSERT_TRUE(positive.ToBytes(padded.data(), padded.size()));
        ASSERT_EQ(ToHex(padded.data() + 5, own), ToHex(want));
        if (own > 1 || !a.ours.IsZero()) {
            ASSERT_FALSE(positive.ToBytes(padded.data(), own - 1));
        }

        // The wire form: a negative value is the two's complement over the body.
        auto wire = a.ours.ToMpint();
        ASSERT_EQ(wire.size(), a.ours.WireLength());
        const std::size_t body = wire.size() - 4;
        Bn expected(BN_dup(a.theirs.get()));
        if (negative && !BN_is_zero(expected.get())) {
            Bn power(BN_new());
            BN_lshift(power.get(), BN_value_one(), static_cast<int>(8 * body));
            BN_add(expected.get(), expected.get(), power.get());
        }
        std::vector<std::uint8_t> wantBody(body);
        if (body > 0) BN_bn2binpad(expected.get(), wantBody.data(), static_cast<int>(body));
        ASSERT_EQ(ToHex(wire.data() + 4, body), ToHex(wantBody)) << round;
        if (body > 0) {
            ASSERT_EQ((wire[4] & 0x80) != 0, negative && !a.ours.IsZero()) << round;
        }
        BigNum back;
        std::size_t used = 0;
        ASSERT_TRUE(back.SetMpint(wire.data(), wire.size(), &used));
        ASSERT_EQ(used, wire.size());
        ASSERT_EQ(back, a.ours);
    }
}

TEST(BigNumTest, ModExpEdgeCases) {
    BigNum r;
    ASSERT_TRUE(ModExp(BigNum(5u), BigNum(), BigNum(7u), &r));
    EXPECT_TRUE(r.IsOne());
    ASSERT_TRUE(ModExp(BigNum(5u), BigNum(3u), BigNum(1u), &r));
    EXPECT_TRUE(r.IsZero());
    ASSERT_TRUE(ModExp(BigNum(5u), BigNum(), BigNum(1u), &r));
    EXPECT_TRUE(r.IsOne());
    EXPECT_FALSE(ModExp(BigNum(5u), BigNum(3u), BigNum(), &r));
    EXPECT_FALSE(ModExp(BigNum(5u), BigNum(-3), BigNum(7u), &r));
    EXPECT_FALSE(r.ok());
    ASSERT_TRUE(ModExp(BigNum(-2), BigNum(3u), BigNum(7u), &r));  // -8 mod 7
    EXPECT_EQ(r.ToDecimal(), "6");
    ASSERT_TRUE(ModExp(BigNum(2u), BigNum(3u), BigNum(-7), &r));  // 8 mod -7
    EXPECT_EQ(r.ToDecimal(), "-6");
    ASSERT_TRUE(ModExpSecret(BigNum(3u), BigNum(100u), BigNum(1000u), &r));  // even: fallback
    EXPECT_EQ(r.ToDecimal(), "1");
}

TEST(BigNumTest, ModularArithmeticMatchesReference) {
    testing::ForEachArithmeticPath([] {
        TestRandom random(102);
        Ctx ctx(BN_CTX_new());
        for (int round = 0; round < 100; ++round) {
            std::size_t length = 1 + random.Below(round < 85 ? 80 : 300);
            auto mBytes = random.Bytes(length);
            if (round % 4 != 0) mBytes.back() |= 1;  // mostly odd moduli; some even ones
            mBytes[0] |= 0x80;
            Pair m = MakePair(mBytes, false);
            if (m.ours.IsOne()) continue;
            Pair base = MakePair(random.Bytes(1 + random.Below(length + 8)), random.Below(5) == 0);
            Pair exponent =
                MakePair(random.Bytes(random.Below(std::min<std::size_t>(length, 80) + 1)), false);
            Bn want(BN_new());
            BN_mod_exp(want.get(), base.theirs.get(), exponent.theirs.get(), m.theirs.get(),
                       ctx.get());
            if (BN_is_negative(want.get())) BN_add(want.get(), want.get(), m.theirs.get());
            if (exponent.ours.IsZero()) BN_one(want.get());
            BigNum got;
            ASSERT_TRUE(ModExp(base.ours, exponent.ours, m.ours, &got)) << round;
            ASSERT_EQ(got.ToHex(), BnHex(want.get())) << round;
            ASSERT_TRUE(ModExpSecret(base.ours, exponent.ours, m.ours, &got)) << round;
            ASSERT_EQ(got.ToHex(), BnHex(want.get())) << round;
            // The paired form against itself on two moduli.
            BigNum first, second, again;
            ASSERT_TRUE(ModExpSecretPair(base.ours, exponent.ours, m.ours, &first, base.ours,
                                         exponent.ours + BigNum(1u), m.ours, &second));
            ASSERT_EQ(first.ToHex(), BnHex(want.get())) << round;
            ASSERT_TRUE(ModExp(base.ours, exponent.ours + BigNum(1u), m.ours, &again));
            ASSERT_EQ(second, again) << round;

            // Two powers in one pass against the two computed apart.
            BigNum product, a, b;
            const BigNum base2 = base.ours + BigNum(7u);
            ASSERT_TRUE(ModExpProduct(base.ours, exponent.ours, base2, exponent.ours >> 3, m.ours,
                                      &product));
            ASSERT_TRUE(ModExp(base.ours, exponent.ours, m.ours, &a));
            ASSERT_TRUE(ModExp(base2, exponent.ours >> 3, m.ours, &b));
            ASSERT_EQ(product, (a * b) % m.ours) << round;

            // Inverses modulo the same number, where one exists.
            Bn inverse(BN_mod_inverse(nullptr, base.theirs.get(), m.theirs.get(), ctx.get()));
            BigNum ours;
            const bool found = ModInverse(base.ours, m.ours, &ours);
            ASSERT_EQ(found, inverse != nullptr) << round;
            if (found) {
                ASSERT_EQ(ours.ToHex(), BnHex(inverse.get())) << round;
            }
        }
    });
}

TEST(BigNumTest, ModExpAtTheDigitLimits) {
    // Moduli whose lengths sit at the edges of the 52-bit digit form (and of its vectors).
    testing::ForEachArithmeticPath([] {
        Ctx ctx(BN_CTX_new());
        TestRandom random(103);
        for (int bits : {2, 3, 50, 51, 52, 53, 102, 414, 415, 416, 417, 1022, 1024, 2046, 2048,
                         4158, 4160, 4200}) {
            BigNum m(1u), all;
            m.ShiftLeft(bits - 1);
            all = (m << 1) - BigNum(1u);  // 2^bits - 1: every digit full
            for (const BigNum& modulus : {m + BigNum(1u), all}) {
                auto baseBytes = random.Bytes(static_cast<std::size_t>(bits / 8 + 2));
                BigNum base;
                base.SetBytes(baseBytes.data(), baseBytes.size());
                // All ones, but short: the edges lie in the modulus, not the exponent.
                const BigNum exponent = (BigNum(1u) << std::min(bits, 100)) - BigNum(1u);
                BigNum got, secret;
                ASSERT_TRUE(ModExp(base, exponent, modulus, &got)) << bits;
                ASSERT_TRUE(ModExpSecret(base, exponent, modulus, &secret, 100)) << bits;
                Bn want(BN_new()), b(BN_new()), e(BN_new()), mm(BN_new());
                BIGNUM* raw = b.get();
                BN_hex2bn(&raw, base.ToHex().c_str());
                raw = e.get();
                BN_hex2bn(&raw, exponent.ToHex().c_str());
                raw = mm.get();
                BN_hex2bn(&raw, modulus.ToHex().c_str());
                BN_mod_exp(want.get(), b.get(), e.get(), mm.get(), ctx.get());
                ASSERT_EQ(got.ToHex(), BnHex(want.get())) << bits;
                ASSERT_EQ(secret.ToHex(), BnHex(want.get())) << bits;
            }
        }
    });
}

}  // namespace
}  // namespace tarnwick
