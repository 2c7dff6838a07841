# Peers of the differential codec tests: stb_image (Debian libstb) for BMP,
# TGA and PNM; the QOI reference is header-only (qoi.h).
target_link_libraries(${target} PRIVATE stb)
