// PEM armour and base64 from untrusted files. The first byte picks the target: armoured text, or
// base64 text in either mode. Whatever decodes must encode again and decode to the same bytes;
// anything else aborts.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "crypto/base64.h"
#include "crypto/pem.h"
#include "fuzz/fuzz_util.h"

namespace {

using namespace tarnwick;
using fuzzing::Check;

void Armour(std::string_view text) {
    std::vector<PemBlock> blocks;
    const PemStatus status = PemReadAll(text, &blocks);
    Check(status != PemStatus::kEnd);

    // The reader one block at a time agrees with the whole read.
    PemReader reader(text);
    PemBlock block;
    std::size_t count = 0;
    PemStatus each;
    while ((each = reader.Next(&block)) == PemStatus::kOk) {
        Check(count < blocks.size() && block.label == blocks[count].label &&
              block.body == blocks[count].body);
        ++count;
    }
    Check(count == blocks.size());
    Check(each == (status == PemStatus::kOk ? PemStatus::kEnd : status));
    Check(blocks.size() <= kPemMaxBlocks);

    for (const auto& b : blocks) {
        Check(b.headers.size() <= kPemMaxHeaders);
        const std::string again = PemWrite(b.label, b.body.data(), b.body.size(), b.headers);
        std::vector<PemBlock> back;
        Check(PemReadAll(again, &back) == PemStatus::kOk && back.size() == 1);
        Check(back[0].label == b.label && back[0].body == b.body);
        Check(back[0].headers.size() == b.headers.size());
        for (std::size_t i = 0; i < b.headers.size(); ++i)
            Check(back[0].headers[i].name == b.headers[i].name &&
                  back[0].headers[i].value == b.headers[i].value);
    }
}

void Base64(std::string_view text, Base64Mode mode) {
    std::string bytes;
    if (!Base64Decode(text, &bytes, mode)) {
        Check(bytes.empty());
        return;
    }
    Check(bytes.size() <= Base64DecodedMax(text.size()));
    const std::string encoded = Base64Encode(bytes.data(), bytes.size());
    // The strict form has exactly one encoding per byte string.
    if (mode == Base64Mode::kStrict) Check(encoded == text);
    std::string back;
    Check(Base64Decode(encoded, &back) && back == bytes);
    SecureBytes lines;
    Check(Base64Decode(Base64Encode(bytes.data(), bytes.size(), 64), &lines, Base64Mode::kLenient));
    Check(std::string(lines.begin(), lines.end()) == bytes);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
    switch (data[0] % 3) {
        case 0:
            Armour(text);
            break;
        case 1:
            Base64(text, Base64Mode::kStrict);
            break;
        case 2:
            Base64(text, Base64Mode::kLenient);
            break;
    }
    return 0;
}
