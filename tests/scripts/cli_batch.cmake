# Batch info and tags over tests/data: the same JSON Lines on one thread and
# on two (and the same set unordered), one valid JSON record per file, the
# closing summary; then the output details scripts and terminals rely on.
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})
include(${CMAKE_CURRENT_LIST_DIR}/cli_support.cmake)

file(GLOB_RECURSE files LIST_DIRECTORIES false ${TESTDATA}/*)
list(LENGTH files count)

# JSON Lines as one JSON array (a raw line break never occurs inside a JSON
# string); checks it parses and holds one record per file.
function(parse_lines text expect_count)
  string(REGEX REPLACE "\n$" "" text "${text}")
  string(REPLACE "\n" "," text "${text}")
  string(JSON n LENGTH "[${text}]")
  if(NOT n EQUAL expect_count)
    message(FATAL_ERROR "${n} records, expected ${expect_count}")
  endif()
endfunction()

function(sorted_lines text var)
  # Brackets and semicolons would change how CMake splits the list.
  string(REGEX REPLACE "[][;]" "_" text "${text}")
  string(REPLACE "\n" ";" text "${text}")
  list(SORT text)
  set(${var} "${text}" PARENT_SCOPE)
endfunction()

foreach(cmd info tags)
  run(0 ${cmd} -r --jsonl -j 1 --no-progress ${TESTDATA})
  set(one "${out}")
  expect("${err}" "^${count} files, 0 failed\n$")
  parse_lines("${one}" ${count})
  run(0 ${cmd} -r --jsonl -j 2 ${TESTDATA})
  if(NOT out STREQUAL one)
    message(FATAL_ERROR "${cmd}: -j 2 printed other records than -j 1")
  endif()
  run(0 ${cmd} -r --jsonl -j 2 --unordered ${TESTDATA})
  sorted_lines("${out}" unordered)
  sorted_lines("${one}" ordered)
  if(NOT unordered STREQUAL ordered)
    message(FATAL_ERROR "${cmd}: --unordered printed other records")
  endif()
endforeach()

# Decoding every file: failures are error records, never a crash.
run(nonzero info -r --jsonl --decode -j 2 ${TESTDATA})
parse_lines("${out}" ${count})
expect("${out}" "{\"file\":\"[^\"]*\",\"error\":\"[^\"]+\"}\n")
expect("${err}" "^(.*\n)?${count} files, [1-9][0-9]* failed\n$")

# --ext keeps only the named extensions; -@ reads names, in their order;
# a JSON array for several files without --jsonl.
run(0 info -r --ext JPG,.jpeg --jsonl ${TESTDATA})
string(REGEX MATCHALL "{\"file\":\"[^\"]*\"" names "${out}")
list(LENGTH names jpegs)
string(REGEX MATCHALL "{\"file\":\"[^\"]*\\.jpe?g\"" kept "${out}")
list(LENGTH kept kept_count)
if(jpegs EQUAL 0 OR NOT jpegs EQUAL kept_count)
  message(FATAL_ERROR "--ext jpg kept: ${names}")
endif()
file(WRITE ${WORK_DIR}/list.txt "${SAMPLES}/sunset.png\n\n${WORK_DIR}/missing.jpg\n")
run(1 tags --json -@ ${WORK_DIR}/list.txt)
string(JSON n LENGTH "${out}")
string(JSON second GET "${out}" 1 error)
expect("${out}" "^\\[\n  {\n    \"file\": \"[^\"]*sunset.png\"")
expect("${second};${err}" "^No such file or directory;.*missing.jpg: No such file or directory\n2 files, 1 failed\n$")

# A file name that is not UTF-8 is escaped in JSON as the library escapes text.
string(ASCII 255 ff)
file(COPY_FILE ${SAMPLES}/canon_s330.jpg "${WORK_DIR}/name${ff}.jpg")
run(0 info --jsonl "${WORK_DIR}/name${ff}.jpg")
string(JSON file GET "${out}" file)
expect("${out}" "\"file\":\"[^\"]*name\\\\u00FF.jpg\"" "\"dateTime\":\"2002.11.16.15:27:01\"")

# tags: control characters escaped, binary values shortened unless --binary.
run(0 edit "${WORK_DIR}/name${ff}.jpg" -o ${WORK_DIR}/lines.jpg --set "ImageDescription=a\nb\tc")
run(0 tags ${WORK_DIR}/lines.jpg)
expect("${out}" "\nImageDescription: a\\\\nb\\\\tc\n")
string(REGEX MATCH "\nMakerNote: \\(binary, ([0-9]+) bytes\\)\n" shortened "${out}")
set(bytes "${CMAKE_MATCH_1}")
run(0 tags --binary ${WORK_DIR}/lines.jpg)
string(REGEX MATCH "\nMakerNote: ([0-9A-F][0-9A-F] ?)+\n" blob "${out}")
string(LENGTH "${blob}" len)
math(EXPR shown "(${len} - 12) / 3")
if(NOT shown EQUAL bytes)
  message(FATAL_ERROR "MakerNote: ${bytes} bytes announced, ${shown} shown")
endif()
