#include "crypto/bignum.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

#include "crypto/montgomery.h"
#include "crypto/random_generator.h"

namespace tarnwick {

using limbs::Limb;
using limbs::Wide;

namespace {

constexpr int kMaxLimbs = BigNum::kMaxBits / 64;

// A scratch array of limbs that is wiped when it goes away (it may hold key material).
class Scratch {
  public:
    explicit Scratch(int n) : n_(n), p_(n > 0 ? new (std::nothrow) Limb[n] : nullptr) {}
    ~Scratch() {
        if (p_ != nullptr) {
            SecureWipe(p_, sizeof(Limb) * static_cast<std::size_t>(n_));
            delete[] p_;
        }
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    bool ok() const { return n_ <= 0 || p_ != nullptr; }
    Limb* get() { return p_; }

  private:
    int n_;
    Limb* p_;
};

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

// ------------------------------------------------------------------ storage

BigNum::BigNum(const BigNum& other) : negative_(other.negative_), failed_(other.failed_) {
    if (other.size_ > 0) {
        if (!Reserve(other.size_)) return;
        std::memcpy(d_, other.d_, sizeof(Limb) * static_cast<std::size_t>(other.size_));
        size_ = other.size_;
    }
}

BigNum::BigNum(BigNum&& other) noexcept
    : d_(other.d_),
      size_(other.size_),
      capacity_(other.capacity_),
      negative_(other.negative_),
      failed_(other.failed_) {
    other.d_ = nullptr;
    other.size_ = other.capacity_ = 0;
    other.negative_ = false;
}

BigNum& BigNum::operator=(const BigNum& other) {
    if (this == &other) return *this;
    if (other.size_ > capacity_) {
        BigNum copy(other);
        *this = std::move(copy);
        return *this;
    }
    if (d_ != nullptr) {
        SecureWipe(d_, sizeof(Limb) * static_cast<std::size_t>(capacity_));
        if (other.size_ > 0) {
            std::memcpy(d_, other.d_, sizeof(Limb) * static_cast<std::size_t>(other.size_));
        }
    }
    size_ = other.size_;
    negative_ = other.negative_;
    failed_ = other.failed_;
    return *this;
}

BigNum& BigNum::operator=(BigNum&& other) noexcept {
    if (this == &other) return *this;
    if (d_ != nullptr) {
        SecureWipe(d_, sizeof(Limb) * static_cast<std::size_t>(capacity_));
        delete[] d_;
    }
    d_ = other.d_;
    size_ = other.size_;
    capacity_ = other.capacity_;
    negative_ = other.negative_;
    failed_ = other.failed_;
    other.d_ = nullptr;
    other.size_ = other.capacity_ = 0;
    other.negative_ = false;
    return *this;
}

BigNum::~BigNum() {
    if (d_ != nullptr) {
        SecureWipe(d_, sizeof(Limb) * static_cast<std::size_t>(capacity_));
        delete[] d_;
    }
}

bool BigNum::Reserve(int limbs) {
    if (limbs <= capacity_) return true;
    if (limbs > kMaxLimbs + 2) return Fail();
    int grown = capacity_ < 4 ? 4 : capacity_;
    while (grown < limbs)
        grown *= 2;
    if (grown > kMaxLimbs + 2) grown = kMaxLimbs + 2;
    Limb* bigger = new (std::nothrow) Limb[static_cast<std::size_t>(grown)];
    if (bigger == nullptr) return Fail();
    std::memset(bigger, 0, sizeof(Limb) * static_cast<std::size_t>(grown));
    if (d_ != nullptr) {
        std::memcpy(bigger, d_, sizeof(Limb) * static_cast<std::size_t>(size_));
        SecureWipe(d_, sizeof(Limb) * static_cast<std::size_t>(capacity_));
        delete[] d_;
    }
    d_ = bigger;
    capacity_ = grown;
    return true;
}

void BigNum::Trim() {
    size_ = limbs::Normalized(d_, size_);
    if (size_ == 0) negative_ = false;
    if (size_ > kMaxLimbs) Fail();
}

bool BigNum::Fail() {
    if (d_ != nullptr) SecureWipe(d_, sizeof(Limb) * static_cast<std::size_t>(capacity_));
    size_ = 0;
    negative_ = false;
    failed_ = true;
    return false;
}

// ------------------------------------------------------------------ construction

BigNum BigNum::Invalid() {
    BigNum n;
    n.failed_ = true;
    return n;
}

void BigNum::SetZero() {
    if (d_ != nullptr) SecureWipe(d_, sizeof(Limb) * static_cast<std::size_t>(capacity_));
    size_ = 0;
    negative_ = false;
    failed_ = false;
}

void BigNum::SetUnsigned(std::uint32_t value) {
    SetZero();
    if (value == 0 || !Reserve(1)) return;
    d_[0] = value;
    size_ = 1;
}

void BigNum::SetInt(std::int32_t value) {
    const std::int64_t wide = value;
    SetUnsigned(static_cast<std::uint32_t>(wide < 0 ? -wide : wide));
    negative_ = value < 0;
}

bool BigNum::SetBytesImpl(const std::uint8_t* bytes, std::size_t length, bool invert) {
    SetZero();
    // Leading zero bytes (or 0xff bytes of an inverted value) add nothing.
    const std::uint8_t skip = invert ? 0xff : 0x00;
    while (length > 0 && *bytes == skip) {
        ++bytes;
        --length;
    }
    if (length == 0) return true;
    if (length > static_cast<std::size_t>(kMaxLimbs) * 8) return Fail();
    const int n = static_cast<int>((length + 7) / 8);
    if (!Reserve(n)) return false;
    std::memset(d_, 0, sizeof(Limb) * static_cast<std::size_t>(n));
    for (std::size_t i = 0; i < length; ++i) {
        const std::size_t fromEnd = length - 1 - i;
        const Limb b = static_cast<std::uint8_t>(bytes[i] ^ skip);
        d_[fromEnd / 8] |= b << (8 * (fromEnd % 8));
    }
    size_ = n;
    Trim();
    return ok();
}

bool BigNum::SetBytes(const std::uint8_t* bytes, std::size_t length, bool negative) {
    if (!SetBytesImpl(bytes, length, false)) return false;
    negative_ = negative && size_ > 0;
    return true;
}

bool BigNum::SetLimbs(const std::uint32_t* words, std::size_t count, bool negative) {
    SetZero();
    if (count > static_cast<std::size_t>(kMaxLimbs) * 2) return Fail();
    const int n = static_cast<int>((count + 1) / 2);
    if (n == 0) return true;
    if (!Reserve(n)) return false;
    std::memset(d_, 0, sizeof(Limb) * static_cast<std::size_t>(n));
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t fromEnd = count - 1 - i;
        d_[fromEnd / 2] |= static_cast<Limb>(words[i]) << (32 * (fromEnd % 2));
    }
    size_ = n;
    Trim();
    negative_ = negative && size_ > 0;
    return ok();
}

bool BigNum::SetDecimal(std::string_view text) {
    SetZero();
    bool negative = false;
    if (!text.empty() && text[0] == '-') {
        negative = true;
        text.remove_prefix(1);
    }
    if (text.empty()) return Fail();
    for (char c : text) {
        if (c < '0' || c > '9') return Fail();
    }
    // Nineteen digits at a time: value = value * 10^k + chunk.
    const int estimate = static_cast<int>(text.size() / 19) + 2;
    if (estimate > kMaxLimbs + 1) return Fail();
    if (!Reserve(estimate)) return false;
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t take = std::min<std::size_t>(19, text.size() - at);
        Limb chunk = 0, scale = 1;
        for (std::size_t i = 0; i < take; ++i) {
            chunk = chunk * 10 + static_cast<Limb>(text[at + i] - '0');
            scale *= 10;
        }
        at += take;
        Limb carry = limbs::MulOne(d_, d_, size_, scale);
        carry += limbs::AddOne(d_, d_, size_, chunk);
        if (carry != 0) d_[size_++] = carry;
    }
    Trim();
    negative_ = negative && size_ > 0;
    return ok();
}

bool BigNum::SetHex(std::string_view text) {
    SetZero();
    bool negative = false;
    if (!text.empty() && text[0] == '-') {
        negative = true;
        text.remove_prefix(1);
    }
    if (text.empty() || text.size() > static_cast<std::size_t>(kMaxLimbs) * 16) return Fail();
    for (char c : text) {
        if (HexValue(c) < 0) return Fail();
    }
    const int n = static_cast<int>((text.size() + 15) / 16);
    if (!Reserve(n)) return false;
    std::memset(d_, 0, sizeof(Limb) * static_cast<std::size_t>(n));
    for (std::size_t i = 0; i < text.size(); ++i) {
        const std::size_t fromEnd = text.size() - 1 - i;
        d_[fromEnd / 16] |= static_cast<Limb>(HexValue(text[i])) << (4 * (fromEnd % 16));
    }
    size_ = n;
    Trim();
    negative_ = negative && size_ > 0;
    return ok();
}

bool BigNum::SetMpint(const std::uint8_t* data, std::size_t available, std::size_t* consumed) {
    SetZero();
    if (consumed != nullptr) *consumed = 0;
    if (data == nullptr || available < 4) return Fail();
    const std::size_t length = (static_cast<std::size_t>(data[0]) << 24) |
                               (static_cast<std::size_t>(data[1]) << 16) |
                               (static_cast<std::size_t>(data[2]) << 8) | data[3];
    if (length > available - 4) return Fail();
    const std::uint8_t* value = data + 4;
    if (length > 0 && (value[0] & 0x80) != 0) {
        // Negative: the magnitude is the two's complement, that is the inverted bytes plus one.
        if (!SetBytesImpl(value, length, true) || !AddSmall(1)) return Fail();
        negative_ = true;
    } else if (!SetBytesImpl(value, length, false)) {
        return false;
    }
    if (consumed != nullptr) *consumed = 4 + length;
    return true;
}

bool BigNum::SetRandom(std::size_t length, RandomGenerator& random) {
    SecureBytes bytes(length);
    random.Fill(bytes.data(), length);
    return SetBytes(bytes.data(), length);
}

// ------------------------------------------------------------------ queries

int BigNum::BitLength() const {
    if (size_ == 0) return 0;
    return 64 * (size_ - 1) + (64 - __builtin_clzll(d_[size_ - 1]));
}

bool BigNum::Bit(int index) const {
    if (index < 0 || index >= 64 * size_) return false;
    return ((d_[index / 64] >> (index % 64)) & 1) != 0;
}

std::size_t BigNum::ByteLength() const {
    const int bits = BitLength();
    return bits == 0 ? 1 : static_cast<std::size_t>((bits + 7) / 8);
}

std::size_t BigNum::WireLength() const {
    if (size_ == 0) return 4;
    const int bits = BitLength();
    return 4 + ByteLength() + ((bits % 8) == 0 ? 1 : 0);
}

int BigNum::CompareMagnitude(const BigNum& other) const {
    if (size_ != other.size_) return size_ < other.size_ ? -1 : 1;
    return limbs::Compare(d_, other.d_, size_);
}

int BigNum::Compare(const BigNum& other) const {
    if (negative_ != other.negative_) return negative_ ? -1 : 1;
    const int magnitude = CompareMagnitude(other);
    return negative_ ? -magnitude : magnitude;
}

bool operator==(const BigNum& a, const BigNum& b) {
    return a.Compare(b) == 0;
}
bool operator!=(const BigNum& a, const BigNum& b) {
    return a.Compare(b) != 0;
}
bool operator<(const BigNum& a, const BigNum& b) {
    return a.Compare(b) < 0;
}
bool operator<=(const BigNum& a, const BigNum& b) {
    return a.Compare(b) <= 0;
}
bool operator>(const BigNum& a, const BigNum& b) {
    return a.Compare(b) > 0;
}
bool operator>=(const BigNum& a, const BigNum& b) {
    return a.Compare(b) >= 0;
}

// ------------------------------------------------------------------ arithmetic

bool BigNum::AddSigned(const BigNum& other, bool subtract) {
    if (failed_ || other.failed_) return Fail();
    const bool otherNegative = other.negative_ != subtract && other.size_ > 0;
    if (other.size_ == 0) return true;
    if (negative_ == otherNegative || size_ == 0) {
        // Same signs (or a zero left side): the magnitudes add.
        const bool sign = size_ == 0 ? otherNegative : negative_;
        const int n = std::max(size_, other.size_);
        const int otherSize = other.size_;
        if (!Reserve(n + 1)) return false;
        const Limb* o = other.d_;  // reread after Reserve: other may be this object
        std::memset(d_ + size_, 0, sizeof(Limb) * static_cast<std::size_t>(n + 1 - size_));
        Limb carry = limbs::Add(d_, d_, o, otherSize);
        carry = limbs::AddOne(d_ + otherSize, d_ + otherSize, n - otherSize, carry);
        d_[n] = carry;
        size_ = n + 1;
        negative_ = sign;
        Trim();
        return ok();
    }
    const int cmp = CompareMagnitude(other);
    if (cmp == 0) {
        SetZero();
        return true;
    }
    if (cmp > 0) {
        // |this| - |other|, sign stays.
        Limb borrow = limbs::Sub(d_, d_, other.d_, other.size_);
        limbs::SubOne(d_ + other.size_, d_ + other.size_, size_ - other.size_, borrow);
    } else {
        // |other| - |this|, sign of other.
        const int n = other.size_;
        if (!Reserve(n)) return false;
        std::memset(d_ + size_, 0, sizeof(Limb) * static_cast<std::size_t>(n - size_));
        limbs::Sub(d_, other.d_, d_, n);
        size_ = n;
        negative_ = otherNegative;
    }
    Trim();
    return ok();
}

bool BigNum::Add(const BigNum& other) {
    return AddSigned(other, false);
}
bool BigNum::Sub(const BigNum& other) {
    return AddSigned(other, true);
}

bool BigNum::AddSmall(std::uint32_t value) {
    // A signed addition: -5 plus 3 is -2.
    BigNum small(value);
    return AddSigned(small, false);
}

void BigNum::Negate() {
    if (size_ > 0) negative_ = !negative_;
}

bool BigNum::Mul(const BigNum& other) {
    if (failed_ || other.failed_) return Fail();
    if (size_ == 0 || other.size_ == 0) {
        SetZero();
        return true;
    }
    const int n = size_ + other.size_;
    if (n > kMaxLimbs + 2) return Fail();
    BigNum product;
    if (!product.Reserve(n)) return Fail();
    if (this == &other)
        limbs::Square(product.d_, d_, size_);
    else
        limbs::Mul(product.d_, d_, size_, other.d_, other.size_);
    product.size_ = n;
    product.negative_ = negative_ != other.negative_;
    product.Trim();
    *this = std::move(product);
    return ok();
}

// Quotient and remainder of the magnitudes (both non-negative results).
bool BigNum::DivMod(const BigNum& divisor, BigNum* quotient, BigNum* remainder) const {
    const int an = size_, dn = divisor.size_;
    if (CompareMagnitude(divisor) < 0) {
        if (quotient != nullptr) quotient->SetZero();
        if (remainder != nullptr) {
            *remainder = *this;
            remainder->negative_ = false;
        }
        return true;
    }
    Scratch work(an + 1 + dn);
    if (!work.ok()) return false;
    BigNum q, r;
    if (quotient != nullptr && !q.Reserve(an - dn + 1)) return false;
    if (remainder != nullptr && !r.Reserve(dn)) return false;
    limbs::DivRem(quotient != nullptr ? q.d_ : nullptr, remainder != nullptr ? r.d_ : nullptr, d_,
                  an, divisor.d_, dn, work.get());
    if (quotient != nullptr) {
        q.size_ = an - dn + 1;
        q.Trim();
        *quotient = std::move(q);
    }
    if (remainder != nullptr) {
        r.size_ = dn;
        r.Trim();
        *remainder = std::move(r);
    }
    return true;
}

bool BigNum::Div(const BigNum& other) {
    if (failed_ || other.failed_) return Fail();
    if (other.size_ == 0) return false;
    BigNum q;
    if (!DivMod(other, &q, nullptr)) return Fail();
    const bool negative = negative_ != other.negative_;
    *this = std::move(q);
    negative_ = negative && size_ > 0;
    return true;
}

bool BigNum::Mod(const BigNum& other) {
    if (failed_ || other.failed_) return Fail();
    if (other.size_ == 0) return false;
    BigNum r;
    if (!DivMod(other, nullptr, &r)) return Fail();
    if (r.size_ > 0 && negative_ != other.negative_) {
        // Floored: |m| - r, then the sign of the modulus.
        BigNum m(other);
        m.negative_ = false;
        m.Sub(r);
        r = std::move(m);
    }
    const bool negative = other.negative_;
    *this = std::move(r);
    negative_ = negative && size_ > 0;
    return ok();
}

bool BigNum::ShiftLeft(int bits) {
    if (failed_) return false;
    if (bits < 0) return ShiftRight(bits == INT32_MIN ? INT32_MAX : -bits);
    if (size_ == 0 || bits == 0) return true;
    if (bits > kMaxBits) return Fail();
    const int whole = bits / 64, part = bits % 64;
    const int n = size_ + whole + 1;
    if (!Reserve(n)) return false;
    d_[size_] = 0;
    for (int i = size_; i >= 0; --i) {
        Limb v = d_[i] << part;
        if (part != 0 && i > 0) v |= d_[i - 1] >> (64 - part);
        d_[i + whole] = v;
    }
    for (int i = 0; i < whole; ++i)
        d_[i] = 0;
    size_ = n;
    Trim();
    return ok();
}

bool BigNum::ShiftRight(int bits) {
    if (failed_) return false;
    if (bits < 0) return ShiftLeft(bits == INT32_MIN ? INT32_MAX : -bits);
    if (size_ == 0 || bits == 0) return true;
    const int whole = bits / 64, part = bits % 64;
    if (whole >= size_) {
        SetZero();
        return true;
    }
    const int n = size_ - whole;
    for (int i = 0; i < n; ++i) {
        Limb v = d_[i + whole] >> part;
        if (part != 0 && i + whole + 1 < size_) v |= d_[i + whole + 1] << (64 - part);
        d_[i] = v;
    }
    for (int i = n; i < size_; ++i)
        d_[i] = 0;
    size_ = n;
    Trim();
    return true;
}

void BigNum::SetTopBit() {
    if (failed_) return;
    const int bits = BitLength();
    const int bit = bits == 0 ? 31 : ((bits + 31) / 32) * 32 - 1;
    if (!Reserve(bit / 64 + 1)) return;
    if (size_ < bit / 64 + 1) {
        std::memset(d_ + size_, 0, sizeof(Limb) * static_cast<std::size_t>(bit / 64 + 1 - size_));
        size_ = bit / 64 + 1;
    }
    d_[bit / 64] |= static_cast<Limb>(1) << (bit % 64);
}

BigNum operator+(const BigNum& a, const BigNum& b) {
    BigNum r(a);
    r.Add(b);
    return r;
}
BigNum operator-(const BigNum& a, const BigNum& b) {
    BigNum r(a);
    r.Sub(b);
    return r;
}
BigNum operator*(const BigNum& a, const BigNum& b) {
    BigNum r(a);
    r.Mul(b);
    return r;
}
BigNum operator/(const BigNum& a, const BigNum& b) {
    BigNum r(a);
    if (!r.Div(b)) {
        return BigNum::Invalid();
    }
    return r;
}
BigNum operator%(const BigNum& a, const BigNum& b) {
    BigNum r(a);
    if (!r.Mod(b)) {
        return BigNum::Invalid();
    }
    return r;
}
BigNum operator<<(const BigNum& a, int bits) {
    BigNum r(a);
    r.ShiftLeft(bits);
    return r;
}
BigNum operator>>(const BigNum& a, int bits) {
    BigNum r(a);
    r.ShiftRight(bits);
    return r;
}

// ------------------------------------------------------------------ conversion out

bool BigNum::ToBytes(std::uint8_t* out, std::size_t length) const {
    if (failed_) return false;
    if (length < ByteLength()) return false;
    if (negative_) {
        // The two's complement must still read as negative: |value| <= 2^(8 length - 1).
        const int bits = BitLength();
        const bool powerOfTwo =
            limbs::Normalized(d_, size_ - 1) == 0 && (d_[size_ - 1] & (d_[size_ - 1] - 1)) == 0;
        const std::size_t limit = 8 * length;
        if (static_cast<std::size_t>(bits) > limit ||
            (static_cast<std::size_t>(bits) == limit && !powerOfTwo)) {
            return false;
        }
    }
    for (std::size_t i = 0; i < length; ++i) {
        const std::size_t fromEnd = length - 1 - i;
        const std::size_t limb = fromEnd / 8;
        out[i] = limb < static_cast<std::size_t>(size_)
                     ? static_cast<std::uint8_t>(d_[limb] >> (8 * (fromEnd % 8)))
                     : 0;
    }
    if (negative_) {
        // Invert and add one, from the least significant byte up.
        unsigned carry = 1;
        for (std::size_t i = length; i-- > 0;) {
            const unsigned v = static_cast<std::uint8_t>(~out[i]) + carry;
            out[i] = static_cast<std::uint8_t>(v);
            carry = v >> 8;
        }
    }
    return true;
}

SecureBytes BigNum::ToBytes() const {
    if (failed_) return {};
    BigNum magnitude(*this);
    magnitude.negative_ = false;
    SecureBytes out(ByteLength());
    magnitude.ToBytes(out.data(), out.size());
    return out;
}

bool BigNum::ToMpint(std::uint8_t* out, std::size_t capacity) const {
    if (failed_) return false;
    const std::size_t wire = WireLength();
    if (capacity < wire) return false;
    const std::size_t body = wire - 4;
    out[0] = static_cast<std::uint8_t>(body >> 24);
    out[1] = static_cast<std::uint8_t>(body >> 16);
    out[2] = static_cast<std::uint8_t>(body >> 8);
    out[3] = static_cast<std::uint8_t>(body);
    if (size_ == 0) return true;
    const std::size_t own = ByteLength();
    std::uint8_t* value = out + 4;
    if (body > own) *value++ = negative_ ? 0xff : 0x00;
    BigNum magnitude(*this);
    magnitude.negative_ = false;
    magnitude.ToBytes(value, own);
    if (negative_) {
        unsigned carry = 1;
        for (std::size_t i = own; i-- > 0;) {
            const unsigned v = static_cast<std::uint8_t>(~value[i]) + carry;
            value[i] = static_cast<std::uint8_t>(v);
            carry = v >> 8;
        }
    }
    return true;
}

SecureBytes BigNum::ToMpint() const {
    if (failed_) return {};
    SecureBytes out(WireLength());
    ToMpint(out.data(), out.size());
    return out;
}

std::string BigNum::ToDecimal() const {
    if (failed_) return std::string();
    if (size_ == 0) return "0";
    BigNum work(*this);
    std::string digits;
    constexpr Limb kChunk = 10000000000000000000ULL;  // 10^19
    int n = work.size_;
    while (n > 0) {
        Limb rem = limbs::DivOne(work.d_, n, kChunk);
        n = limbs::Normalized(work.d_, n);
        for (int i = 0; i < 19; ++i) {
            digits.push_back(static_cast<char>('0' + rem % 10));
            rem /= 10;
            if (n == 0 && rem == 0) break;
        }
    }
    while (digits.size() > 1 && digits.back() == '0')
        digits.pop_back();
    if (negative_) digits.push_back('-');
    std::reverse(digits.begin(), digits.end());
    return digits;
}

std::string BigNum::ToHex() const {
    if (failed_) return std::string();
    if (size_ == 0) return "0";
    static const char kHex[] = "0123456789abcdef";
    std::string s;
    if (negative_) s.push_back('-');
    bool started = false;
    for (int i = 64 * size_ - 4; i >= 0; i -= 4) {
        const int v = static_cast<int>((d_[i / 64] >> (i % 64)) & 15);
        if (v == 0 && !started) continue;
        started = true;
        s.push_back(kHex[v]);
    }
    return s;
}

bool BigNumAccess::SetLimbs64(BigNum* value, const Limb* a, int n) {
    value->SetZero();
    if (!value->Reserve(n)) return false;
    if (n > 0) std::memcpy(value->d_, a, sizeof(Limb) * static_cast<std::size_t>(n));
    value->size_ = n;
    value->Trim();
    return value->ok();
}

}  // namespace tarnwick
