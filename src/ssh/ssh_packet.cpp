#include "ssh/ssh_packet.h"

#include <cstddef>
#include <cstring>
#include <new>
#include <optional>

#include "core/status.h"
#include "crypto/bignum.h"
#include "crypto/byte_order.h"
#include "crypto/secure.h"

namespace tarnwick {

namespace {

// Scratch space for the compression hooks, one per thread: packets are compressed under the
// layer's send lock and decompressed under its receive lock, on whichever thread holds them. It
// holds plain text, so it wipes what it gives back when it grows.
SecureBytes& Scratch() {
    thread_local SecureBytes scratch;
    return scratch;
}

// zlib's blocks carry their size in front, so that the free function knows how much to wipe.
constexpr std::size_t kZlibHeader = alignof(std::max_align_t);

voidpf WipingAlloc(voidpf, uInt items, uInt size) {
    const std::size_t bytes = static_cast<std::size_t>(items) * size;
    if (size != 0 && bytes / size != items) return Z_NULL;
    auto* block = static_cast<std::uint8_t*>(::operator new(bytes + kZlibHeader, std::nothrow));
    if (block == nullptr) return Z_NULL;
    std::memcpy(block, &bytes, sizeof bytes);
    return block + kZlibHeader;
}

void WipingFree(voidpf, voidpf address) {
    if (address == Z_NULL) return;
    auto* block = static_cast<std::uint8_t*>(address) - kZlibHeader;
    std::size_t bytes;
    std::memcpy(&bytes, block, sizeof bytes);
    SecureWipe(block, bytes + kZlibHeader);
    ::operator delete(block);
}

}  // namespace

SSHPacket::SSHPacket(std::uint32_t capacity) : IO_Buffer(capacity) {}

SSHPacket::~SSHPacket() {
    Wipe();
}

void UseWipingZlibAllocator(z_stream* stream) {
    stream->zalloc = WipingAlloc;
    stream->zfree = WipingFree;
    stream->opaque = Z_NULL;
}

void SSHPacket::reset() {
    setPayloadOffset(0);
    clear();
    messageType = paddingLength = headerLength = expectedEnd = 0;
    fullFlush = false;
    read_failed_ = false;
}

void SSHPacket::beginPayload() {
    setPayloadOffset(5);
    setPosition(5);
    if (size() < 5) {
        if (!reserve(0)) return;
        setLength(5);
    }
}

void SSHPacket::seekPayload() {
    setPosition(payloadOffset());
    if (size() < position()) setLength(position());
}

void SSHPacket::skip(std::uint32_t n) {
    if (!reserve(n)) return;
    setPosition(position() + n);
    if (size() < position()) setLength(position());
}

bool SSHPacket::putBytes(const void* bytes, std::uint32_t n) {
    if (n == 0) {
        if (size() < position()) setLength(position());
        return true;
    }
    if (!reserve(n)) return false;
    std::memcpy(data() + position(), bytes, n);
    setPosition(position() + n);
    if (size() < position()) setLength(position());
    return true;
}

bool SSHPacket::putUint32(std::uint32_t v) {
    std::uint8_t bytes[4];
    bytes::StoreBE32(bytes, v);
    return putBytes(bytes, 4);
}

bool SSHPacket::putString(const void* bytes, std::uint32_t n) {
    if (!reserve(4LL + n)) return false;
    return putUint32(n) && putBytes(bytes, n);
}

bool SSHPacket::putCString(const char* text) {
    if (text == nullptr) return putUint32(0);
    return putString(text, static_cast<std::uint32_t>(std::strlen(text)));
}

bool SSHPacket::putMpint(const BigNum& number) {
    SecureBytes wire = number.ToMpint();
    if (wire.empty()) return false;
    return putBytes(wire.data(), static_cast<std::uint32_t>(wire.size()));
}

std::uint8_t SSHPacket::getByte() {
    if (position() >= size()) {
        read_failed_ = true;
        return 0;
    }
    std::uint8_t b = data()[position()];
    setPosition(position() + 1);
    return b;
}

std::uint32_t SSHPacket::getUint32() {
    if (remaining() < 4) {
        read_failed_ = true;
        return 0;
    }
    std::uint32_t v = bytes::LoadBE32(readPointer());
    setPosition(position() + 4);
    return v;
}

std::uint32_t SSHPacket::peekUint32() const {
    return remaining() < 4 ? 0 : bytes::LoadBE32(readPointer());
}

std::uint32_t SSHPacket::peekUint32At(std::uint32_t offset) const {
    if (offset > size() || size() - offset < 4) return 0;
    return bytes::LoadBE32(data() + offset);
}

bool SSHPacket::getStringView(std::string_view* out) {
    *out = std::string_view();
    if (remaining() < 4) {
        read_failed_ = true;
        return false;
    }
    std::uint32_t n = bytes::LoadBE32(readPointer());
    if (n > remaining() - 4) {
        // The length is consumed, the body is not: what follows cannot be trusted anyway.
        setPosition(position() + 4);
        read_failed_ = true;
        return false;
    }
    *out = std::string_view(reinterpret_cast<const char*>(readPointer() + 4), n);
    setPosition(position() + 4 + n);
    return true;
}

std::string SSHPacket::getString() {
    std::string_view view;
    if (!getStringView(&view)) return std::string();
    return std::string(view);
}

std::uint32_t SSHPacket::skipString() {
    std::string_view view;
    std::uint32_t declared = peekUint32();
    getStringView(&view);
    return declared;
}

BigNum SSHPacket::getMpint() {
    BigNum number;
    std::size_t used = 0;
    if (remaining() < 4 || !number.SetMpint(readPointer(), remaining(), &used)) {
        read_failed_ = true;
        if (remaining() >= 4) setPosition(position() + 4);
        number.SetZero();
        return number;
    }
    setPosition(position() + static_cast<std::uint32_t>(used));
    return number;
}

bool SSHPacket::appendStringFrom(SSHPacket& other) {
    std::string_view body;
    if (!other.getStringView(&body)) return false;
    const std::uint32_t keep = position();
    setPosition(size());
    bool ok = putBytes(body.data(), static_cast<std::uint32_t>(body.size()));
    setPosition(keep);
    return ok;
}

void SSHPacket::setLengthField(std::uint32_t v) {
    if (capacity() < 4) return;
    bytes::StoreBE32(data(), v);
    if (size() < 4) setLength(4);
}

void SSHPacket::finish() {
    setPayloadOffset(5);
    setLength(position());
    headerLength = 5;
}

bool SSHPacket::copyFrom(const SSHPacket& other) {
    const std::uint32_t keep = other.size();
    setPosition(0);
    clear();
    if (!reserve(keep + 5LL)) return false;
    std::memcpy(data(), other.data(), keep);
    setLength(keep);
    setPayloadOffset(other.payloadOffset());
    setPosition(other.position());
    paddingLength = other.paddingLength;
    headerLength = other.headerLength;
    messageType = other.messageType;
    expectedEnd = other.expectedEnd;
    fullFlush = other.fullFlush;
    read_failed_ = other.read_failed_;
    return true;
}

namespace {

// Runs deflate (compress) or inflate over the payload after start into the scratch area, growing
// it as long as the output fills it, up to kMaxInflated. Returns the output's length, or nothing
// when zlib fails or the bound is reached.
std::optional<std::size_t> Transform(z_stream* stream, bool compress, int flush,
                                     std::uint8_t* input, std::size_t length) {
    SecureBytes& out = Scratch();
    if (out.size() < SSHPacket::kWorkArea) out.resize(SSHPacket::kWorkArea);
    stream->next_in = input;
    stream->avail_in = static_cast<uInt>(length);
    std::size_t produced = 0;
    for (;;) {
        stream->next_out = out.data() + produced;
        stream->avail_out = static_cast<uInt>(out.size() - produced);
        const int result = compress ? deflate(stream, flush) : inflate(stream, Z_SYNC_FLUSH);
        if (result == Z_NEED_DICT || (result < 0 && result != Z_BUF_ERROR)) return std::nullopt;
        produced = out.size() - stream->avail_out;
        if (stream->avail_out != 0) {
            // Output space left over: the input is used up, or an inflated stream has ended
            // (which a compressed SSH stream never does; trailing input would be lost).
            if (stream->avail_in != 0) return std::nullopt;
            return produced;
        }
        // A full output area may hide more output. A hostile peer can make a few bytes expand
        // enormously, so a payload has a bound.
        if (out.size() >= SSHPacket::kMaxInflated) return std::nullopt;
        out.resize(out.size() * 2);
    }
}

}  // namespace

int SSHPacket::Rewrite(z_stream* stream, bool compress) {
    const int failure = compress ? status::kCompressionFailed : status::kDecompressionFailed;
    const std::uint32_t start = headerLength;
    if (size() < start) return failure;
    std::optional<std::size_t> produced = Transform(
        stream, compress, fullFlush ? Z_FULL_FLUSH : Z_SYNC_FLUSH, data() + start, size() - start);
    if (!produced) {
        SecureWipe(Scratch().data(), Scratch().size());
        return failure;
    }
    setPosition(start);
    setLength(start);
    const bool ok = putBytes(Scratch().data(), static_cast<std::uint32_t>(*produced));
    SecureWipe(Scratch().data(), *produced);
    return ok ? status::kOk : failure;
}

int SSHPacket::compressPayload(z_stream* stream) {
    return Rewrite(stream, true);
}

int SSHPacket::decompressPayload(z_stream* stream) {
    const int result = Rewrite(stream, false);
    if (result == status::kOk) setPosition(headerLength);
    return result;
}

}  // namespace tarnwick
