# Debian package built with CPack: running cpack in the build tree gives
# pollensift_<version>_<arch>.deb with whatever the install() rules put in place.
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
# TLS needs OpenSSL 3 whichever way the binary was linked; dpkg-shlibdeps appends the other
# run-time libraries (libc6, libstdc++6, ...) that it finds in the binary.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libssl3 (>= 3.0.0)")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

include(CPack)
