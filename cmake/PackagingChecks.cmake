# SPDX-License-Identifier: GPL-3.0-or-later
# Read by cpack before it builds the package (CPACK_PROJECT_CONFIG_FILE).
find_program(POLLENSIFT_SHLIBDEPS dpkg-shlibdeps)
if(NOT POLLENSIFT_SHLIBDEPS)
  message(FATAL_ERROR "dpkg-shlibdeps (Debian package dpkg-dev) was not found, and without it "
                      "the package would name none of the libraries it needs; "
                      "run scripts/install-deps.sh as root.")
endif()
