# Installs the library, its headers, a CMake package (find_package(qmkutils)
# gives qmkutils::qmkutils), a pkg-config file, the qmk tool and the
# installation home's data (the trace log style sheet).
include(CMakePackageConfigHelpers)

set(QMK_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/qmkutils)
# The installation home: QUILL_HOME (or the registry's InstallationPath)
# points here so that the library finds qmtrace/qmtrace.xsl below it.
set(QMK_INSTALL_HOMEDIR ${CMAKE_INSTALL_DATADIR}/qmkutils)

install(TARGETS qmkutils EXPORT qmkutilsTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
# Every header of the subsystem folders but those of their internal/ folders.
install(DIRECTORY qmkutils/
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/qmkutils
  COMPONENT development
  FILES_MATCHING PATTERN "*.h"
  PATTERN internal EXCLUDE)
install(EXPORT qmkutilsTargets
  NAMESPACE qmkutils::
  DESTINATION ${QMK_INSTALL_CMAKEDIR})

configure_package_config_file(cmake/qmkutilsConfig.cmake.in
  ${PROJECT_BINARY_DIR}/qmkutilsConfig.cmake
  INSTALL_DESTINATION ${QMK_INSTALL_CMAKEDIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/qmkutilsConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/qmkutilsConfig.cmake
  ${PROJECT_BINARY_DIR}/qmkutilsConfigVersion.cmake
  DESTINATION ${QMK_INSTALL_CMAKEDIR})

# Relocatable: the prefix is found from the .pc file's own place, so an
# install with `cmake --install --prefix` elsewhere still works.
file(RELATIVE_PATH QMK_PC_TO_PREFIX "/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/")
string(REGEX REPLACE "/$" "" QMK_PC_TO_PREFIX "${QMK_PC_TO_PREFIX}")
configure_file(cmake/qmkutils.pc.in ${PROJECT_BINARY_DIR}/qmkutils.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/qmkutils.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

install(FILES qmtrace/qmtrace.xsl DESTINATION ${QMK_INSTALL_HOMEDIR}/qmtrace)
