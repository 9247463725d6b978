# Install layout (docs/packaging.md) and the Debian package that `make package` builds with CPack.
# The service goes to sbin: administrators and systemd start it, users do not.

set(KEYSTONE_DOC_DIR "${CMAKE_INSTALL_DATAROOTDIR}/doc/keystone-engine")
# systemd's unit directory on Debian 12, whatever the prefix.
set(KEYSTONE_UNIT_DIR "/lib/systemd/system")

install(TARGETS keystone-engine RUNTIME DESTINATION "${CMAKE_INSTALL_SBINDIR}")
install(TARGETS keystonectl RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}")
install(TARGETS kiln-sim LIBRARY DESTINATION "${CMAKE_INSTALL_LIBDIR}")
# The simulated phones, for hosts without a Bluetooth radio (like the simulated applet).
install(TARGETS keystone-phone-sim RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}")
# The BLE bridges: plug-ins the engine loads only when their signature verifies
# (docs/ble-bridge.md). Each is installed under its own name, stripped when the install strips,
# and only then signed by the build's signer (<file>.sig beside it, docs/signed-files.md), so the
# signature covers the bytes that ship.
function(keystone_install_signed target destination name)
  install(FILES "$<TARGET_FILE:${target}>" DESTINATION "${destination}" RENAME "${name}"
          PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  install(CODE "
    set(keystone_file \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${destination}/${name}\")
    if(CMAKE_INSTALL_DO_STRIP)
      execute_process(COMMAND \"${CMAKE_STRIP}\" --strip-unneeded \"\${keystone_file}\"
                      RESULT_VARIABLE keystone_result)
      if(NOT keystone_result EQUAL 0)
        message(FATAL_ERROR \"stripping \${keystone_file} failed\")
      endif()
    endif()
    execute_process(COMMAND \"${KEYSTONE_OPENSSL_PROGRAM}\" cms -sign -binary -md sha256
                            -in \"\${keystone_file}\" -signer \"${KEYSTONE_TEST_SIGNER_CERT}\"
                            -inkey \"${KEYSTONE_TEST_SIGNER_KEY}\" -outform DER
                            -out \"\${keystone_file}.sig\"
                    RESULT_VARIABLE keystone_result)
    if(NOT keystone_result EQUAL 0)
      message(FATAL_ERROR \"signing \${keystone_file} failed\")
    endif()
    file(CHMOD \"\${keystone_file}.sig\" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
    list(APPEND CMAKE_INSTALL_MANIFEST_FILES \"\${keystone_file}.sig\")
  ")
endfunction()
# The BlueZ bridge where the engine looks by default (beside itself, BleBridgeDirectory unset),
# under the file name it loads on Linux's generation.
keystone_install_signed(keystone-bluez-gatt-bridge "${CMAKE_INSTALL_SBINDIR}" libkeystone-gatt10rs2.so)
# The simulated bridge with the simulated applet; it is copied under a bridge file name to be
# used (docs/ble-bridge.md).
keystone_install_signed(keystone-sim-ble-bridge "${CMAKE_INSTALL_LIBDIR}"
                        libkeystone-sim-ble-bridge.so)
# The signer's certificate, whose thumbprint an administrator trusts to let the bridges load.
install(FILES "${KEYSTONE_TEST_SIGNER_CERT}" DESTINATION "${CMAKE_INSTALL_DATADIR}/keystone-engine"
        RENAME bridge-signer.crt)
# The client library is static, with the static layers it is built on (keystone-client.pc lists
# them for the linker); its header and the few project headers it includes go under
# include/keystone, so a client compiles with -I/usr/include/keystone.
install(TARGETS keystone_client keystone_rpc keystone_platform keystone_log keystone_common
        ARCHIVE DESTINATION "${CMAKE_INSTALL_LIBDIR}")
install(FILES rpc/client/client.h DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}/keystone/rpc/client")
install(FILES rpc/engine_operations.h rpc/protocol.h
        DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}/keystone/rpc")
install(FILES platform/unix_socket.h DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}/keystone/platform")
install(FILES common/mutex.h common/thread_annotations.h
        DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}/keystone/common")
configure_file("${PROJECT_SOURCE_DIR}/packaging/keystone-client.pc.in"
               "${CMAKE_BINARY_DIR}/keystone-client.pc" @ONLY)
install(FILES "${CMAKE_BINARY_DIR}/keystone-client.pc"
        DESTINATION "${CMAKE_INSTALL_LIBDIR}/pkgconfig")
install(FILES packaging/keystone-engine.service DESTINATION "${KEYSTONE_UNIT_DIR}")
install(FILES README.md DESTINATION "${KEYSTONE_DOC_DIR}")
install(DIRECTORY docs/ DESTINATION "${KEYSTONE_DOC_DIR}" FILES_MATCHING PATTERN "*.md")
install(FILES packaging/debian/copyright DESTINATION "${KEYSTONE_DOC_DIR}")
set(keystone_changelog "${CMAKE_BINARY_DIR}/changelog.Debian.gz")
add_custom_command(
  OUTPUT "${keystone_changelog}"
  COMMAND gzip -9nc "${PROJECT_SOURCE_DIR}/packaging/debian/changelog" > "${keystone_changelog}"
  DEPENDS "${PROJECT_SOURCE_DIR}/packaging/debian/changelog")
install(FILES "${keystone_changelog}" DESTINATION "${KEYSTONE_DOC_DIR}")

# One man page per program, made from its --help (cmake/KeystoneManPage.cmake), compressed as
# Debian wants them.
set(keystone_man_pages)
foreach(entry "keystone-engine;8;${CMAKE_INSTALL_MANDIR}/man8"
              "keystonectl;1;${CMAKE_INSTALL_MANDIR}/man1")
  list(GET entry 0 program)
  list(GET entry 1 section)
  list(GET entry 2 destination)
  set(page "${CMAKE_BINARY_DIR}/man/${program}.${section}.gz")
  add_custom_command(
    OUTPUT "${page}"
    COMMAND ${CMAKE_COMMAND} -DPROGRAM=$<TARGET_FILE:${program}> -DNAME=${program}
            -DSECTION=${section} -DVERSION=${PROJECT_VERSION} -DOUTPUT=${page}
            -P "${PROJECT_SOURCE_DIR}/cmake/KeystoneManPage.cmake"
    DEPENDS ${program} "${PROJECT_SOURCE_DIR}/cmake/KeystoneManPage.cmake"
    COMMENT "Man page of ${program}")
  list(APPEND keystone_man_pages "${page}")
  install(FILES "${page}" DESTINATION "${destination}")
endforeach()
add_custom_target(keystone_man_pages ALL DEPENDS ${keystone_man_pages} "${keystone_changelog}")

# The package.
set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "keystone-engine")
set(CPACK_PACKAGE_VENDOR "Ostra")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "host engine of a multi-factor authentication product")
set(CPACK_PACKAGE_DESCRIPTION
    "The Keystone Engine stands between local clients (over a Unix-socket RPC),\na firmware applet reached through the KILN host-interface library, and host\nfactors. This package holds the service, its systemd unit, keystonectl, the\nsimulated applet libkiln-sim.so, the phone simulator keystone-phone-sim, the\nsigned BLE bridges and the static client library with its header.")
set(CPACK_PACKAGING_INSTALL_PREFIX "${CMAKE_INSTALL_PREFIX}")
# A Debian revision of its own: the package is not a native Debian one.
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Debian ships stripped binaries (the build tree keeps its debug information).
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Keystone Engine developers <keystone@example.org>")
set(CPACK_DEBIAN_PACKAGE_SECTION "admin")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://example.org/keystone-engine")
# The shared libraries the binaries really link, found by dpkg-shlibdeps; systemd and D-Bus are
# what the unit and the sleep handling talk to.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "systemd")
# Libraries the engine loads only when it first needs them (libcurl, LDAP) show in no link: the
# packages that hold them on the build machine are named here.
get_property(runtime_libraries GLOBAL PROPERTY KEYSTONE_RUNTIME_LIBRARIES)
find_program(DPKG_QUERY dpkg-query)
foreach(library IN LISTS runtime_libraries)
  if(NOT DPKG_QUERY)
    break()
  endif()
  get_filename_component(real "${library}" REALPATH)
  execute_process(COMMAND "${DPKG_QUERY}" -S "${real}" OUTPUT_VARIABLE owner RESULT_VARIABLE failed
                  ERROR_QUIET)
  if(NOT failed AND owner MATCHES "^([^:, ]+)")
    string(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS ", ${CMAKE_MATCH_1}")
  endif()
endforeach()
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "dbus")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    "${PROJECT_SOURCE_DIR}/packaging/debian/postinst;${PROJECT_SOURCE_DIR}/packaging/debian/prerm;${PROJECT_SOURCE_DIR}/packaging/debian/postrm;${PROJECT_SOURCE_DIR}/packaging/debian/triggers")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
