#include "ssl/ssl_record.h"

#include <algorithm>
#include <cstring>

#include "crypto/sha1.h"

namespace tarnwick {

namespace {

constexpr SSLCipherSuite kSuites[] = {
    {kSuiteDesCbcSha, "DES-CBC-SHA", false, 8, 72},
    {kSuite3DesEdeCbcSha, "DES-CBC3-SHA", true, 24, 104},
};

constexpr std::size_t kBlock = 8;

// All ones when a <= b, else 0, without a branch on the values.
std::uint32_t MaskLessOrEqual(std::uint32_t a, std::uint32_t b) {
    // b - a does not borrow exactly when a <= b.
    const std::uint64_t difference = static_cast<std::uint64_t>(b) - a;
    return static_cast<std::uint32_t>((difference >> 63) - 1);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// SSLPacket

SSLPacket::Collect SSLPacket::Take(const std::uint8_t* data, std::size_t length,
                                   std::uint32_t max_body, std::size_t* used) {
    *used = 0;
    if (size() < kSSLHeaderSize) {
        const std::size_t n = std::min<std::size_t>(kSSLHeaderSize - size(), length);
        append(data, static_cast<long long>(n));
        *used += n;
        if (size() < kSSLHeaderSize) return Collect::kNeedMore;
        const std::uint8_t* header = this->data();
        const std::uint32_t body = (static_cast<std::uint32_t>(header[3]) << 8) | header[4];
        if (header[0] < kSSLChangeCipherSpec || header[0] > kSSLApplicationData || header[1] != 3) {
            return Collect::kNotRecord;
        }
        if (body > max_body) return Collect::kTooLong;
        record_type_ = header[0];
        body_length_ = body;
        expected_length_ = kSSLHeaderSize + body;
        if (!reserve(body)) return Collect::kTooLong;
    }
    const std::size_t n = std::min<std::size_t>(expected_length_ - size(), length - *used);
    if (n > 0) append(data + *used, static_cast<long long>(n));
    *used += n;
    return size() == expected_length_ ? Collect::kComplete : Collect::kNeedMore;
}

void SSLPacket::Reset() {
    clear();
    record_type_ = 0;
    expected_length_ = 0;
    body_length_ = 0;
}

// ---------------------------------------------------------------------------------------------
// Suites

const SSLCipherSuite* FindCipherSuite(std::uint16_t id) {
    for (const SSLCipherSuite& suite : kSuites) {
        if (suite.id == id) return &suite;
    }
    return nullptr;
}

// ---------------------------------------------------------------------------------------------
// SSLCipherState

std::size_t SSLCipherState::PaddingLength(std::size_t body_and_mac, std::size_t block) {
    const std::size_t r = body_and_mac % block;
    return r == block - 1 ? block : block - r - 1;
}

void SSLCipherState::Reset() {
    cipher_.reset();
    mac_.reset();
    sequence_ = 0;
}

bool SSLCipherState::Activate(const SSLCipherSuite& suite, const SecureBytes& key_block,
                              bool client_keys, bool encrypt) {
    if (key_block.size() < suite.key_block_size) return false;
    const std::uint8_t* block = key_block.data();
    auto cipher = std::make_unique<D3Des>(0, suite.triple ? 1 : 0);
    cipher->SetDirection(encrypt ? 1 : 0);
    const std::size_t key = client_keys ? suite.ClientKeyOffset() : suite.ServerKeyOffset();
    const std::size_t iv = client_keys ? suite.ClientIvOffset() : suite.ServerIvOffset();
    const std::size_t mac = client_keys ? suite.ClientMacOffset() : suite.ServerMacOffset();
    if (!cipher->SetKey(block + key, suite.key_length) || !cipher->SetIV(block + iv, kBlock)) {
        return false;
    }
    cipher_ = std::move(cipher);
    mac_ = std::make_unique<HMAC>(std::make_unique<CSHA1>(), block + mac, kSSLMacSize);
    sequence_ = 0;
    return true;
}

void SSLCipherState::Mac(std::uint64_t sequence, std::uint8_t type, const std::uint8_t* body,
                         std::size_t length, std::uint8_t out[kSSLMacSize]) {
    std::uint8_t prefix[13];
    for (int i = 0; i < 8; ++i)
        prefix[i] = static_cast<std::uint8_t>(sequence >> (56 - 8 * i));
    prefix[8] = type;
    prefix[9] = 3;
    prefix[10] = 1;
    prefix[11] = static_cast<std::uint8_t>(length >> 8);
    prefix[12] = static_cast<std::uint8_t>(length);
    mac_->Init();
    mac_->Update(prefix, sizeof prefix);
    mac_->Update(body, length);
    mac_->Final(out);
}

void SSLCipherState::Seal(std::uint8_t type, const std::uint8_t* body, std::size_t length,
                          std::string* out) {
    const std::uint64_t sequence = sequence_++;
    std::size_t total = length;
    std::size_t padding = 0;
    if (cipher_) {
        padding = PaddingLength(length + kSSLMacSize, kBlock);
        total = length + kSSLMacSize + padding + 1;
    }
    const std::size_t start = out->size();
    out->resize(start + kSSLHeaderSize + total);
    auto* record = reinterpret_cast<std::uint8_t*>(out->data()) + start;
    record[0] = type;
    record[1] = 3;
    record[2] = 1;
    record[3] = static_cast<std::uint8_t>(total >> 8);
    record[4] = static_cast<std::uint8_t>(total);
    std::uint8_t* payload = record + kSSLHeaderSize;
    if (length > 0) std::memcpy(payload, body, length);
    if (!cipher_) return;
    Mac(sequence, type, payload, length, payload + length);
    std::memset(payload + length + kSSLMacSize, static_cast<int>(padding), padding + 1);
    cipher_->Encrypt(payload, total);
}

bool SSLCipherState::Open(SSLPacket& record) {
    const std::uint64_t sequence = sequence_++;
    if (!cipher_) return true;
    const std::uint32_t length = record.BodyLength();
    // Not secret: the length on the wire. The smallest record is a MAC and one padding byte,
    // rounded up to whole blocks.
    if (length % kBlock != 0 || length < kSSLMacSize + 1 + (kBlock - (kSSLMacSize + 1) % kBlock)) {
        return false;
    }
    std::uint8_t* body = record.Body();
    cipher_->Decrypt(body, length);

    // From here the work must not depend on whether the padding or the MAC is wrong.
    const std::uint32_t pad = body[length - 1];
    // The padding and its length byte must leave room for the MAC.
    std::uint32_t good = MaskLessOrEqual(pad + 1 + kSSLMacSize, length);
    const std::uint32_t scan = std::min<std::uint32_t>(256, length);
    std::uint32_t difference = 0;
    for (std::uint32_t i = 0; i < scan; ++i) {
        const std::uint32_t in_padding = MaskLessOrEqual(i, pad);
        difference |= in_padding & (body[length - 1 - i] ^ pad);
    }
    // All ones when difference is 0.
    good &= static_cast<std::uint32_t>((static_cast<std::uint64_t>(difference) - 1) >> 32);
    // With a bad padding the MAC is checked as if there were none, so the work is the same.
    const std::uint32_t cut = (pad + 1) & good;
    const std::uint32_t data_length = length - kSSLMacSize - cut;
    std::uint8_t expected[kSSLMacSize];
    Mac(sequence, static_cast<std::uint8_t>(record.RecordType()), body, data_length, expected);
    const int mac_ok = ConstantTimeEqual(expected, body + data_length, kSSLMacSize);
    SecureWipe(expected, sizeof expected);
    good &= static_cast<std::uint32_t>(0) - static_cast<std::uint32_t>(mac_ok);
    if (good == 0) return false;
    record.SetBodyLength(data_length);
    return true;
}

}  // namespace tarnwick
