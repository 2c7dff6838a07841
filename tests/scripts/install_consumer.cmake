# Installs the build into a scratch prefix chosen now (the build was
# configured for another), then builds and runs a consumer that finds the
# library with find_package(Keldra) and one built with pkg-config's flags.
file(REMOVE_RECURSE ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix}
  RESULT_VARIABLE rc OUTPUT_QUIET)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cmake --install failed")
endif()
foreach(f include/keldra/keldra.h lib/libkeldra.so.1 lib/pkgconfig/keldra.pc
          lib/cmake/Keldra/KeldraConfig.cmake bin/keldra share/man/man1/keldra.1)
  if(NOT EXISTS ${prefix}/${f})
    message(FATAL_ERROR "install is missing ${f}")
  endif()
endforeach()
execute_process(COMMAND ${CMAKE_COMMAND} -S ${CONSUMER} -B ${WORK_DIR}/consumer
  -DCMAKE_PREFIX_PATH=${prefix} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "configuring the consumer failed")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} --build ${WORK_DIR}/consumer RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "building the consumer failed")
endif()
execute_process(COMMAND ${WORK_DIR}/consumer/consumer OUTPUT_VARIABLE out RESULT_VARIABLE rc)
if(NOT rc EQUAL 0 OR NOT out MATCHES "keldra 1.0.0")
  message(FATAL_ERROR "consumer failed: ${out}")
endif()
# pkg-config, given only the scratch prefix's pkgconfig folder, points into
# that prefix (chosen at install time, not at configure time), and a C
# program built with its flags alone runs.
set(ENV{PKG_CONFIG_PATH} ${prefix}/lib/pkgconfig)
execute_process(COMMAND pkg-config --cflags --libs keldra OUTPUT_VARIABLE flags RESULT_VARIABLE rc
  OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT rc EQUAL 0 OR NOT flags MATCHES "-lkeldra")
  message(FATAL_ERROR "pkg-config does not know keldra: ${flags}")
endif()
execute_process(COMMAND pkg-config --variable=includedir keldra OUTPUT_VARIABLE includedir
  OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT EXISTS ${includedir}/keldra/keldra.h)
  message(FATAL_ERROR "keldra.pc's includedir ${includedir} lacks keldra/keldra.h")
endif()
get_filename_component(includedir ${includedir} REALPATH)
get_filename_component(realPrefix ${prefix} REALPATH)
if(NOT includedir STREQUAL "${realPrefix}/include")
  message(FATAL_ERROR "keldra.pc points outside the install prefix: ${includedir}")
endif()
separate_arguments(flags UNIX_COMMAND "${flags}")
execute_process(COMMAND ${CC} ${CONSUMER}/main.c ${flags} -o ${WORK_DIR}/consumer_pc
  RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "building the consumer with pkg-config's flags failed")
endif()
set(ENV{LD_LIBRARY_PATH} ${prefix}/lib)
execute_process(COMMAND ${WORK_DIR}/consumer_pc OUTPUT_VARIABLE out RESULT_VARIABLE rc)
if(NOT rc EQUAL 0 OR NOT out MATCHES "keldra 1.0.0")
  message(FATAL_ERROR "pkg-config consumer failed: ${out}")
endif()
