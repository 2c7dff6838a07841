# Installs the header, the library, keldra.pc and a CMake package giving
# Keldra::keldra.
include(CMakePackageConfigHelpers)

install(TARGETS keldra EXPORT KeldraTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES include/keldra/keldra.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/keldra)
install(TARGETS keldra_cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

set(KELDRA_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Keldra)
install(EXPORT KeldraTargets NAMESPACE Keldra:: DESTINATION ${KELDRA_CMAKE_DIR})
configure_package_config_file(cmake/KeldraConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/KeldraConfig.cmake INSTALL_DESTINATION ${KELDRA_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/KeldraConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/KeldraConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/KeldraConfigVersion.cmake DESTINATION ${KELDRA_CMAKE_DIR})

# keldra.pc finds the prefix from its own place (pkg-config's ${pcfiledir}),
# so the prefix given to `cmake --install --prefix` holds, not the one of
# configure time. Absolute library or include directories stay as given.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(KELDRA_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
  file(RELATIVE_PATH up /p/${CMAKE_INSTALL_LIBDIR}/pkgconfig /p)
  string(REGEX REPLACE "/$" "" up "${up}")
  set(KELDRA_PC_PREFIX "\${pcfiledir}/${up}")
endif()
foreach(kind LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${kind}}")
    set(KELDRA_PC_${kind} "${CMAKE_INSTALL_${kind}}")
  else()
    set(KELDRA_PC_${kind} "\${prefix}/${CMAKE_INSTALL_${kind}}")
  endif()
endforeach()
configure_file(cmake/keldra.pc.in ${CMAKE_CURRENT_BINARY_DIR}/keldra.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/keldra.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# The keldra program's manual page.
install(FILES docs/keldra.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
