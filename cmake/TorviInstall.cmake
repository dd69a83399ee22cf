include(CMakePackageConfigHelpers)

install(TARGETS torvi EXPORT torviTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/torvi)
install(DIRECTORY api/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/torvi
  FILES_MATCHING PATTERN "*.h" PATTERN "*_internal*" EXCLUDE)

install(EXPORT torviTargets NAMESPACE torvi:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/torvi)
configure_package_config_file(cmake/torviConfig.cmake.in
  ${CMAKE_BINARY_DIR}/torviConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/torvi)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/torviConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/torviConfig.cmake ${CMAKE_BINARY_DIR}/torviConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/torvi)

configure_file(cmake/torvi.pc.in ${CMAKE_BINARY_DIR}/torvi.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/torvi.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# udev rule so that users may open the camera without root.
if(EXISTS ${CMAKE_SOURCE_DIR}/udev/60-torvi.rules)
  set(TORVI_UDEV_DIR "lib/udev/rules.d" CACHE STRING "udev rules folder (relative to the prefix)")
  install(FILES udev/60-torvi.rules DESTINATION ${TORVI_UDEV_DIR})
endif()
