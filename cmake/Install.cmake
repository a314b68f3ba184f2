# Install rules: the programs, the three static libraries with their public headers, the man
# pages, a CMake package (find_package(qm7), targets qm7::qm7_runtime, qm7::qm7_ccm,
# qm7::qm7_messenger) and a pkg-config file (qm7.pc). Included from the root CMakeLists.txt
# after the libraries and tools are defined, so that only targets that exist get installed.
#
# Each rule names its component: "messenger" the programs, "man" their man pages, "dev" the
# libraries and what builds against them. A plain `cmake --install` installs all three; the
# Debian packages (Packaging.cmake) take the programs and add their own rules for the rest.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(QM7_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/qm7
    CACHE STRING "Where the qm7 CMake package files are installed, below the prefix")

# Programs, each with its man page.
foreach(_tool qm_jpmd qm7-agent-sim qm7-token)
  if(TARGET ${_tool})
    install(TARGETS ${_tool} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT messenger)
    if(EXISTS ${PROJECT_SOURCE_DIR}/man/${_tool}.1)
      install(FILES ${PROJECT_SOURCE_DIR}/man/${_tool}.1
              DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
              COMPONENT man)
    endif()
  endif()
endforeach()

# qm7_install_dev(LIBDIR CMAKEDIR COMPONENT [EXCLUDE_FROM_ALL]): installs the libraries into
# LIBDIR, the headers, the CMake package into CMAKEDIR and qm7.pc into LIBDIR/pkgconfig, all as
# COMPONENT. The files that name paths are generated once per LIBDIR, below
# ${PROJECT_BINARY_DIR}/install/COMPONENT.
function(qm7_install_dev libdir cmakedir component)
  set(_out ${PROJECT_BINARY_DIR}/install/${component})
  set(_opts COMPONENT ${component} ${ARGN})

  # The include directory goes into the exported targets through the INSTALL_INTERFACE of each
  # library's target_include_directories.
  install(TARGETS qm7_runtime qm7_ccm qm7_messenger
          EXPORT qm7Targets_${component}
          ARCHIVE DESTINATION ${libdir} ${_opts}
          LIBRARY DESTINATION ${libdir} ${_opts}
          INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/qm7
          DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
          ${_opts}
          FILES_MATCHING PATTERN "*.h")

  # CMake package; its files find the prefix from where they lie.
  install(EXPORT qm7Targets_${component}
          NAMESPACE qm7::
          FILE qm7Targets.cmake
          DESTINATION ${cmakedir}
          ${_opts})
  configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/qm7Config.cmake.in
                                ${_out}/qm7Config.cmake
                                INSTALL_DESTINATION ${cmakedir})
  write_basic_package_version_file(${_out}/qm7ConfigVersion.cmake
                                   VERSION ${PROJECT_VERSION}
                                   COMPATIBILITY SameMajorVersion)
  install(FILES ${_out}/qm7Config.cmake ${_out}/qm7ConfigVersion.cmake
          DESTINATION ${cmakedir}
          ${_opts})

  # pkg-config. The file finds its prefix from where it lies (${pcfiledir} is the directory
  # pkg-config read it from), so it stays right wherever the tree goes: `cmake --install
  # --prefix DIR`, a DESTDIR, the staging tree of a package build, a package unpacked into
  # another root. Relative install directories are written relative to ${prefix}.
  set(_pc_dir ${libdir}/pkgconfig)
  if(IS_ABSOLUTE "${_pc_dir}")
    set(QM7_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
  else()
    cmake_path(RELATIVE_PATH CMAKE_INSTALL_PREFIX BASE_DIRECTORY
               "${CMAKE_INSTALL_PREFIX}/${_pc_dir}" OUTPUT_VARIABLE _up)
    string(REGEX REPLACE "/$" "" _up "${_up}")
    set(QM7_PC_PREFIX "\${pcfiledir}/${_up}")
  endif()
  set(QM7_PC_LIBDIR "${libdir}")
  set(QM7_PC_INCLUDEDIR "${CMAKE_INSTALL_INCLUDEDIR}")
  foreach(_var QM7_PC_LIBDIR QM7_PC_INCLUDEDIR)
    if(NOT IS_ABSOLUTE "${${_var}}")
      set(${_var} "\${prefix}/${${_var}}")
    endif()
  endforeach()
  set(QM7_PC_LIBS "")
  foreach(_lib qm7_messenger qm7_ccm qm7_runtime)
    get_target_property(_type ${_lib} TYPE)
    if(_type STREQUAL "STATIC_LIBRARY")
      string(APPEND QM7_PC_LIBS " -l${_lib}")
    endif()
  endforeach()
  configure_file(${PROJECT_SOURCE_DIR}/cmake/qm7.pc.in ${_out}/qm7.pc @ONLY)
  install(FILES ${_out}/qm7.pc DESTINATION ${_pc_dir} ${_opts})
endfunction()

qm7_install_dev(${CMAKE_INSTALL_LIBDIR} ${QM7_INSTALL_CMAKEDIR} dev)
