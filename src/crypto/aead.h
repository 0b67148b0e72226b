// Authenticated encryption for the SSH2 binary packet protocol: AES-GCM, ChaCha20 with a 64-bit
// nonce and a 64-bit block counter, one-shot Poly1305, and the two packet constructions built
// from them. Everything works in place; tags are checked in constant time before any plaintext is
// given back.
//
// aes128-gcm@openssh.com, aes256-gcm@openssh.com (RFC 5647): the key exchange yields the key and a
// 12-byte IV, a 4-byte fixed field followed by an 8-byte big-endian invocation counter that is
// incremented after every packet. The 4-byte packet length travels in clear as the additional
// authenticated data; everything after it is encrypted; the 16-byte tag follows the packet.
//
//   SshAesGcm out;
//   out.SetKey(key, 16, iv, 12);
//   out.Seal(packet, length, tag);       // packet: uint32 length, padding length, payload, padding
//   if (!in.Open(packet, length, tag)) ...   // drop the connection
//
// chacha20-poly1305@openssh.com: the key exchange yields 64 bytes. The first 32 are K_2, the
// payload key; the last 32 are K_1, the length key. The nonce of both ChaCha20 instances is the
// packet sequence number as 8 big-endian bytes. K_1 with block counter 0 encrypts the 4-byte
// packet length alone. K_2 with block counter 0 yields the one-time Poly1305 key (the first 32
// bytes of that block; the rest is discarded), and K_2 from block counter 1 on encrypts the rest of
// the packet. The tag is Poly1305 over the whole encrypted packet, length field included, and
// follows it. A receiver first decrypts the length (DecryptLength) to learn how much to wait for,
// then checks the tag over the bytes as received and only then decrypts.
//
//   SshChaChaPoly out;
//   out.SetKey(key, 64);
//   out.Seal(sequence, packet, length, tag);
//   in.DecryptLength(sequence, first4, plainLength);  // before the rest has arrived
//   if (!in.Open(sequence, packet, length, tag)) ...
#pragma once

#include <cstddef>
#include <cstdint>

typedef struct evp_cipher_ctx_st EVP_CIPHER_CTX;

namespace tarnwick {

// AES-GCM (NIST SP 800-38D) with 12-byte nonces and 16-byte tags. One object may seal and open.
class AesGcm {
  public:
    static constexpr std::size_t kNonceSize = 12;
    static constexpr std::size_t kTagSize = 16;

    AesGcm();
    AesGcm(const AesGcm&) = delete;
    AesGcm& operator=(const AesGcm&) = delete;
    ~AesGcm();

    // 16, 24 or 32 bytes; false (and the old key stays) for any other length.
    [[nodiscard]] bool SetKey(const std::uint8_t* key, std::size_t length);
    // Encrypts data in place and writes the tag over aad and the ciphertext.
    [[nodiscard]] bool Seal(const std::uint8_t nonce[kNonceSize], const std::uint8_t* aad,
                            std::size_t aadLength, std::uint8_t* data, std::size_t length,
                            std::uint8_t tag[kTagSize]);
    // Decrypts in place when the tag is right. When it is wrong the data is zeroed (no
    // unauthenticated plaintext is left) and the result is false.
    [[nodiscard]] bool Open(const std::uint8_t nonce[kNonceSize], const std::uint8_t* aad,
                            std::size_t aadLength, std::uint8_t* data, std::size_t length,
                            const std::uint8_t tag[kTagSize]);

  private:
    bool Run(bool encrypt, const std::uint8_t* nonce, const std::uint8_t* aad,
             std::size_t aadLength, std::uint8_t* data, std::size_t length);

    EVP_CIPHER_CTX* ctx_ = nullptr;
    bool keyed_ = false;
};

// ChaCha20 as first published: a 256-bit key, a 64-bit nonce and a 64-bit block counter (state
// words 12-13 the counter, 14-15 the nonce). The keystream carries over between calls.
class ChaCha20 {
  public:
    static constexpr std::size_t kKeySize = 32;
    static constexpr std::size_t kNonceSize = 8;

    ChaCha20();
    ChaCha20(const ChaCha20&) = delete;
    ChaCha20& operator=(const ChaCha20&) = delete;
    ~ChaCha20();

    // Exactly 32 bytes. The position is then nonce 0, block 0 until SetNonce.
    [[nodiscard]] bool SetKey(const std::uint8_t* key, std::size_t length);
    // Starts the keystream of this nonce at the given 64-byte block.
    [[nodiscard]] bool SetNonce(const std::uint8_t nonce[kNonceSize], std::uint64_t block = 0);
    // XORs the keystream into data (encryption and decryption alike). Without a key the data is
    // zeroed and the result is false.
    bool Crypt(std::uint8_t* data, std::size_t length);

  private:
    EVP_CIPHER_CTX* ctx_ = nullptr;
    bool keyed_ = false;
};

// Poly1305 (RFC 8439 section 2.5) of one message under a one-time 32-byte key.
[[nodiscard]] bool Poly1305(const std::uint8_t key[32], const std::uint8_t* data,
                            std::size_t length, std::uint8_t tag[16]);

class SshAesGcm {
  public:
    static constexpr std::size_t kTagSize = 16;

    // key: 16 or 32 bytes; iv: 12 bytes, the fixed field and the invocation counter's first value.
    [[nodiscard]] bool SetKey(const std::uint8_t* key, std::size_t keyLength,
                              const std::uint8_t* iv, std::size_t ivLength);
    // packet holds length bytes (at least 4): the clear length field, then what is encrypted.
    // The invocation counter advances after every Seal and every successful Open.
    [[nodiscard]] bool Seal(std::uint8_t* packet, std::size_t length, std::uint8_t tag[kTagSize]);
    [[nodiscard]] bool Open(std::uint8_t* packet, std::size_t length,
                            const std::uint8_t tag[kTagSize]);

  private:
    void Advance();

    AesGcm gcm_;
    std::uint8_t nonce_[AesGcm::kNonceSize] = {};
};

class SshChaChaPoly {
  public:
    static constexpr std::size_t kKeySize = 64;
    static constexpr std::size_t kTagSize = 16;

    // 64 bytes: K_2 (payload) then K_1 (length).
    [[nodiscard]] bool SetKey(const std::uint8_t* key, std::size_t length);
    // The packet length field as it arrived, decrypted.
    [[nodiscard]] bool DecryptLength(std::uint64_t sequence, const std::uint8_t encrypted[4],
                                     std::uint8_t plain[4]);
    // packet holds length bytes (at least 4), the length field first; all are encrypted.
    [[nodiscard]] bool Seal(std::uint64_t sequence, std::uint8_t* packet, std::size_t length,
                            std::uint8_t tag[kTagSize]);
    // Checks the tag over the packet as received; only when it matches is the packet decrypted
    // in place (the length field too). A wrong tag leaves the packet untouched.
    [[nodiscard]] bool Open(std::uint64_t sequence, std::uint8_t* packet, std::size_t length,
                            const std::uint8_t tag[kTagSize]);

  private:
    bool PolyKey(std::uint64_t sequence, std::uint8_t polyKey[32]);

    ChaCha20 payload_;  // K_2
    ChaCha20 header_;   // K_1
};

}  // namespace tarnwick
