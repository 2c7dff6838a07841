# Peers of the differential codec tests: stb_image (Debian libstb) for BMP,
# TGA and PNM; the QOI reference is header-only (qoi.h).
target_link_libraries(${target} PRIVATE stb)
# PNG tests compare against libpng and build their fixtures with zlib.
find_package(PkgConfig REQUIRED)
pkg_check_modules(KELDRA_TEST_PNG_PEERS REQUIRED IMPORTED_TARGET libpng zlib)
target_link_libraries(${target} PRIVATE PkgConfig::KELDRA_TEST_PNG_PEERS)
# TIFF and GIF tests compare against libtiff and giflib.
pkg_check_modules(KELDRA_TEST_TIFFGIF_PEERS REQUIRED IMPORTED_TARGET libtiff-4 libgif)
target_link_libraries(${target} PRIVATE PkgConfig::KELDRA_TEST_TIFFGIF_PEERS)
# JPEG tests compare against libjpeg-turbo (float IDCT, replicated chroma).
pkg_check_modules(KELDRA_TEST_JPEG_PEER REQUIRED IMPORTED_TARGET libjpeg)
target_link_libraries(${target} PRIVATE PkgConfig::KELDRA_TEST_JPEG_PEER)
# Lossy WebP tests compare against libwebp's decoder.
pkg_check_modules(KELDRA_TEST_WEBP_PEER REQUIRED IMPORTED_TARGET libwebp)
target_link_libraries(${target} PRIVATE PkgConfig::KELDRA_TEST_WEBP_PEER)
