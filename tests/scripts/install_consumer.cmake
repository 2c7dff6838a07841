# Installs the build into a scratch prefix, then builds and runs a consumer
# that finds the library with find_package(Keldra) and with pkg-config.
file(REMOVE_RECURSE ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix}
  RESULT_VARIABLE rc OUTPUT_QUIET)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cmake --install failed")
endif()
foreach(f include/keldra/keldra.h lib/libkeldra.so.1 lib/pkgconfig/keldra.pc
          lib/cmake/Keldra/KeldraConfig.cmake)
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
# pkg-config resolves the same library.
set(ENV{PKG_CONFIG_PATH} ${prefix}/lib/pkgconfig)
execute_process(COMMAND pkg-config --libs --cflags keldra OUTPUT_VARIABLE flags RESULT_VARIABLE rc)
if(NOT rc EQUAL 0 OR NOT flags MATCHES "-lkeldra")
  message(FATAL_ERROR "pkg-config does not know keldra: ${flags}")
endif()
