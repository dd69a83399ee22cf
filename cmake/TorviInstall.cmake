include(CMakePackageConfigHelpers)

install(TARGETS torvi torvi_headers EXPORT torviTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(DIRECTORY include/torvi DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
  FILES_MATCHING PATTERN "*.h")
install(FILES ${TORVI_GENERATED_DIR}/torvi/torvi_export.h ${TORVI_GENERATED_DIR}/torvi/torvi_version.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/torvi)

install(EXPORT torviTargets NAMESPACE torvi:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/torvi)
configure_package_config_file(cmake/torviConfig.cmake.in
  ${PROJECT_BINARY_DIR}/torviConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/torvi)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/torviConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/torviConfig.cmake ${PROJECT_BINARY_DIR}/torviConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/torvi)

configure_file(cmake/torvi.pc.in ${PROJECT_BINARY_DIR}/torvi.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/torvi.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# udev rule so that users may open the camera without root.
set(TORVI_UDEV_DIR "lib/udev/rules.d" CACHE STRING "udev rules folder (relative to the prefix)")
install(FILES udev/60-torvi.rules DESTINATION ${TORVI_UDEV_DIR})
