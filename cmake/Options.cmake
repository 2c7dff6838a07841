# Compiler settings shared by every target.

# Float formulas keep their written order of operations: no fused
# multiply-add contraction.
add_compile_options(-ffp-contract=off)

if(NOT KELDRA_SIMD)
  add_compile_definitions(KELDRA_NO_SIMD)
endif()

if(KELDRA_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
  # GCC's flow-based bounds warnings see the sanitizers' instrumented code
  # and report reads that a bounds check just before them rules out (the
  # lenient loads of src/base/bytes.h reached with out-of-range offsets in
  # tests). Plain builds keep the warning.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    add_compile_options(-Wno-array-bounds -Wno-stringop-overread)
  endif()
endif()

if(KELDRA_SANITIZE_THREAD)
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()

function(keldra_set_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra)
  # At -O3 GCC 12 inlines libstdc++'s string and vector copies deeply enough
  # that its flow-based overlap, bounds and uninitialised-use warnings fire
  # on paths that cannot run (sizes near 2^63 after a length check). The
  # optimised release build leaves those out; the default build keeps them.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    target_compile_options(${target} PRIVATE
      $<$<CONFIG:Release>:-Wno-restrict -Wno-array-bounds -Wno-stringop-overflow -Wno-stringop-overread -Wno-maybe-uninitialized>)
  endif()
  if(KELDRA_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

# Fuzzing builds instrument the whole library for libFuzzer's coverage and
# the sanitizers.
if(KELDRA_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
