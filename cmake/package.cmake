# CPack: a .deb from the Linux build, a .zip from the Windows (MinGW) build.
#   scripts/package.sh deb | zip
set(CPACK_PACKAGE_NAME tovrel)
set(CPACK_PACKAGE_VENDOR "the tovrel authors")
set(CPACK_PACKAGE_CONTACT "The tovrel authors <maintainers@users.noreply.c-seed-e8ba71ef.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "relay server for short text messages over TCP")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
set(CPACK_STRIP_FILES ON)
set(CPACK_SOURCE_GENERATOR "")

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win64)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION net)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # The extended description; the synopsis is the summary above.
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "tovrel relays short text messages between TCP clients: every message goes
to every connected client, the sender included, the last three are replayed
to each newcomer, and idle or misbehaving clients are dropped. It serves one
port from one thread over non-blocking sockets, and answers two commands
itself: a ping and a per-port file of fast commands.
.
The package also holds tovrel-client, which turns lines into messages and
back, times pings and posts messages from scripts, and the systemd template
unit tovrel@.service, which serves a port as an unprivileged service.")
  set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
      OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endif()

include(CPack)
