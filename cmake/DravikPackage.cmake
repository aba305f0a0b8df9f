# The Debian packages, made by CPack's DEB generator from the install rules of
# cmake/DravikInstall.cmake (scripts/package.sh runs it for amd64, armhf and
# arm64):
#
#   draviknet         the driver, the host stand-ins, dravik-host, dravik-project,
#                     dravik-plcsim, the systemd unit, /etc/draviknet, man pages
#   draviknet-editor  the Qt configuration editor (libdraviknet-editor.so and the
#                     host's Qt controls), so a headless gateway installs no Qt
#
# CPack rather than debhelper: the packages come from the same CMake tree and
# the same toolchain files as the cross builds, with no debian/ tree to keep
# in step with the install rules. Dependencies on Debian's libraries come from
# dpkg-shlibdeps (CPACK_DEBIAN_PACKAGE_SHLIBDEPS); the only hand-written ones
# are draviknet-editor on draviknet of the same version (it links the host
# stand-in libTarselSub.so there) and draviknet on adduser, which its postinst
# runs to make the service user.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME draviknet)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)
set(DRAVIKNET_PACKAGE_MAINTAINER "DravikNet maintainers <maintainers@draviknet.invalid>"
    CACHE STRING "The Maintainer field of the Debian packages")

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL draviknet)
if(DRAVIKNET_EDITOR_TARGETS)
  list(APPEND CPACK_COMPONENTS_ALL editor)
endif()

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${DRAVIKNET_PACKAGE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
# Paragraphs of the descriptions are separated by empty lines (CPack writes
# them as " ." and indents the rest).
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Our libraries are private (/usr/lib/<multiarch>/draviknet, no SONAME, linked
# by nothing outside these packages): no shlibs file for others to depend on.
# dpkg-shlibdeps finds them through the RUNPATHs and asks no dependency for
# them.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS OFF)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
if(CMAKE_CROSSCOMPILING)
  # dpkg's name of the target (armhf, arm64), from the multiarch triplet.
  execute_process(COMMAND dpkg-architecture -qDEB_HOST_ARCH -t${CMAKE_LIBRARY_ARCHITECTURE}
                  OUTPUT_VARIABLE CPACK_DEBIAN_PACKAGE_ARCHITECTURE
                  OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()

set(CPACK_DEBIAN_DRAVIKNET_PACKAGE_NAME draviknet)
set(CPACK_DEBIAN_DRAVIKNET_PACKAGE_DEPENDS adduser)
set(CPACK_DEBIAN_DRAVIKNET_PACKAGE_SECTION net)
set(CPACK_COMPONENT_DRAVIKNET_DESCRIPTION
   "serial line driver and MQTT gateway for Dravik PLCs
DravikNet is the communication driver that lets a SCADA/HMI host talk to
Dravik PLCs over one RS-232/RS-422 serial line: it polls the address
ranges of a project file, reports value changes, writes values, watches
each station's health and logs what goes wrong on the line.

This package holds the driver library, the host library stand-ins, the
host harness and MQTT gateway dravik-host with a systemd template unit
(one instance per serial line), the project file tool dravik-project and
the PLC simulator dravik-plcsim.")
set(CPACK_DEBIAN_DRAVIKNET_PACKAGE_CONTROL_EXTRA
    ${DRAVIKNET_PACKAGING}/debian/conffiles
    ${DRAVIKNET_PACKAGING}/debian/postinst
    ${DRAVIKNET_PACKAGING}/debian/prerm
    ${DRAVIKNET_PACKAGING}/debian/postrm)

set(CPACK_DEBIAN_EDITOR_PACKAGE_NAME draviknet-editor)
set(CPACK_DEBIAN_EDITOR_PACKAGE_DEPENDS "draviknet (= ${PROJECT_VERSION})")
# Qt's own buttons (Yes, No, OK) in Korean, as the editor's texts are.
set(CPACK_DEBIAN_EDITOR_PACKAGE_RECOMMENDS qt6-translations-l10n)
set(CPACK_DEBIAN_EDITOR_PACKAGE_SECTION misc)
set(CPACK_COMPONENT_EDITOR_DESCRIPTION
   "configuration editor (Qt) of the DravikNet PLC driver
The configuration editor of the DravikNet serial PLC driver: it edits the
port settings, the PLC stations and their communication blocks of a
project file. The driver opens it for the host; from a shell,
dravik-host edit PROJECT opens it.

A gateway that runs without a display does not need this package.")

include(CPack)
