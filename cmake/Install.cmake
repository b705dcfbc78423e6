# Install rules and the Debian package.
#
# Layout under CMAKE_INSTALL_PREFIX (default /usr/local): sbin/ the daemon and
# korza-ctl, SYSCONFDIR/korza/monitor.conf (etc/ under the prefix, /etc when
# the prefix is /usr), share/doc/korza-monitor/examples, share/man/man5 and
# man8, and the service file of the platform. The daemon and korza-ctl read
# KZ_CONF_FILE without -c; the service files pass -c with the installed path,
# so any prefix works. DESTDIR is honoured by "cmake --install" and "make
# install" as usual.
#
# KZ_DEBIAN_PACKAGE (scripts/package: prefix /usr, KZ_CONF_FILE
# /etc/korza/monitor.conf) installs as Debian expects: compressed manual
# pages, a copyright file and a changelog, the unit in /lib/systemd/system.
include(GNUInstallDirs)

set(KZ_FULL_VERSION "${PROJECT_VERSION}.201105110")

install(TARGETS korza-monitor RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
if(TARGET korza-ctl)
  install(TARGETS korza-ctl RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
endif()

file(GLOB kz_examples ${CMAKE_SOURCE_DIR}/examples/*.conf ${CMAKE_SOURCE_DIR}/examples/*.mmc)
install(FILES ${kz_examples} DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES examples/monitor.conf DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/korza)

# gzip -9n: compressed without a time stamp, so the package is reproducible.
function(kz_gzip source target)
  get_filename_component(dir ${target} DIRECTORY)
  file(MAKE_DIRECTORY ${dir})
  execute_process(COMMAND gzip -9nc ${source} OUTPUT_FILE ${target} RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "gzip ${source} failed")
  endif()
endfunction()

foreach(page korza-monitor.8 korza-ctl.8 monitor.conf.5 korza-mmc.5)
  string(REGEX MATCH "[0-9]$" section ${page})
  if(KZ_DEBIAN_PACKAGE)
    kz_gzip(${CMAKE_SOURCE_DIR}/doc/man/${page} ${CMAKE_BINARY_DIR}/dist/man/${page}.gz)
    install(FILES ${CMAKE_BINARY_DIR}/dist/man/${page}.gz
            DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
  else()
    install(FILES doc/man/${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
  endif()
endforeach()
if(KZ_DEBIAN_PACKAGE)
  install(FILES dist/debian/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
  kz_gzip(${CMAKE_SOURCE_DIR}/dist/debian/changelog ${CMAKE_BINARY_DIR}/dist/changelog.gz)
  install(FILES ${CMAKE_BINARY_DIR}/dist/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})
  set(kz_unit_dir /lib/systemd/system)
else()
  set(kz_unit_dir lib/systemd/system)
endif()

# Service files, with the installed paths filled in.
set(SBINDIR ${CMAKE_INSTALL_FULL_SBINDIR})
set(SYSCONFDIR ${CMAKE_INSTALL_FULL_SYSCONFDIR})
configure_file(dist/systemd/korza-monitor.service.in ${CMAKE_BINARY_DIR}/dist/korza-monitor.service @ONLY)
configure_file(dist/freebsd/korza_monitor.in ${CMAKE_BINARY_DIR}/dist/korza_monitor @ONLY)
if(CMAKE_SYSTEM_NAME STREQUAL "FreeBSD")
  install(PROGRAMS ${CMAKE_BINARY_DIR}/dist/korza_monitor DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/rc.d)
else()
  install(FILES ${CMAKE_BINARY_DIR}/dist/korza-monitor.service DESTINATION ${kz_unit_dir})
  install(FILES dist/logrotate/korza-monitor DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/logrotate.d)
endif()

# Debian package: cpack -G DEB in the build directory (scripts/package).
set(CPACK_PACKAGE_NAME korza-monitor)
set(CPACK_PACKAGE_VERSION ${KZ_FULL_VERSION})
set(CPACK_PACKAGE_VENDOR "Korza")
set(CPACK_PACKAGE_CONTACT "Korza Monitor Developers <monitor-dev@korza.example.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Korza (R) Components Monitor: starts, watches and restarts the suite's servers")
set(CPACK_PACKAGE_DESCRIPTION
  "korza-monitor starts the components of the Korza suite in dependency order,\n notices their death, restarts them on a recovery schedule, reports failures,\n reloads on SIGHUP and serves control requests.")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The shared libraries the binaries link (Boost, the C++ runtime) become
# the package's dependencies; the mail command is only recommended.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "default-mta | mail-transport-agent")
configure_file(dist/debian/conffiles.in ${CMAKE_BINARY_DIR}/dist/debian/conffiles @ONLY)
configure_file(dist/debian/postinst ${CMAKE_BINARY_DIR}/dist/debian/postinst COPYONLY)
configure_file(dist/debian/prerm ${CMAKE_BINARY_DIR}/dist/debian/prerm COPYONLY)
configure_file(dist/debian/postrm ${CMAKE_BINARY_DIR}/dist/debian/postrm COPYONLY)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${CMAKE_BINARY_DIR}/dist/debian/conffiles ${CMAKE_BINARY_DIR}/dist/debian/postinst
  ${CMAKE_BINARY_DIR}/dist/debian/prerm ${CMAKE_BINARY_DIR}/dist/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
