# Compiles the committed built-in font resources (rawfont_<resource>.bin) into the library as a
# generated C++ source, so the program needs neither a toolkit's resource system nor the font
# package at build time. Included from src/CMakeLists.txt once the frontend library is defined.
file(GLOB tarnwick_font_resources CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/rawfont_*.bin)
set(tarnwick_font_source ${CMAKE_BINARY_DIR}/generated/builtin_font_data.cpp)
add_custom_command(
    OUTPUT ${tarnwick_font_source}
    COMMAND ${CMAKE_COMMAND} -DFONT_DIR=${CMAKE_CURRENT_LIST_DIR} -DOUTPUT=${tarnwick_font_source}
            -P ${CMAKE_CURRENT_LIST_DIR}/embed_fonts.cmake
    DEPENDS ${tarnwick_font_resources} ${CMAKE_CURRENT_LIST_DIR}/embed_fonts.cmake
    COMMENT "Embedding the built-in fonts"
    VERBATIM)
target_sources(tarnwick_frontend PRIVATE ${tarnwick_font_source})
