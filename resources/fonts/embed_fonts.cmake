# Script mode: cmake -DFONT_DIR=<folder> -DOUTPUT=<file.cpp> -P embed_fonts.cmake
# Writes every rawfont_<resource>.bin of FONT_DIR as a byte array and the table that
# EmbeddedFontResources() (src/frontend/builtin_fonts.h) returns.
file(GLOB fonts ${FONT_DIR}/rawfont_*.bin)
list(SORT fonts)
set(arrays "")
set(entries "")
foreach(font IN LISTS fonts)
    get_filename_component(name ${font} NAME_WE)
    string(REGEX REPLACE "^rawfont_" "" number ${name})
    if(NOT number MATCHES "^[0-9]+$")
        message(FATAL_ERROR "${font}: the name must be rawfont_<resource number>.bin")
    endif()
    file(READ ${font} hex HEX)
    string(LENGTH "${hex}" hex_length)
    math(EXPR size "${hex_length} / 2")
    string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
    # Sixteen bytes a line (CMake's expressions have no counted repetition).
    string(REPEAT "0x[0-9a-f][0-9a-f]," 16 line_of_bytes)
    string(REGEX REPLACE "(${line_of_bytes})" "\\1\n    " bytes "${bytes}")
    string(APPEND arrays "const std::uint8_t kFont${number}[${size}] = {\n    ${bytes}\n};\n\n")
    string(APPEND entries "    {${number}, kFont${number}, sizeof kFont${number}},\n")
endforeach()

file(WRITE ${OUTPUT}
"// Generated from resources/fonts by embed_fonts.cmake; do not edit.
#include <cstdint>

#include \"frontend/builtin_fonts.h\"

namespace tarnwick {

namespace {

${arrays}const EmbeddedFontResource kResources[] = {
${entries}};

}  // namespace

std::span<const EmbeddedFontResource> EmbeddedFontResources() {
    return kResources;
}

}  // namespace tarnwick
")
