# What `cmake --install` adds beyond the targets' own rules: the CMake
# package (find_package(ZqUps) -> ZqUps::ZqUps), the pkg-config file and
# the manual pages.  Both package files locate the prefix relative to
# themselves, so an installed tree may be moved.

include(CMakePackageConfigHelpers)

set(ZQUPS_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/ZqUps)
set(ZQUPS_INSTALL_OBJECT ${CMAKE_INSTALL_LIBDIR}/ZqUpsApi.o)
set(_zq_pkg ${CMAKE_CURRENT_BINARY_DIR}/package)

install(EXPORT ZqUpsTargets NAMESPACE ZqUps:: FILE ZqUpsTargets.cmake
  DESTINATION ${ZQUPS_CMAKE_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/ZqUpsConfig.cmake.in
  ${_zq_pkg}/ZqUpsConfig.cmake
  INSTALL_DESTINATION ${ZQUPS_CMAKE_DIR}
  PATH_VARS CMAKE_INSTALL_INCLUDEDIR ZQUPS_INSTALL_OBJECT)
write_basic_package_version_file(${_zq_pkg}/ZqUpsConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${_zq_pkg}/ZqUpsConfig.cmake ${_zq_pkg}/ZqUpsConfigVersion.cmake
  DESTINATION ${ZQUPS_CMAKE_DIR})

# pkg-config: the prefix as seen from the .pc file's own folder.
function(zq_pc_dir var dir)
  if(IS_ABSOLUTE "${dir}")
    set(${var} "${dir}" PARENT_SCOPE)
  else()
    set(${var} "\${prefix}/${dir}" PARENT_SCOPE)
  endif()
endfunction()
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(ZQUPS_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
  file(RELATIVE_PATH _zq_up "/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/")
  string(REGEX REPLACE "/$" "" _zq_up "${_zq_up}")
  set(ZQUPS_PC_PREFIX "\${pcfiledir}/${_zq_up}")
endif()
zq_pc_dir(ZQUPS_PC_LIBDIR "${CMAKE_INSTALL_LIBDIR}")
zq_pc_dir(ZQUPS_PC_INCLUDEDIR "${CMAKE_INSTALL_INCLUDEDIR}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/ZqUps.pc.in ${_zq_pkg}/ZqUps.pc @ONLY)
install(FILES ${_zq_pkg}/ZqUps.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# Manual pages, by section; the folder is read at install time, so every
# page present then is installed.
foreach(_zq_section 1 3)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/man/
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man${_zq_section}
    FILES_MATCHING PATTERN "*.${_zq_section}")
endforeach()
