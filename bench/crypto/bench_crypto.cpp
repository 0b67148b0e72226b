// Times our digests, ciphers and public-key operations next to OpenSSL's libcrypto and prints
// the ratio ours / OpenSSL (below 1 means we are faster). For the primitives that come from
// libcrypto the ratio is the cost of our wrappers; sntrup761 has no counterpart and is timed alone.
//
//   build/bin/bench_crypto                 # everything
//   build/bin/bench_crypto aes rsa         # only rows whose name contains one of the words
//   OPENSSL_ia32cap=":~0x200000" build/bin/bench_crypto rsa modexp   # OpenSSL without AVX-512 IFMA
//   build/bin/bench_crypto --no-ifma rsa   # our paths without AVX-512 IFMA (also --no-adx,
//                                          # --portable)
#include <openssl/blowfish.h>
#include <openssl/bn.h>
#include <openssl/des.h>
#include <openssl/dsa.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/md5.h>
#include <openssl/obj_mac.h>
#include <openssl/provider.h>
#include <openssl/rsa.h>
#include <openssl/sha.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "crypto/aead.h"
#include "crypto/bignum.h"
#include "crypto/blowfish.h"
#include "crypto/cpu_features.h"
#include "crypto/d3des.h"
#include "crypto/diffie_hellman.h"
#include "crypto/dsa.h"
#include "crypto/ecc.h"
#include "crypto/hmac.h"
#include "crypto/md5.h"
#include "crypto/random_generator.h"
#include "crypto/rijndael.h"
#include "crypto/rsa.h"
#include "crypto/sha1.h"
#include "crypto/sha2.h"
#include "crypto/sntrup761.h"

namespace {

using namespace tarnwick;
using Clock = std::chrono::steady_clock;

// Seconds per call of each side: rounds of at least 50 ms alternate between the two, and the best
// round of each counts, so that load from elsewhere on the machine hits both sides alike.
double Round(const std::function<void()>& op) {
    long calls = 0;
    const auto start = Clock::now();
    double elapsed = 0;
    do {
        op();
        ++calls;
        elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    } while (elapsed < 0.05);
    return elapsed / static_cast<double>(calls);
}

void Time(const std::function<void()>& ours, const std::function<void()>& theirs, double* a,
          double* b) {
    for (int i = 0; i < 3; ++i) {  // warm caches and lazy tables
        ours();
        theirs();
    }
    *a = *b = 1e30;
    for (int round = 0; round < 8; ++round) {
        *a = std::min(*a, Round(ours));
        *b = std::min(*b, Round(theirs));
    }
}

std::vector<std::string> g_filters;

bool Wanted(const std::string& name) {
    if (g_filters.empty()) return true;
    std::string lower = name;
    for (auto& c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (const auto& f : g_filters) {
        if (lower.find(f) != std::string::npos) return true;
    }
    return false;
}

void Row(const std::string& name, std::size_t bytes, const std::function<void()>& ours,
         const std::function<void()>& theirs) {
    if (!Wanted(name)) return;
    double a = 0, b = 0;
    Time(ours, theirs, &a, &b);
    if (bytes > 0) {
        std::printf("%-30s %10.1f MB/s %10.1f MB/s %8.2f\n", name.c_str(), bytes / a / 1e6,
                    bytes / b / 1e6, a / b);
    } else {
        std::printf("%-30s %10.1f us   %10.1f us   %8.2f\n", name.c_str(), a * 1e6, b * 1e6, a / b);
    }
    std::fflush(stdout);
}

std::vector<std::uint8_t> Bytes(std::size_t n, std::uint8_t seed) {
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i)
        v[i] = static_cast<std::uint8_t>(seed + i * 131);
    return v;
}

void Digests() {
    for (std::size_t size : {std::size_t{64}, std::size_t{16384}}) {
        auto data = Bytes(size, 1);
        const std::string suffix = size == 64 ? " 64 B" : " 16 KiB";
        std::uint8_t out[64];
        unsigned outLength = 0;
        EVP_MD_CTX* ctx = EVP_MD_CTX_new();
        const EVP_MD* md5 = EVP_md5();
        const EVP_MD* sha1 = EVP_sha1();
        CMD5 ourMd5;
        Row(
            "MD5" + suffix, size,
            [&] {
                ourMd5.Init();
                ourMd5.Update(data.data(), size);
                ourMd5.Final(out);
            },
            [&] {
                EVP_DigestInit_ex(ctx, md5, nullptr);
                EVP_DigestUpdate(ctx, data.data(), size);
                EVP_DigestFinal_ex(ctx, out, &outLength);
            });
        CSHA1 ourSha;
        Row(
            "SHA-1" + suffix, size,
            [&] {
                ourSha.Init();
                ourSha.Update(data.data(), size);
                ourSha.Final(out);
            },
            [&] {
                EVP_DigestInit_ex(ctx, sha1, nullptr);
                EVP_DigestUpdate(ctx, data.data(), size);
                EVP_DigestFinal_ex(ctx, out, &outLength);
            });
        auto key = Bytes(20, 7);
        tarnwick::HMAC ourMac(std::make_unique<CSHA1>(), key.data(), key.size());
        HMAC_CTX* mac = HMAC_CTX_new();
        HMAC_Init_ex(mac, key.data(), static_cast<int>(key.size()), sha1, nullptr);
        Row(
            "HMAC-SHA1" + suffix, size,
            [&] {
                ourMac.Init();
                ourMac.Update(data.data(), size);
                ourMac.Final(out);
            },
            [&] {
                HMAC_Init_ex(mac, nullptr, 0, nullptr, nullptr);  // same key: pads reused
                HMAC_Update(mac, data.data(), size);
                HMAC_Final(mac, out, &outLength);
            });
        HMAC_CTX_free(mac);
        EVP_MD_CTX_free(ctx);
    }
}

void CipherRow(const std::string& name, Encryptor& ours, bool encrypt, const EVP_CIPHER* cipher,
               const std::vector<std::uint8_t>& key, const std::vector<std::uint8_t>& iv) {
    const std::size_t size = 16384;
    auto data = Bytes(size, 3);
    std::vector<std::uint8_t> out(size + 32);
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    EVP_CipherInit_ex(ctx, cipher, nullptr, key.data(), iv.data(), encrypt ? 1 : 0);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    int n = 0;
    Row(
        name, size,
        [&] {
            if (encrypt)
                ours.Encrypt(data.data(), size);
            else
                ours.Decrypt(data.data(), size);
        },
        [&] { EVP_CipherUpdate(ctx, out.data(), &n, data.data(), static_cast<int>(size)); });
    EVP_CIPHER_CTX_free(ctx);
}

void Ciphers() {
    for (std::size_t keyLength : {std::size_t{16}, std::size_t{32}}) {
        auto key = Bytes(keyLength, 5);
        auto iv = Bytes(16, 9);
        const EVP_CIPHER* cipher = keyLength == 16 ? EVP_aes_128_cbc() : EVP_aes_256_cbc();
        const std::string bits = keyLength == 16 ? "128" : "256";
        for (int encrypt = 1; encrypt >= 0; --encrypt) {
            Rijndael aes;
            aes.SetDirection(encrypt);
            aes.SetKey(key.data(), keyLength);
            aes.SetIV(iv.data(), 16);
            CipherRow("AES-" + bits + "-CBC " + (encrypt ? "encrypt" : "decrypt"), aes, encrypt,
                      cipher, key, iv);
        }
    }
    auto key = Bytes(24, 11);
    auto iv = Bytes(8, 13);
    for (int encrypt = 1; encrypt >= 0; --encrypt) {
        D3Des des(0, 1);
        des.SetDirection(encrypt);
        des.SetKey(key.data(), 24);
        des.SetIV(iv.data(), 8);
        CipherRow(std::string("3DES-CBC ") + (encrypt ? "encrypt" : "decrypt"), des, encrypt,
                  EVP_des_ede3_cbc(), key, iv);
    }
    {
        D3Des des(0, 0);
        des.SetDirection(1);
        des.SetKey(key.data(), 8);
        des.SetIV(iv.data(), 8);
        CipherRow("DES-CBC encrypt", des, true, EVP_des_cbc(), key, iv);
    }
    for (int encrypt = 1; encrypt >= 0; --encrypt) {
        Blowfish bf(0);
        bf.SetKey(key.data(), 16);
        bf.SetIV(iv.data(), 8);
        std::vector<std::uint8_t> key16(key.begin(), key.begin() + 16);
        CipherRow(std::string("Blowfish-CBC ") + (encrypt ? "encrypt" : "decrypt"), bf, encrypt,
                  EVP_bf_cbc(), key16, iv);
    }
}

struct BnFree {
    void operator()(BIGNUM* b) const { BN_free(b); }
};
using Bn = std::unique_ptr<BIGNUM, BnFree>;

Bn ToBn(const BigNum& n) {
    auto bytes = n.ToBytes();
    return Bn(BN_bin2bn(bytes.data(), static_cast<int>(bytes.size()), nullptr));
}

BigNum FromBn(const BIGNUM* b) {
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(BN_num_bytes(b)));
    BN_bn2bin(b, bytes.data());
    BigNum n;
    n.SetBytes(bytes.data(), bytes.size());
    return n;
}

void PublicKey() {
    RandomGenerator random;
    const std::uint8_t seed[] = "benchmark";
    random.Seed(seed, sizeof(seed));
    BN_CTX* ctx = BN_CTX_new();
    for (int bits : {1024, 2048}) {
        BigNum m, base, exponent;
        m.SetRandom(static_cast<std::size_t>(bits / 8), random);
        m.SetTopBit();
        if (!m.IsOdd()) m.AddSmall(1);
        base.SetRandom(static_cast<std::size_t>(bits / 8) - 1, random);
        exponent.SetRandom(static_cast<std::size_t>(bits / 8), random);
        exponent.SetTopBit();
        Bn bm = ToBn(m), bb = ToBn(base), be = ToBn(exponent), br(BN_new());
        BigNum r;
        Row(
            "ModExp " + std::to_string(bits), 0, [&] { ModExp(base, exponent, m, &r); },
            [&] { BN_mod_exp(br.get(), bb.get(), be.get(), bm.get(), ctx); });
    }

    RSA* rsa = RSA_new();
    {
        BIGNUM* e = BN_new();
        BN_set_word(e, 65537);
        RSA_generate_key_ex(rsa, 2048, e, nullptr);
        BN_free(e);
    }
    RsaPrivateKey key;
    {
        const BIGNUM *n, *e, *d, *p, *q, *dmp1, *dmq1, *iqmp;
        RSA_get0_key(rsa, &n, &e, &d);
        RSA_get0_factors(rsa, &p, &q);
        RSA_get0_crt_params(rsa, &dmp1, &dmq1, &iqmp);
        key.n = FromBn(n);
        key.e = FromBn(e);
        key.d = FromBn(d);
        key.p = FromBn(p);
        key.q = FromBn(q);
        key.dmp1 = FromBn(dmp1);
        key.dmq1 = FromBn(dmq1);
        key.iqmp = FromBn(iqmp);
    }
    const std::uint8_t message[] = "exchange hash and session data";
    std::uint8_t digest[20];
    CSHA1::Digest(message, sizeof(message), digest);
    std::vector<std::uint8_t> sig(256);
    unsigned sigLength = 0;
    BigNum signature;
    Row(
        "RSA-2048 sign", 0, [&] { RsaSignSha1(message, sizeof(message), key, &signature); },
        [&] {
            CSHA1::Digest(message, sizeof(message), digest);
            RSA_sign(NID_sha1, digest, 20, sig.data(), &sigLength, rsa);
        });
    RSA_sign(NID_sha1, digest, 20, sig.data(), &sigLength, rsa);
    RsaSignSha1(message, sizeof(message), key, &signature);
    Row(
        "RSA-2048 verify", 0,
        [&] { RsaVerifySha1(message, sizeof(message), key.e, key.n, signature); },
        [&] {
            CSHA1::Digest(message, sizeof(message), digest);
            RSA_verify(NID_sha1, digest, 20, sig.data(), sigLength, rsa);
        });
    RSA_free(rsa);

    DSA* dsa = DSA_new();
    DSA_generate_parameters_ex(dsa, 1024, nullptr, 0, nullptr, nullptr, nullptr);
    DSA_generate_key(dsa);
    DsaKey dkey;
    {
        const BIGNUM *p, *q, *g, *y, *x;
        DSA_get0_pqg(dsa, &p, &q, &g);
        DSA_get0_key(dsa, &y, &x);
        dkey.p = FromBn(p);
        dkey.q = FromBn(q);
        dkey.g = FromBn(g);
        dkey.y = FromBn(y);
        dkey.x = FromBn(x);
    }
    BigNum r, s;
    std::vector<std::uint8_t> dsig(static_cast<std::size_t>(DSA_size(dsa)));
    unsigned dsigLength = 0;
    Row(
        "DSA-1024 sign", 0, [&] { DsaSign(message, sizeof(message), dkey, random, &r, &s); },
        [&] {
            CSHA1::Digest(message, sizeof(message), digest);
            DSA_sign(0, digest, 20, dsig.data(), &dsigLength, dsa);
        });
    DSA_sign(0, digest, 20, dsig.data(), &dsigLength, dsa);
    DsaSign(message, sizeof(message), dkey, random, &r, &s);
    Row(
        "DSA-1024 verify", 0, [&] { DsaVerify(message, sizeof(message), r, s, dkey); },
        [&] {
            CSHA1::Digest(message, sizeof(message), digest);
            DSA_verify(0, digest, 20, dsig.data(), static_cast<int>(dsigLength), dsa);
        });
    DSA_free(dsa);

    // The group-1 public value 2^x mod p with a full-length private exponent, both sides in
    // their constant-time exponentiation (OpenSSL with its Montgomery context kept, as its DH
    // code keeps it).
    const BigNum& p = DhGroup1Prime();
    BigNum x, e;
    DhPrivateExponent(p, 100, random, &x);
    Bn bp = ToBn(p), bx = ToBn(x), bg(BN_new()), bpub(BN_new());
    BN_set_word(bg.get(), 2);
    BN_MONT_CTX* mont = BN_MONT_CTX_new();
    BN_MONT_CTX_set(mont, bp.get(), ctx);
    Row(
        "DH group-1 public value", 0, [&] { DhPublicValue(BigNum(2u), x, p, &e); },
        [&] { BN_mod_exp_mont_consttime(bpub.get(), bg.get(), bx.get(), bp.get(), ctx, mont); });
    BN_MONT_CTX_free(mont);
    BN_CTX_free(ctx);
}

// Our operation alone, where libcrypto has no counterpart.
void Solo(const std::string& name, const std::function<void()>& op) {
    if (!Wanted(name)) return;
    op();
    double best = 1e30;
    for (int round = 0; round < 5; ++round)
        best = std::min(best, Round(op));
    std::printf("%-30s %10.1f us   %15s %8s\n", name.c_str(), best * 1e6, "-", "-");
    std::fflush(stdout);
}

// The primitives behind the newer SSH algorithms: our wrappers (state copies, packet layout)
// against libcrypto called directly, and sntrup761 on its own.
void Modern() {
    for (std::size_t size : {std::size_t{64}, std::size_t{16384}}) {
        auto data = Bytes(size, 3);
        const std::string suffix = size == 64 ? " 64 B" : " 16 KiB";
        std::uint8_t out[64];
        unsigned outLength = 0;
        auto key = Bytes(32, 9);
        tarnwick::HMAC ourMac(std::make_unique<CSHA256>(), key.data(), key.size());
        HMAC_CTX* mac = HMAC_CTX_new();
        HMAC_Init_ex(mac, key.data(), static_cast<int>(key.size()), EVP_sha256(), nullptr);
        Row(
            "HMAC-SHA2-256" + suffix, size,
            [&] {
                ourMac.Init();
                ourMac.Update(data.data(), size);
                ourMac.Final(out);
            },
            [&] {
                HMAC_Init_ex(mac, nullptr, 0, nullptr, nullptr);
                HMAC_Update(mac, data.data(), size);
                HMAC_Final(mac, out, &outLength);
            });
        HMAC_CTX_free(mac);
    }

    const std::size_t packet = 1024;
    auto data = Bytes(packet, 5);
    auto key = Bytes(64, 11), iv = Bytes(12, 13);
    bool ok = true;  // every operation must succeed for its time to mean anything
    SshChaChaPoly chacha;
    ok &= chacha.SetKey(key.data(), key.size());
    std::uint8_t tag[16];
    std::uint64_t sequence = 0;
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    EVP_MAC* poly = EVP_MAC_fetch(nullptr, "POLY1305", nullptr);
    Row(
        "chacha20-poly1305 1 KiB packet", packet,
        [&] { ok &= chacha.Seal(sequence++, data.data(), data.size(), tag); },
        [&] {
            // The same work by hand: the Poly1305 key, the length, the payload, the tag.
            std::uint8_t ivBytes[16] = {}, block[64] = {};
            int n = 0;
            EVP_EncryptInit_ex(ctx, EVP_chacha20(), nullptr, key.data(), ivBytes);
            EVP_EncryptUpdate(ctx, block, &n, block, 64);
            ivBytes[0] = 1;
            EVP_EncryptInit_ex(ctx, nullptr, nullptr, nullptr, ivBytes);
            EVP_EncryptUpdate(ctx, data.data() + 4, &n, data.data() + 4,
                              static_cast<int>(packet - 4));
            EVP_EncryptInit_ex(ctx, nullptr, nullptr, key.data() + 32, ivBytes);
            EVP_EncryptUpdate(ctx, data.data(), &n, data.data(), 4);
            EVP_MAC_CTX* m = EVP_MAC_CTX_new(poly);
            std::size_t written = 0;
            EVP_MAC_init(m, block, 32, nullptr);
            EVP_MAC_update(m, data.data(), packet);
            EVP_MAC_final(m, tag, &written, 16);
            EVP_MAC_CTX_free(m);
        });
    SshAesGcm gcm;
    ok &= gcm.SetKey(key.data(), 32, iv.data(), iv.size());
    EVP_EncryptInit_ex(ctx, EVP_aes_256_gcm(), nullptr, key.data(), iv.data());
    Row(
        "aes256-gcm 1 KiB packet", packet, [&] { ok &= gcm.Seal(data.data(), data.size(), tag); },
        [&] {
            int n = 0;
            EVP_EncryptInit_ex(ctx, nullptr, nullptr, nullptr, iv.data());
            EVP_EncryptUpdate(ctx, nullptr, &n, data.data(), 4);
            EVP_EncryptUpdate(ctx, data.data() + 4, &n, data.data() + 4,
                              static_cast<int>(packet - 4));
            EVP_EncryptFinal_ex(ctx, tag, &n);
            EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_GET_TAG, 16, tag);
        });
    EVP_MAC_free(poly);
    EVP_CIPHER_CTX_free(ctx);

    RandomGenerator random;
    const std::uint8_t seed[] = "bench";
    random.Seed(seed, sizeof(seed));
    EcPrivateKey ec;
    ok &= ec.Generate(EcCurve::kP256, random);
    EVP_PKEY* theirs = EVP_EC_gen("P-256");
    std::vector<std::uint8_t> r, s, sig(128);
    const auto message = Bytes(32, 1);
    Row(
        "ECDSA P-256 sign", 0,
        [&] { ok &= ec.Sign(message.data(), message.size(), random, &r, &s); },
        [&] {
            EVP_MD_CTX* md = EVP_MD_CTX_new();
            std::size_t length = sig.size();
            EVP_DigestSignInit(md, nullptr, EVP_sha256(), nullptr, theirs);
            EVP_DigestSign(md, sig.data(), &length, message.data(), message.size());
            EVP_MD_CTX_free(md);
        });
    EVP_PKEY_free(theirs);

    std::uint8_t publicKey[kSntrup761PublicKeySize], ciphertext[kSntrup761CiphertextSize];
    SecureBytes secretKey, shared;
    Solo("sntrup761 key pair", [&] { ok &= Sntrup761KeyPair(random, publicKey, &secretKey); });
    Solo("sntrup761 encapsulate", [&] {
        ok &= Sntrup761Encapsulate(publicKey, sizeof(publicKey), random, ciphertext, &shared);
    });
    Solo("sntrup761 decapsulate", [&] {
        ok &= Sntrup761Decapsulate(secretKey.data(), secretKey.size(), ciphertext,
                                   sizeof(ciphertext), &shared);
    });
    if (!ok) std::printf("an operation failed: the rows above are not valid\n");
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        std::string f = argv[i];
        if (f == "--no-ifma" || f == "--no-adx" || f == "--portable") {
            // Our slower paths, to compare them with the fast ones on this machine.
            CpuFeatures features = Cpu();
            features.ifma = false;
            if (f != "--no-ifma") features.adx = features.bmi2 = false;
            if (f == "--portable") features = CpuFeatures{};
            ForceCpuFeatures(&features);
            continue;
        }
        for (auto& c : f)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        g_filters.push_back(f);
    }
    // DES and Blowfish live in OpenSSL's legacy provider.
    OSSL_PROVIDER_load(nullptr, "legacy");
    OSSL_PROVIDER_load(nullptr, "default");
    std::printf("%-30s %15s %15s %8s\n", "operation", "ours", "OpenSSL", "ratio");
    Digests();
    Ciphers();
    PublicKey();
    Modern();
    return 0;
}
