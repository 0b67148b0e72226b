// The TLS 1.0 record layer without I/O: records collected from a byte stream (SSLPacket), the two
// cipher suites with their key-block layout, and the protection of one direction of a connection
// (SSLCipherState: HMAC-SHA1 over sequence number, header and body, CBC padding, DES or triple
// DES). The client layer uses one state per direction; the tests' server uses the same code with
// the roles swapped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "core/io_buffer.h"
#include "crypto/d3des.h"
#include "crypto/hmac.h"
#include "crypto/secure.h"

namespace tarnwick {

// Content types.
enum SSLContentType : std::uint8_t {
    kSSLChangeCipherSpec = 20,
    kSSLAlert = 21,
    kSSLHandshake = 22,
    kSSLApplicationData = 23,
};

// Limits of RFC 2246 section 6.2: a plaintext fragment holds at most 2^14 bytes, and protection
// may add at most 2048 (MAC, padding).
inline constexpr std::uint32_t kSSLMaxPlaintext = 16384;
inline constexpr std::uint32_t kSSLMaxCiphertext = kSSLMaxPlaintext + 2048;
inline constexpr std::uint32_t kSSLHeaderSize = 5;
inline constexpr std::uint32_t kSSLMacSize = 20;

// One record as it arrives from the byte stream: the 5-byte header and the body, collected until
// the length in the header is reached. After decryption the body is cut to its plaintext.
class SSLPacket : public IO_Buffer {
  public:
    enum class Collect {
        kNeedMore,   // every byte offered was taken; the record is not complete yet
        kComplete,   // the record is complete (bytes after it were not taken)
        kNotRecord,  // the header is not a TLS record header
        kTooLong,    // the header announces more than the allowed body length
    };

    SSLPacket() : IO_Buffer(1024) {}

    // Takes bytes towards the record; *used says how many. The header is checked as soon as it
    // is complete: a known content type, major version 3, a body of at most max_body bytes.
    Collect Take(const std::uint8_t* data, std::size_t length, std::uint32_t max_body,
                 std::size_t* used);

    int RecordType() const { return record_type_; }
    // Header plus body length from the header; 0 until the header is complete.
    std::uint32_t ExpectedLength() const { return expected_length_; }
    bool IsComplete() const { return expected_length_ != 0 && size() == expected_length_; }
    std::uint8_t* Body() { return data() + kSSLHeaderSize; }
    const std::uint8_t* Body() const { return data() + kSSLHeaderSize; }
    std::uint32_t BodyLength() const { return body_length_; }
    // Cuts the body to its first length bytes (after the MAC and padding are removed).
    void SetBodyLength(std::uint32_t length) { body_length_ = length; }
    // Back to an empty record, keeping the storage.
    void Reset();

  private:
    int record_type_ = 0;
    std::uint32_t expected_length_ = 0;
    std::uint32_t body_length_ = 0;
};

// The two suites offered, and how each cuts its key block.
struct SSLCipherSuite {
    std::uint16_t id;
    const char* name;
    bool triple;                 // 3DES-EDE-CBC, else DES-CBC
    std::size_t key_length;      // per direction
    std::size_t key_block_size;  // MAC secrets, keys and IVs of both directions

    std::size_t ClientMacOffset() const { return 0; }
    std::size_t ServerMacOffset() const { return kSSLMacSize; }
    std::size_t ClientKeyOffset() const { return 2 * kSSLMacSize; }
    std::size_t ServerKeyOffset() const { return 2 * kSSLMacSize + key_length; }
    std::size_t ClientIvOffset() const { return 2 * kSSLMacSize + 2 * key_length; }
    std::size_t ServerIvOffset() const { return 2 * kSSLMacSize + 2 * key_length + 8; }
};

inline constexpr std::uint16_t kSuiteDesCbcSha = 0x0009;
inline constexpr std::uint16_t kSuite3DesEdeCbcSha = 0x000A;

// The suite with this id, or nullptr for one we do not offer.
const SSLCipherSuite* FindCipherSuite(std::uint16_t id);

// The protection of one direction: sequence number, MAC secret and CBC cipher. A new state
// (before any ChangeCipherSpec) passes records through unprotected.
class SSLCipherState {
  public:
    SSLCipherState() = default;
    SSLCipherState(const SSLCipherState&) = delete;
    SSLCipherState& operator=(const SSLCipherState&) = delete;

    // Switches on protection with the keys of one direction from the key block (the client's
    // write keys or the server's); the sequence number starts again at 0. encrypt: this side
    // writes with it.
    bool Activate(const SSLCipherSuite& suite, const SecureBytes& key_block, bool client_keys,
                  bool encrypt);
    // Back to no protection (a new connection).
    void Reset();
    bool Active() const { return cipher_ != nullptr; }
    std::uint64_t SequenceNumber() const { return sequence_; }

    // Appends one record (header, body, and when active MAC and padding, encrypted) to out.
    // The body must not exceed kSSLMaxPlaintext bytes.
    void Seal(std::uint8_t type, const std::uint8_t* body, std::size_t length, std::string* out);

    // Removes the protection of a complete record in place: decrypts, checks padding and MAC,
    // and cuts the body to the plaintext. False when the record is not authentic; a bad padding
    // and a bad MAC cost the same work and give the same answer.
    [[nodiscard]] bool Open(SSLPacket& record);

    // CBC padding: with block size b and r = (body + MAC) mod b, p = b - r - 1 bytes of value p
    // and the length byte p, except that p = b when r = b - 1.
    static std::size_t PaddingLength(std::size_t body_and_mac, std::size_t block);

  private:
    void Mac(std::uint64_t sequence, std::uint8_t type, const std::uint8_t* body,
             std::size_t length, std::uint8_t out[kSSLMacSize]);

    std::unique_ptr<D3Des> cipher_;
    std::unique_ptr<HMAC> mac_;
    std::uint64_t sequence_ = 0;
};

}  // namespace tarnwick
