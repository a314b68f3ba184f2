# Debian packages from one build, made by CPack (`cmake --build build --target package`):
#   qm7-messenger  qm_jpmd, qm7-agent-sim and qm7-token in /usr/bin, their man pages gzip'ed,
#                  the copyright file and changelog.Debian.gz;
#   libqm7-dev     the static libraries in the multiarch directory /usr/lib/<triplet>, the
#                  headers, the CMake package, the pkg-config file, copyright and changelog.
# The packages' own files are installed only by the component installs CPack makes (their rules
# are EXCLUDE_FROM_ALL), so a plain `cmake --install` is the same as without packaging.
# Dependencies are what dpkg-shlibdeps finds the programs need; the Debian revision
# QM7_DEB_RELEASE follows the program version (12.2.0-1).
find_program(QM7_GZIP gzip)
if(NOT QM7_GZIP)
  message(STATUS "gzip not found: no Debian packages")
  return()
endif()

set(QM7_DEB_MAINTAINER "QM7 Messenger maintainers <qm7-messenger@example.org>"
    CACHE STRING "Maintainer field of the Debian packages and of their changelog")
set(QM7_DEB_RELEASE 1 CACHE STRING "Debian revision of the packages, after the program version")

# Files of the packages, generated below ${PROJECT_BINARY_DIR}/debian. Debian wants man pages
# and changelogs compressed with gzip -9n (-n: no name or time stamp, so builds are reproducible).
set(_deb ${PROJECT_BINARY_DIR}/debian)
configure_file(${PROJECT_SOURCE_DIR}/cmake/debian/copyright ${_deb}/copyright @ONLY)
configure_file(${PROJECT_SOURCE_DIR}/cmake/debian/changelog ${_deb}/changelog @ONLY)
set(_gz_sources ${_deb}/changelog)
set(_man_gz "")
foreach(_tool qm_jpmd qm7-agent-sim qm7-token)
  if(TARGET ${_tool} AND EXISTS ${PROJECT_SOURCE_DIR}/man/${_tool}.1)
    list(APPEND _gz_sources ${PROJECT_SOURCE_DIR}/man/${_tool}.1)
    list(APPEND _man_gz ${_deb}/${_tool}.1.gz)
  endif()
endforeach()
set(_gz_outputs "")
foreach(_src ${_gz_sources})
  cmake_path(GET _src FILENAME _name)
  if(_name STREQUAL "changelog")
    set(_name changelog.Debian)
  endif()
  add_custom_command(OUTPUT ${_deb}/${_name}.gz
                     COMMAND ${QM7_GZIP} -9n -c ${_src} > ${_deb}/${_name}.gz
                     DEPENDS ${_src}
                     VERBATIM)
  list(APPEND _gz_outputs ${_deb}/${_name}.gz)
endforeach()
add_custom_target(qm7_deb_files ALL DEPENDS ${_gz_outputs})

install(FILES ${_man_gz}
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
        COMPONENT messenger
        EXCLUDE_FROM_ALL)
install(FILES ${_deb}/copyright ${_deb}/changelog.Debian.gz
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/qm7-messenger
        COMPONENT messenger
        EXCLUDE_FROM_ALL)
install(FILES ${_deb}/copyright ${_deb}/changelog.Debian.gz
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/libqm7-dev
        COMPONENT deb_dev
        EXCLUDE_FROM_ALL)

# libqm7-dev keeps its libraries where Debian puts them for the build's architecture, whatever
# prefix the tree was configured with, so that its pkg-config file serves cross builds too.
if(CMAKE_LIBRARY_ARCHITECTURE)
  set(QM7_DEB_LIBDIR lib/${CMAKE_LIBRARY_ARCHITECTURE})
else()
  set(QM7_DEB_LIBDIR lib)
endif()
qm7_install_dev(${QM7_DEB_LIBDIR} ${QM7_DEB_LIBDIR}/cmake/qm7 deb_dev EXCLUDE_FROM_ALL)

# CPack strips the programs (CPACK_STRIP_FILES). As Debian's own packaging tools do, the
# packages also lose the compiler's .comment section, and the static libraries their debug
# information (3.9 of the 4.0 MB they hold in a RelWithDebInfo build).
function(qm7_deb_strip component options files)
  if(CMAKE_STRIP)
    install(CODE "if(CMAKE_INSTALL_DO_STRIP)
  foreach(_f ${files})
    execute_process(COMMAND \"${CMAKE_STRIP}\" ${options} \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/\${_f}\"
                    COMMAND_ERROR_IS_FATAL ANY)
  endforeach()
endif()"
            COMPONENT ${component}
            EXCLUDE_FROM_ALL)
  endif()
endfunction()
set(_programs "")
foreach(_tool qm_jpmd qm7-agent-sim qm7-token)
  if(TARGET ${_tool})
    list(APPEND _programs ${CMAKE_INSTALL_BINDIR}/${_tool})
  endif()
endforeach()
set(_libraries "")
foreach(_lib qm7_runtime qm7_ccm qm7_messenger)
  list(APPEND _libraries ${QM7_DEB_LIBDIR}/lib${_lib}.a)
endforeach()
qm7_deb_strip(messenger --remove-section=.comment "${_programs}")
qm7_deb_strip(deb_dev "--strip-debug;--remove-section=.comment;--enable-deterministic-archives"
              "${_libraries}")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME qm7)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${QM7_DEB_MAINTAINER})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL messenger deb_dev)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${QM7_DEB_RELEASE})
set(CPACK_DEBIAN_PACKAGE_SOURCE qm7)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

set(CPACK_DEBIAN_MESSENGER_PACKAGE_NAME qm7-messenger)
set(CPACK_DEBIAN_MESSENGER_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_MESSENGER_DESCRIPTION
    "job messenger that reports batch job events to the QM7 Agent
qm_jpmd is the command a batch job runs to report to the QM7 Agent that
started it: job start, restart and end with return code and text, an output
file to register or a job variable. It prints a report of the event, sends
one record to the agent over TCP and exits.
.
qm7-agent-sim stands in for the agent, to test job scripts without one, and
qm7-token makes the encrypted tokens qm_jpmd CMD= commands carry.")

set(CPACK_DEBIAN_DEB_DEV_PACKAGE_NAME libqm7-dev)
set(CPACK_DEBIAN_DEB_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEB_DEV_DESCRIPTION
    "QM7 Messenger libraries - development files
Static libraries and headers of the QM7 Messenger suite: qm7_runtime (wire
header, byte order, text, date and time, DES and text encryption, tracing),
qm7_ccm (the channel manager: socket channels, one network thread around
select(), framed messages) and qm7_messenger (the messenger's run).
.
Programs find them with find_package(qm7) in CMake or with pkg-config qm7.")

include(CPack)
