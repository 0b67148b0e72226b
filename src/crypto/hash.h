// The message-digest interface shared by MD5, SHA-1, SHA-2 and HMAC.
//
//   CSHA1 sha;                    // a new object is ready for its first message
//   sha.Update(data, length);     // any number of times, any lengths
//   sha.Final(digest);            // digest has DigestSize() bytes; then Init() before reuse
//
// Digest objects are plain values: copying one copies the running state, so a common prefix can
// be hashed once and its state copied for several continuations. Through the interface the same
// is done with Clone() (allocates) or CopyStateFrom() (two objects of the same class; MD5 and
// SHA-1 copy in place, libcrypto's SHA-2 states are copied into a fresh block of libcrypto's).
// Destruction wipes the state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace tarnwick {

class Hash {
  public:
    virtual ~Hash() = default;

    // Back to the initial state: message length 0, nothing buffered.
    virtual void Init() = 0;
    // Absorbs length bytes; length 0 is allowed.
    virtual void Update(const void* data, std::size_t length) = 0;
    // Pads, absorbs the length and writes DigestSize() bytes to out. The state is spent
    // afterwards: call Init() before the next message.
    virtual void Final(std::uint8_t* out) = 0;
    virtual int DigestSize() const = 0;
    // The compression function's block in bytes: 64 for MD5, SHA-1 and SHA-256, 128 for SHA-384
    // and SHA-512. HMAC pads its key to it.
    virtual int BlockSize() const = 0;

    // A new object of the same class in the same state.
    virtual std::unique_ptr<Hash> Clone() const = 0;
    // Takes over the state of other, which must be of the same class (false, and nothing
    // changes, when it is not).
    virtual bool CopyStateFrom(const Hash& other) = 0;

    // Bounds over every digest, for buffers on the stack.
    static constexpr int kMaxBlockSize = 128;
    static constexpr int kMaxDigestSize = 64;
};

}  // namespace tarnwick
