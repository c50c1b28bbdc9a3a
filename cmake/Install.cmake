# cmake --install: header, library, CMake package, pkg-config file, the jar
# and the udev rule.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

if(NOT TARGET pdxkit)
  return()
endif()
target_include_directories(pdxkit INTERFACE
  $<BUILD_INTERFACE:${CMAKE_SOURCE_DIR}/include> $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)

install(TARGETS pdxkit EXPORT PdxKitTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${CMAKE_SOURCE_DIR}/include/pdxkit.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${PDX_DEF_FILE} DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(EXPORT PdxKitTargets NAMESPACE PdxKit:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/PdxKit)
configure_file(${CMAKE_SOURCE_DIR}/packaging/PdxKitConfig.cmake.in ${CMAKE_BINARY_DIR}/PdxKitConfig.cmake @ONLY)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/PdxKitConfigVersion.cmake COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/PdxKitConfig.cmake ${CMAKE_BINARY_DIR}/PdxKitConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/PdxKit)
# The .pc file finds the prefix from its own place, so that an install with
# --prefix (or a moved tree) still points at itself.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(PDX_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
  file(RELATIVE_PATH pdx_pc_up "/p/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/p")
  string(REGEX REPLACE "/$" "" pdx_pc_up "${pdx_pc_up}")
  set(PDX_PC_PREFIX "\${pcfiledir}/${pdx_pc_up}")
endif()
configure_file(${CMAKE_SOURCE_DIR}/packaging/pdxkit.pc.in ${CMAKE_BINARY_DIR}/pdxkit.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/pdxkit.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
install(FILES ${CMAKE_BINARY_DIR}/java/pdxkit.jar DESTINATION ${CMAKE_INSTALL_DATADIR}/java OPTIONAL)
install(FILES ${CMAKE_BINARY_DIR}/java/pom.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/java RENAME pdxkit.pom OPTIONAL)
if(NOT WIN32)
  install(FILES ${CMAKE_SOURCE_DIR}/packaging/70-pdxkit.rules DESTINATION ${CMAKE_INSTALL_LIBDIR}/udev/rules.d)
endif()
if(TARGET pdxkit_tool AND NOT WIN32)
  install(TARGETS pdxkit_tool RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
