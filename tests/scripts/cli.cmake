# Drives the keldra program: help, version, failures that write nothing.
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})

function(run expect_rc)
  execute_process(COMMAND ${KELDRA} ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out
    ERROR_VARIABLE err)
  if(expect_rc STREQUAL "nonzero")
    if(rc EQUAL 0)
      message(FATAL_ERROR "keldra ${ARGN}: expected failure, got success\n${out}")
    endif()
  elseif(NOT rc EQUAL expect_rc)
    message(FATAL_ERROR "keldra ${ARGN}: exit ${rc}, expected ${expect_rc}\n${out}\n${err}")
  endif()
  set(out "${out}" PARENT_SCOPE)
  set(err "${err}" PARENT_SCOPE)
endfunction()

run(0 --help)
if(NOT out MATCHES "usage: keldra")
  message(FATAL_ERROR "--help printed: ${out}")
endif()
run(0 version)
if(NOT out MATCHES "1\\.0\\.0")
  message(FATAL_ERROR "version printed: ${out}")
endif()
run(nonzero frobnicate)

# A missing input names the file on stderr, and no output is written.
run(nonzero convert ${WORK_DIR}/missing.png ${WORK_DIR}/out.bmp)
if(NOT err MATCHES "missing\\.png")
  message(FATAL_ERROR "stderr does not name the file: ${err}")
endif()
if(EXISTS ${WORK_DIR}/out.bmp)
  message(FATAL_ERROR "a failed convert wrote its output")
endif()

# A file that is neither an image nor holds metadata still gets its object,
# without "image" and with "isValid": false.
file(WRITE ${WORK_DIR}/junk.bin "not an image at all")
run(0 info ${WORK_DIR}/junk.bin)
if(NOT out MATCHES "\"file\": \"[^\"]*junk\\.bin\"" OR NOT out MATCHES "\"isValid\": false"
   OR out MATCHES "\"image\"")
  message(FATAL_ERROR "info on junk printed: ${out}")
endif()
run(nonzero convert ${WORK_DIR}/junk.bin ${WORK_DIR}/out.png)
if(EXISTS ${WORK_DIR}/out.png)
  message(FATAL_ERROR "a failed convert wrote its output")
endif()

# Image operation options: malformed values are usage errors (exit 2) that
# name the option, before any file is read.
foreach(bad "--resize;0x" "--resize;12" "--resize;axb" "--crop;1,2,3" "--crop;1,2,3,4,5"
            "--rotate;45" "--orient;x" "--filter;lanczos" "--resize")
  run(2 convert ${WORK_DIR}/missing.png ${WORK_DIR}/out.png ${bad})
  list(GET bad 0 option)
  if(NOT err MATCHES "${option}")
    message(FATAL_ERROR "convert ${bad}: stderr does not name the option: ${err}")
  endif()
endforeach()
if(EXISTS ${WORK_DIR}/out.png)
  message(FATAL_ERROR "a failed convert wrote its output")
endif()

# Metadata of the camera sample: JSON from info, Name: value lines from tags.
run(0 info ${SAMPLES}/canon_s330.jpg)
if(NOT out MATCHES "^{\n  \"file\": " OR NOT out MATCHES "\"camera\": \"Canon Canon PowerShot S330\""
   OR NOT out MATCHES "\"ExposureTime\": \"1/10\"")
  message(FATAL_ERROR "info on the camera sample printed: ${out}")
endif()
run(0 tags ${SAMPLES}/canon_s330.jpg)
if(NOT out MATCHES "\nMake: Canon\n" OR NOT out MATCHES "^ApertureValue: f/4.7\nColorSpace: sRGB\n"
   OR NOT out MATCHES "\nFNumber: f/4.7\n")
  message(FATAL_ERROR "tags on the camera sample printed: ${out}")
endif()
run(nonzero tags ${WORK_DIR}/missing.jpg)
if(NOT err MATCHES "missing\\.jpg")
  message(FATAL_ERROR "tags on a missing file printed: ${err}")
endif()

# Several files: an array; a missing one is reported and the others print.
run(nonzero info ${SAMPLES}/canon_s330.jpg ${WORK_DIR}/missing.jpg ${WORK_DIR}/junk.bin)
if(NOT err MATCHES "missing\\.jpg" OR NOT out MATCHES "^\\[\n  {\n    \"file\": "
   OR NOT out MATCHES "junk\\.bin" OR NOT out MATCHES "Canon PowerShot S330")
  message(FATAL_ERROR "info on several files printed: ${out}\n${err}")
endif()

# The simple codecs end to end: a plain PPM (and PGM) converted to QOI, BMP,
# TGA and PNM and back gives the same raw PPM as converting it directly.
file(WRITE ${WORK_DIR}/in.ppm "P3\n# plain pixmap\n3 2\n255\n255 0 0  0 255 0  0 0 255\n10 20 30  40 50 60  70 80 90\n")
file(WRITE ${WORK_DIR}/in.pgm "P2\n3 1\n1023\n0 512 1023\n")
run(0 convert ${WORK_DIR}/in.ppm ${WORK_DIR}/ref.ppm)
file(READ ${WORK_DIR}/ref.ppm ref_hex HEX)
if(NOT ref_hex STREQUAL "50360a3320320a3235350aff000000ff000000ff0a141e28323c46505a")
  message(FATAL_ERROR "plain PPM converted to: ${ref_hex}")
endif()
foreach(ext qoi bmp tga pnm)
  run(0 convert ${WORK_DIR}/in.ppm ${WORK_DIR}/rgb.${ext})
  run(0 convert ${WORK_DIR}/rgb.${ext} ${WORK_DIR}/back_${ext}.ppm)
  execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${WORK_DIR}/ref.ppm
    ${WORK_DIR}/back_${ext}.ppm RESULT_VARIABLE differs)
  if(differs)
    message(FATAL_ERROR "PPM -> ${ext} -> PPM changed the pixels")
  endif()
endforeach()
run(0 convert ${WORK_DIR}/in.pgm ${WORK_DIR}/grey.tga)
run(0 convert ${WORK_DIR}/grey.tga ${WORK_DIR}/grey.pgm)
file(READ ${WORK_DIR}/grey.pgm grey_hex HEX)
if(NOT grey_hex STREQUAL "50350a3320310a3235350a0080ff")
  message(FATAL_ERROR "PGM -> tga -> PGM gave: ${grey_hex}")
endif()

# PNG in and out: the bundled sample converts and reads back.
run(0 convert ${SAMPLES}/sunset.png ${WORK_DIR}/sunset.png)
file(READ ${WORK_DIR}/sunset.png sig LIMIT 8 HEX)
if(NOT sig STREQUAL "89504e470d0a1a0a")
  message(FATAL_ERROR "converted sample is not a PNG: ${sig}")
endif()
run(0 info ${WORK_DIR}/sunset.png)
run(0 convert ${SAMPLES}/sunset.png ${WORK_DIR}/sunset.bmp)
run(0 convert ${WORK_DIR}/in.ppm ${WORK_DIR}/rgb.png)
run(0 convert ${WORK_DIR}/rgb.png ${WORK_DIR}/back_png.ppm)
execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${WORK_DIR}/ref.ppm
  ${WORK_DIR}/back_png.ppm RESULT_VARIABLE differs)
if(differs)
  message(FATAL_ERROR "PPM -> png -> PPM changed the pixels")
endif()

# Lossless WebP in: straight to PPM and through PNG give the same pixels;
# a lossy WebP is refused as unsupported.
run(0 convert ${TESTDATA}/codec/webp/webptd_lossless_vec_1_6.webp ${WORK_DIR}/webp.ppm)
run(0 convert ${TESTDATA}/codec/webp/webptd_lossless_vec_1_6.webp ${WORK_DIR}/webp.png)
run(0 convert ${WORK_DIR}/webp.png ${WORK_DIR}/webp_png.ppm)
execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${WORK_DIR}/webp.ppm
  ${WORK_DIR}/webp_png.ppm RESULT_VARIABLE differs)
if(differs)
  message(FATAL_ERROR "WebP -> PPM and WebP -> PNG -> PPM differ")
endif()
run(nonzero convert ${TESTDATA}/codec/webp/webptd_small_1x1.webp ${WORK_DIR}/lossy.png)
if(NOT err MATCHES "unsupported operation")
  message(FATAL_ERROR "lossy WebP: ${err}")
endif()

# Image operations end to end on the plain pixmap (a b c / d e f), in the
# order given on the command line.
function(expect_ppm name hex)
  file(READ ${WORK_DIR}/${name} got HEX)
  if(NOT got STREQUAL "${hex}")
    message(FATAL_ERROR "${name}: got ${got}, expected ${hex}")
  endif()
endfunction()
run(0 convert ${WORK_DIR}/in.ppm ${WORK_DIR}/rot90.ppm --rotate 90)
expect_ppm(rot90.ppm "50360a3220330a3235350a0a141eff000028323c00ff0046505a0000ff")
run(0 convert ${WORK_DIR}/in.ppm ${WORK_DIR}/orient5.ppm --orient 5)
expect_ppm(orient5.ppm "50360a3220330a3235350aff00000a141e00ff0028323c0000ff46505a")
run(0 convert ${WORK_DIR}/in.ppm ${WORK_DIR}/cropflip.ppm --crop 1,0,2,2 --rotate flip-h)
expect_ppm(cropflip.ppm "50360a3220320a3235350a0000ff00ff0046505a28323c")
run(0 convert ${WORK_DIR}/in.ppm ${WORK_DIR}/flipcrop.ppm --rotate flip-h --crop 1,0,2,2)
expect_ppm(flipcrop.ppm "50360a3220320a3235350a00ff00ff000028323c0a141e")
run(0 convert ${WORK_DIR}/in.ppm ${WORK_DIR}/nearest.ppm --filter nearest --resize 6x4)
expect_ppm(nearest.ppm "50360a3620340a3235350aff0000ff000000ff0000ff000000ff0000ffff0000ff000000ff0000ff000000ff0000ff0a141e0a141e28323c28323c46505a46505a0a141e0a141e28323c28323c46505a46505a")
# The bundled PNG shrinks, turns and crops to the expected size.
run(0 convert ${SAMPLES}/sunset.png ${WORK_DIR}/thumb.png --resize 48x32 --filter box --rotate 270 --crop 2,4,30,40)
run(0 info ${WORK_DIR}/thumb.png)
if(NOT out MATCHES "\"width\": 30" OR NOT out MATCHES "\"height\": 40")
  message(FATAL_ERROR "thumbnail info: ${out}")
endif()
# A failing operation names itself and writes nothing.
run(1 convert ${WORK_DIR}/in.ppm ${WORK_DIR}/bad.ppm --crop 2,0,2,1)
if(NOT err MATCHES "--crop 2,0,2,1" OR NOT err MATCHES "bad argument")
  message(FATAL_ERROR "failed crop printed: ${err}")
endif()
if(EXISTS ${WORK_DIR}/bad.ppm)
  message(FATAL_ERROR "a failed convert wrote its output")
endif()

# palette: argument errors, then a two-colour image (blue is darker in OKLab,
# so Wu lists it first), in OKLab and in sRGB, and a swatch.
run(2 palette)
run(2 palette ${WORK_DIR}/in.ppm -n 0)
run(2 palette ${WORK_DIR}/in.ppm --seed -1)
run(nonzero palette ${WORK_DIR}/missing.png)
file(WRITE ${WORK_DIR}/two.ppm "P3\n4 1\n255\n255 0 0  0 0 255  255 0 0  0 0 255\n")
run(nonzero palette ${WORK_DIR}/two.ppm --algo nope)
if(NOT err MATCHES "unsupported operation")
  message(FATAL_ERROR "palette with an unknown algorithm printed: ${err}")
endif()
run(0 palette ${WORK_DIR}/two.ppm)
if(NOT out MATCHES "^ *0\\.45[0-9]+ +-0\\.03[0-9]+ +-0\\.31[0-9]+  #0000ff\n *0\\.62[0-9]+ +0\\.22[0-9]+ +0\\.12[0-9]+  #ff0000\n$")
  message(FATAL_ERROR "palette printed: ${out}")
endif()
run(0 palette ${WORK_DIR}/two.ppm --algo medianCut -n 2 --space srgb --swatch ${WORK_DIR}/swatch.ppm)
if(NOT out MATCHES "^ *0\\.000000 +0\\.000000 +1\\.000000  #0000ff\n *1\\.000000 +0\\.000000 +0\\.000000  #ff0000\n$")
  message(FATAL_ERROR "palette --space srgb printed: ${out}")
endif()
run(0 info ${WORK_DIR}/swatch.ppm)
if(NOT out MATCHES "\"width\": 64" OR NOT out MATCHES "\"height\": 32")
  message(FATAL_ERROR "swatch described as: ${out}")
endif()
# The README demo: eight colours from the bundled photo, with a PNG swatch.
run(0 palette ${SAMPLES}/sunset.png --swatch ${WORK_DIR}/sunset_swatch.png)
string(REGEX MATCHALL "[-0-9.]+ +[-0-9.]+ +[-0-9.]+  #[0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f]\n" lines "${out}")
list(LENGTH lines count)
if(NOT count EQUAL 8)
  message(FATAL_ERROR "palette of the sample printed: ${out}")
endif()
run(0 info ${WORK_DIR}/sunset_swatch.png)
if(NOT out MATCHES "\"width\": 256" OR NOT out MATCHES "\"height\": 32")
  message(FATAL_ERROR "sample swatch described as: ${out}")
endif()

# A file that decodes gets its "image" object before "metadata".
file(WRITE ${WORK_DIR}/two.ppm "P3\n2 1\n255\n1 2 3 4 5 6\n")
run(0 info ${WORK_DIR}/two.ppm)
if(NOT out MATCHES "\"image\": {\n    \"width\": 2,\n    \"height\": 1,\n    \"channels\": 3,\n    \"colorspace\": \"rgb\"\n  },\n  \"metadata\": {")
  message(FATAL_ERROR "info on a decodable image printed: ${out}")
endif()
