# Where `cmake --install` (and so the Debian packages, cmake/DravikPackage.cmake)
# puts DravikNet: the layout of a Debian service.
#
#   /usr/lib/<multiarch>/draviknet/   the driver, the host stand-ins, the editor
#                                     library and the real dravik-host program:
#                                     every file there finds the others through
#                                     RUNPATH $ORIGIN, and the driver loads the
#                                     host stand-ins and its editor from its own
#                                     folder (dladdr), as it does in the build tree
#   /usr/bin/dravik-host              a symbolic link to the program above: the
#                                     program loads libdraviknet.so from beside its
#                                     own resolved path (/proc/self/exe)
#   /usr/bin/dravik-project           RUNPATH $ORIGIN/../lib/<multiarch>/draviknet
#   /usr/bin/dravik-plcsim            needs none of our libraries
#   /usr/lib/systemd/system/dravik-host@.service
#   /etc/draviknet/draviknet.conf, ports/, lines/    conffiles and their folders
#   /usr/share/man/man1, man5         pages generated from packaging/man/*.scd
#   /usr/share/doc/draviknet[-editor] copyright, changelog, examples
#
# Components: `draviknet` (everything without Qt) and `editor` (the Qt editor
# library and the Qt controls it links), so a headless gateway needs no Qt.
#
# The install prefix defaults to /usr: the driver looks for /etc/draviknet and
# nothing else, so there is no other layout to serve. GNUInstallDirs then gives
# the multiarch library folder (lib/x86_64-linux-gnu), except when
# cross-compiling: then the triplet comes from the toolchain (cmake/toolchains).
if(CMAKE_CROSSCOMPILING AND CMAKE_LIBRARY_ARCHITECTURE AND CMAKE_INSTALL_PREFIX MATCHES "^/usr/?$")
  set(CMAKE_INSTALL_LIBDIR lib/${CMAKE_LIBRARY_ARCHITECTURE} CACHE PATH "Object code libraries")
endif()
include(GNUInstallDirs)

set(DRAVIKNET_INSTALL_LIBDIR ${CMAKE_INSTALL_LIBDIR}/draviknet)
# The path from /usr/bin to the library folder, for links and RUNPATHs.
file(RELATIVE_PATH DRAVIKNET_BIN_TO_LIBDIR "/${CMAKE_INSTALL_BINDIR}" "/${DRAVIKNET_INSTALL_LIBDIR}")

set(DRAVIKNET_PACKAGED_TARGETS draviknet TarselSub TarselDbm WendroR Wendro dravik-host
    dravik-project dravik-plcsim)
set(DRAVIKNET_EDITOR_TARGETS)
if(TARGET draviknet-editor)
  set(DRAVIKNET_EDITOR_TARGETS draviknet-editor TarselSubUi)
endif()

# Libraries and dravik-host: RUNPATH $ORIGIN (CMAKE_INSTALL_RPATH).
install(TARGETS draviknet TarselSub TarselDbm WendroR Wendro dravik-host
        LIBRARY DESTINATION ${DRAVIKNET_INSTALL_LIBDIR} COMPONENT draviknet
        RUNTIME DESTINATION ${DRAVIKNET_INSTALL_LIBDIR} COMPONENT draviknet)
if(DRAVIKNET_EDITOR_TARGETS)
  install(TARGETS ${DRAVIKNET_EDITOR_TARGETS}
          LIBRARY DESTINATION ${DRAVIKNET_INSTALL_LIBDIR} COMPONENT editor)
endif()

set_target_properties(dravik-project PROPERTIES INSTALL_RPATH "$ORIGIN/${DRAVIKNET_BIN_TO_LIBDIR}")
set_target_properties(dravik-plcsim PROPERTIES INSTALL_RPATH "")
install(TARGETS dravik-project dravik-plcsim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        COMPONENT draviknet)
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/install)
file(CREATE_LINK ${DRAVIKNET_BIN_TO_LIBDIR}/dravik-host ${CMAKE_BINARY_DIR}/install/dravik-host
     SYMBOLIC)
install(FILES ${CMAKE_BINARY_DIR}/install/dravik-host DESTINATION ${CMAKE_INSTALL_BINDIR}
        COMPONENT draviknet)

# The service and the configuration folder. /etc is absolute: the driver and
# the unit name these paths whatever the prefix.
set(DRAVIKNET_PACKAGING ${CMAKE_SOURCE_DIR}/packaging)
install(FILES ${DRAVIKNET_PACKAGING}/systemd/dravik-host@.service
        DESTINATION lib/systemd/system COMPONENT draviknet)
install(FILES ${DRAVIKNET_PACKAGING}/etc/draviknet.conf DESTINATION /etc/draviknet
        COMPONENT draviknet)
install(FILES ${DRAVIKNET_PACKAGING}/etc/ports.README DESTINATION /etc/draviknet/ports
        RENAME README COMPONENT draviknet)
install(FILES ${DRAVIKNET_PACKAGING}/etc/lines.README DESTINATION /etc/draviknet/lines
        RENAME README COMPONENT draviknet)

# Documentation of each package: copyright and changelog (compressed without a
# time stamp, as Debian wants), and for draviknet the examples.
set(DRAVIKNET_DOC_BUILD ${CMAKE_BINARY_DIR}/install/doc)
file(MAKE_DIRECTORY ${DRAVIKNET_DOC_BUILD})
add_custom_command(OUTPUT ${DRAVIKNET_DOC_BUILD}/changelog.gz
  COMMAND sh -c "gzip -9nc '${DRAVIKNET_PACKAGING}/debian/changelog' > '${DRAVIKNET_DOC_BUILD}/changelog.gz'"
  DEPENDS ${DRAVIKNET_PACKAGING}/debian/changelog VERBATIM)
set(DRAVIKNET_DOC_FILES ${DRAVIKNET_PACKAGING}/debian/copyright ${DRAVIKNET_DOC_BUILD}/changelog.gz)
install(FILES ${DRAVIKNET_DOC_FILES} DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/draviknet
        COMPONENT draviknet)
install(FILES ${DRAVIKNET_DOC_FILES} DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/draviknet-editor
        COMPONENT editor)
install(FILES ${DRAVIKNET_PACKAGING}/systemd/line.env.example
        ${DRAVIKNET_PACKAGING}/prometheus/draviknet-alerts.yml
        ${CMAKE_SOURCE_DIR}/samples/demo_project.json ${CMAKE_SOURCE_DIR}/samples/demo_tags.csv
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/draviknet/examples COMPONENT draviknet)

# Man pages: scdoc sources in packaging/man, turned into roff and compressed
# in the build. Without scdoc the build goes on without them (a source build
# for development needs none); scripts/package.sh requires them.
find_program(DRAVIKNET_SCDOC scdoc)
set(DRAVIKNET_MAN_PAGES dravik-host.1 dravik-project.1 dravik-plcsim.1 draviknet.conf.5)
set(DRAVIKNET_MAN_OUTPUTS)
if(DRAVIKNET_SCDOC)
  foreach(page ${DRAVIKNET_MAN_PAGES})
    set(source ${DRAVIKNET_PACKAGING}/man/${page}.scd)
    set(output ${CMAKE_BINARY_DIR}/install/man/${page}.gz)
    string(REGEX REPLACE ".*\\.([0-9])$" "\\1" section ${page})
    add_custom_command(OUTPUT ${output}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/install/man
      COMMAND sh -c "'${DRAVIKNET_SCDOC}' < '${source}' | gzip -9n > '${output}'"
      DEPENDS ${source} VERBATIM)
    install(FILES ${output} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section} COMPONENT draviknet)
    list(APPEND DRAVIKNET_MAN_OUTPUTS ${output})
  endforeach()
else()
  message(STATUS "scdoc not found: the man pages are not built")
endif()
add_custom_target(draviknet-docs ALL DEPENDS ${DRAVIKNET_MAN_OUTPUTS} ${DRAVIKNET_DOC_BUILD}/changelog.gz)

# Everything the packages hold, for a build that makes only those
# (scripts/package.sh builds this target, then runs cpack).
add_custom_target(draviknet-packaged)
add_dependencies(draviknet-packaged ${DRAVIKNET_PACKAGED_TARGETS} ${DRAVIKNET_EDITOR_TARGETS}
                 draviknet-docs)
