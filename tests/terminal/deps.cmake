# The differential tests compare our screen model with libvterm's.
find_package(PkgConfig REQUIRED)
pkg_check_modules(VTERM REQUIRED IMPORTED_TARGET vterm)
target_link_libraries(${target} PRIVATE PkgConfig::VTERM)
