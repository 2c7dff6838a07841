# The container tests check chunk CRCs and compressed text against zlib.
find_package(PkgConfig REQUIRED)
pkg_check_modules(KELDRA_TEST_EXIF_ZLIB REQUIRED IMPORTED_TARGET zlib)
target_link_libraries(${target} PRIVATE PkgConfig::KELDRA_TEST_EXIF_ZLIB)
