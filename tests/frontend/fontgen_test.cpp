// The committed font resources are what the generator makes from the source fonts: it runs into a
// temporary folder and its glyph bitmaps (inflated, since zlib versions may pack differently) and
// headers must equal the committed ones. The source fonts come from xfonts-base (tools/setup).
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "font_test_util.h"
#include "frontend/builtin_fonts.h"
#include "frontend/raw_font.h"
#include "support/test_util.h"

namespace tarnwick {
namespace {

// Header and inflated bitmap of a RAWFONT file; empty when it cannot be read.
struct Unpacked {
    std::string header;
    std::vector<std::uint8_t> bitmap;
};

Unpacked Unpack(const std::string& path) {
    const std::string bytes = testing::ReadFile(path);
    if (bytes.size() < 8) return {};
    const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data());
    const std::size_t size = RawFontBitmapSize(data[1], data[2] / 2, data[4]);
    return {bytes.substr(0, 6), testing::Inflate(data + 6, bytes.size() - 6, size)};
}

TEST(FontGenerator, ReproducesTheCommittedBitmaps) {
    const std::string source_fonts = "/usr/share/fonts/X11/misc";
    ASSERT_TRUE(std::filesystem::exists(source_fonts + "/6x9.pcf.gz"))
        << "the source fonts are missing: tools/setup test installs xfonts-base";
    testing::TempDir out;
    const std::string command = std::string("/usr/bin/python3 ") + TARNWICK_SOURCE_DIR +
                                "/tools/fontgen/fontgen.py generate --fonts " + source_fonts +
                                " --out " + out.path() + " > " + out.File("log") + " 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0) << testing::ReadFile(out.File("log"));

    const std::string committed = std::string(TARNWICK_SOURCE_DIR) + "/resources/fonts";
    int compared = 0;
    for (const BuiltinFont& row : BuiltinFontTable()) {
        const std::string name = "rawfont_" + std::to_string(row.resource) + ".bin";
        SCOPED_TRACE(name);
        const Unpacked made = Unpack(out.File(name));
        const Unpacked kept = Unpack(committed + "/" + name);
        ASSERT_FALSE(kept.bitmap.empty()) << "the committed resource does not inflate";
        ASSERT_FALSE(made.bitmap.empty()) << "the generator wrote no usable resource";
        EXPECT_EQ(made.header, kept.header);
        EXPECT_TRUE(made.bitmap == kept.bitmap) << "the glyph bitmaps differ";
        ++compared;
    }
    EXPECT_EQ(compared, 8);
}

}  // namespace
}  // namespace tarnwick
