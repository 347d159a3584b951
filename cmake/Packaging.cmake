# SPDX-License-Identifier: GPL-3.0-or-later
# Debian package built with CPack: running cpack in the build tree gives
# pollensift_<version>_<arch>.deb with whatever the install() rules put in place.
include(GNUInstallDirs)

# Every Debian package carries its copyright file and, gzipped, its changelog; an install
# from source gets them too.
pollensift_gzip(${CMAKE_CURRENT_LIST_DIR}/debian/changelog ${CMAKE_BINARY_DIR}/changelog.gz)
add_custom_target(package_changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/changelog.gz)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/debian/copyright ${CMAKE_BINARY_DIR}/changelog.gz
  DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_PACKAGE_NAME pollensift)
set(CPACK_PACKAGE_VENDOR "pollensift developers")
set(CPACK_PACKAGE_CONTACT "pollensift developers <pollensift-bugs@lists.pollensift.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "delete unwanted mail from POP3 mailboxes on the server")
set(CPACK_PACKAGE_DESCRIPTION [=[
pollensift logs into one or many POP3 mailboxes (USER/PASS or APOP, plain
or over TLS), reads every message's size and header, judges each header
with allow, deny and score rules made of POSIX regular expressions, and
deletes the condemned messages on the server before a mail client
downloads them. It is meant to run unattended from cron or a systemd
timer.]=])
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION mail)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Depends is what dpkg-shlibdeps finds in the binary (libc6, libssl3, libre2-9, ...), each
# library once and with the version the build needs; naming one by hand as well would list
# it twice. Without dpkg-shlibdeps the package would claim no dependencies, so cpack stops.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# TLS servers' certificates are verified against the system's CA certificates.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS ca-certificates)
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/PackagingChecks.cmake)

include(CPack)
