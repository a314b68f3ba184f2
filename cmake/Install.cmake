# Install rules: the programs, the three static libraries with their public headers, the man
# pages, a CMake package (find_package(qm7), targets qm7::qm7_runtime, qm7::qm7_ccm,
# qm7::qm7_messenger) and a pkg-config file (qm7.pc). Included from the root CMakeLists.txt
# after the libraries and tools are defined, so that only targets that exist get installed.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(QM7_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/qm7
    CACHE STRING "Where the qm7 CMake package files are installed, below the prefix")

# Programs, each with its man page.
foreach(_tool qm_jpmd qm7-agent-sim qm7-token)
  if(TARGET ${_tool})
    install(TARGETS ${_tool} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    if(EXISTS ${PROJECT_SOURCE_DIR}/man/${_tool}.1)
      install(FILES ${PROJECT_SOURCE_DIR}/man/${_tool}.1
              DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    endif()
  endif()
endforeach()

# Libraries and headers. The include directory goes into the exported targets through the
# INSTALL_INTERFACE of each library's target_include_directories.
install(TARGETS qm7_runtime qm7_ccm qm7_messenger
        EXPORT qm7Targets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/qm7
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
        FILES_MATCHING PATTERN "*.h")

# CMake package.
install(EXPORT qm7Targets
        NAMESPACE qm7::
        FILE qm7Targets.cmake
        DESTINATION ${QM7_INSTALL_CMAKEDIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/qm7Config.cmake.in
                              ${PROJECT_BINARY_DIR}/qm7Config.cmake
                              INSTALL_DESTINATION ${QM7_INSTALL_CMAKEDIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/qm7ConfigVersion.cmake
                                 VERSION ${PROJECT_VERSION}
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/qm7Config.cmake ${PROJECT_BINARY_DIR}/qm7ConfigVersion.cmake
        DESTINATION ${QM7_INSTALL_CMAKEDIR})

# pkg-config. The prefix is filled in when installing, so that the file names the prefix the
# tree really went to (cmake --install --prefix DIR), not the one configured; relative install
# directories are written relative to ${prefix}.
foreach(_dir LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${_dir}}")
    set(QM7_PC_${_dir} "${CMAKE_INSTALL_${_dir}}")
  else()
    set(QM7_PC_${_dir} "\${prefix}/${CMAKE_INSTALL_${_dir}}")
  endif()
endforeach()
set(QM7_PC_LIBS "")
foreach(_lib qm7_messenger qm7_ccm qm7_runtime)
  get_target_property(_type ${_lib} TYPE)
  if(_type STREQUAL "STATIC_LIBRARY")
    string(APPEND QM7_PC_LIBS " -l${_lib}")
  endif()
endforeach()
set(QM7_PC_PREFIX "@CMAKE_INSTALL_PREFIX@")  # left for the install step to fill in
configure_file(${PROJECT_SOURCE_DIR}/cmake/qm7.pc.in ${PROJECT_BINARY_DIR}/qm7.pc.in @ONLY)
install(CODE "configure_file(\"${PROJECT_BINARY_DIR}/qm7.pc.in\" \"${PROJECT_BINARY_DIR}/qm7.pc\" @ONLY)")
install(FILES ${PROJECT_BINARY_DIR}/qm7.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
