# Palette tests decode real photos with stb_image and compare palettes with
# libimagequant's.
find_package(PkgConfig REQUIRED)
pkg_check_modules(KELDRA_PALETTE_PEERS REQUIRED IMPORTED_TARGET stb imagequant)
target_link_libraries(${target} PRIVATE PkgConfig::KELDRA_PALETTE_PEERS)
