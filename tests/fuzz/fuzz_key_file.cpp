// Private-key files from untrusted places: every form the loader reads, clear and encrypted (the
// passphrase is always "fuzzed", which the encrypted seeds use; files that ask for more than a few
// bcrypt rounds or PBKDF2 iterations are refused so that no input can stall a run). A key that
// loads must have a well-formed public blob that reads back as the same key; a refusal must leave
// no key behind.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "ssh/key_files.h"

namespace {

using namespace tarnwick;

void Check(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    int asked = 0;
    PassphraseSource ask = [&asked]() -> std::optional<SecureBytes> {
        ++asked;
        const char pass[] = "fuzzed";
        return SecureBytes(pass, pass + 6);
    };
    PrivateKey key;
    std::string why;
    const int status =
        ParseKeyFile(text, ask, &key, &why, {.bcryptRounds = 4, .pbkdf2Iterations = 2048});
    Check(asked <= 1);
    if (status != kKeyLoaded) {
        Check(key.type == kKeyNone && !why.empty());
        Check(status == kKeyInvalid ? asked == 1 : status == kKeyUnusable);
        return 0;
    }
    const std::string blob = key.PublicBlob();
    PrivateKey back;
    Check(!blob.empty() && PrivateKey::FromPublicBlob(blob, &back) && back.SameKey(key));
    return 0;
}
