# The compression tests compare against zlib.
find_package(PkgConfig REQUIRED)
pkg_check_modules(KELDRA_TEST_ZLIB REQUIRED IMPORTED_TARGET zlib)
target_link_libraries(${target} PRIVATE PkgConfig::KELDRA_TEST_ZLIB)
