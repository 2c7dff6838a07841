# The keldra program never replaces its input unless asked, and never leaves
# a partial or temporary file: the same file is recognised by device and
# inode (hard link, symbolic link); --in-place replaces through the link,
# keeping it and the file's permissions; a failed write keeps the old file.
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})
include(${CMAKE_CURRENT_LIST_DIR}/cli_support.cmake)

set(photo ${WORK_DIR}/photo.jpg)
file(COPY_FILE ${SAMPLES}/canon_s330.jpg ${photo})
execute_process(COMMAND chmod 640 ${photo})
file(CREATE_LINK ${photo} ${WORK_DIR}/hard.jpg)
file(CREATE_LINK ${photo} ${WORK_DIR}/soft.jpg SYMBOLIC)
file(SHA256 ${photo} original)

foreach(cmd convert thumbnail)
  foreach(out photo.jpg hard.jpg soft.jpg)
    run(1 ${cmd} ${photo} ${WORK_DIR}/${out})
    expect("${err}" "${out}: is the input file")
  endforeach()
endforeach()
file(SHA256 ${photo} now)
if(NOT now STREQUAL original)
  message(FATAL_ERROR "a refused command changed its input")
endif()

# A failing convert over an existing output leaves that output as it was.
file(WRITE ${WORK_DIR}/junk.bin "not an image")
file(COPY_FILE ${SAMPLES}/sunset.png ${WORK_DIR}/kept.png)
run(1 convert ${WORK_DIR}/junk.bin ${WORK_DIR}/kept.png)
file(SHA256 ${WORK_DIR}/kept.png kept)
file(SHA256 ${SAMPLES}/sunset.png sunset)
if(NOT kept STREQUAL sunset)
  message(FATAL_ERROR "a failed convert replaced its output")
endif()

# --in-place through the symbolic link: the link stays, the photo is replaced.
run(0 convert ${WORK_DIR}/soft.jpg --in-place --resize 50%)
run(0 info ${photo})
expect("${out}" "\"width\": 400,\n *\"height\": 300,")
execute_process(COMMAND stat -c %a ${photo} OUTPUT_VARIABLE mode)
if(NOT IS_SYMLINK ${WORK_DIR}/soft.jpg OR NOT mode STREQUAL "640\n")
  message(FATAL_ERROR "in-place convert: link kept? mode ${mode}")
endif()

# Streams: stdout with --format, stdin as -.
execute_process(COMMAND ${KELDRA} convert ${photo} - --format png
  OUTPUT_FILE ${WORK_DIR}/stream.png RESULT_VARIABLE rc)
execute_process(COMMAND ${KELDRA} info - INPUT_FILE ${WORK_DIR}/stream.png
  OUTPUT_VARIABLE out RESULT_VARIABLE rc2)
expect("${rc}:${rc2}:${out}" "^0:0:{\n  \"file\": \"-\",\n  \"image\": {\n    \"format\": \"png\",\n    \"width\": 400,")

file(GLOB left ${WORK_DIR}/.*keldra* ${WORK_DIR}/*.tmp)
if(left)
  message(FATAL_ERROR "temporary files left: ${left}")
endif()
