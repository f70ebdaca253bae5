# What `cmake --install` puts where (tests, benchmarks and fuzzers stay out).
# Linux: the programs, their man pages (gzip -9n), the docs, the systemd unit,
# an example fast-command file and an example Prometheus set-up, under GNUInstallDirs, so --prefix and
# DESTDIR apply. Windows: one flat folder, as the .zip holds it, with the
# example beside tovrel.exe where the program looks for it.
include(GNUInstallDirs)

if(WIN32)
  install(TARGETS tovrel tovrel-client RUNTIME DESTINATION .)
  install(FILES README.md DESTINATION .)
  install(FILES LICENSE DESTINATION . RENAME LICENSE.txt)
  install(FILES packaging/fastcmd5000.txt DESTINATION .)
  return()
endif()

# Relative paths are taken under the prefix; the .deb names /lib/systemd/system.
set(TOVREL_SYSTEMD_UNIT_DIR "lib/systemd/system" CACHE STRING
    "Where cmake --install puts tovrel@.service")

find_program(TOVREL_GZIP gzip REQUIRED)
set(staged ${CMAKE_BINARY_DIR}/install)
set(compressed "")
# Copies a file into the build tree, with @VARIABLES@ replaced, and
# compresses it as Debian wants: best compression, no name or time stamp.
function(tovrel_gzip source name)
  configure_file(${source} ${staged}/${name} @ONLY)
  add_custom_command(OUTPUT ${staged}/${name}.gz
    COMMAND ${TOVREL_GZIP} -9nkf ${name}
    WORKING_DIRECTORY ${staged}
    DEPENDS ${staged}/${name} VERBATIM)
  set(compressed ${compressed} ${staged}/${name}.gz PARENT_SCOPE)
endfunction()
tovrel_gzip(man/tovrel.1 tovrel.1)
tovrel_gzip(man/tovrel-client.1 tovrel-client.1)
tovrel_gzip(packaging/changelog changelog)
add_custom_target(tovrel_compressed ALL DEPENDS ${compressed})

# The programs' directory as the install step sees it (after --prefix).
if(IS_ABSOLUTE "${CMAKE_INSTALL_BINDIR}")
  set(bindir "${CMAKE_INSTALL_BINDIR}")
else()
  set(bindir "\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}")
endif()

install(TARGETS tovrel tovrel-client RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# A stripping install (install/strip, CPack) also drops the sections that
# only name the compiler, as Debian's dh_strip does.
if(CMAKE_STRIP)
  install(CODE "
    if(CMAKE_INSTALL_DO_STRIP)
      foreach(program tovrel tovrel-client)
        execute_process(COMMAND \"${CMAKE_STRIP}\" --remove-section=.comment --remove-section=.note
                        \"\$ENV{DESTDIR}${bindir}/\${program}\" COMMAND_ERROR_IS_FATAL ANY)
      endforeach()
    endif()")
endif()
install(FILES ${staged}/tovrel.1.gz ${staged}/tovrel-client.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES README.md packaging/copyright ${staged}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(DIRECTORY docs/ DESTINATION ${CMAKE_INSTALL_DOCDIR}
        FILES_MATCHING PATTERN "*.md" PATTERN "*.png")
install(FILES packaging/fastcmd5000.txt packaging/examples/prometheus-tovrel.yml
              packaging/examples/tovrel-alerts.yml
        DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)

# The unit names the program by its installed path, so it is written at
# install time, when `cmake --install --prefix` has had its say.
install(CODE "
  set(TOVREL_INSTALLED_BINDIR \"${bindir}\")
  configure_file(\"${PROJECT_SOURCE_DIR}/packaging/tovrel@.service.in\"
                 \"${staged}/tovrel@.service\" @ONLY)")
install(FILES ${staged}/tovrel@.service DESTINATION ${TOVREL_SYSTEMD_UNIT_DIR})
