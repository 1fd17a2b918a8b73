# The Debian package (cd build/release && cpack -G DEB). Its version is the project's;
# lintian is the judge of the rest (tests/app/InstallTest.sh runs it).
set(LUMERIX_PACKAGE_MAINTAINER "Lumerix2 maintainers <lumerix2@example.org>"
    CACHE STRING "Maintainer field and changelog signature of the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME lumerix2)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${LUMERIX_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "frame server for facility cameras, one service per camera")
set(CPACK_PACKAGE_DESCRIPTION
    "Lumerix2 acquires frames from one camera (V4L2, GenICam through Aravis, or a
built-in synthetic camera), turns each into an 8-bit gray image, re-orients it
as the camera is mounted and measures the bright spot in it: position and rms
width in x and y.

Every frame goes to any number of viewers on two TCP channels: a lossless one
(raw or HuffYUV) and a lossy one (false-colour JPEG). The server also answers
the facility's ZEFT control system, through which operators start and stop
it, change its camera settings, read the spot data and fetch frames.

The package holds the server, a systemd unit template that runs one instance
per camera, and the tools lumerix2-view (a channel reader), zeft (a control
system client), selvex-sim (a stand-in video multiplexer) and lumerix2-soak
(a long-run test of an installation).")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION video)
# dpkg-shlibdeps finds the Qt6, libav and libjpeg runtime packages from the binaries.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS systemd)
# The service's account is created on install.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA "${CMAKE_CURRENT_LIST_DIR}/../systemd/postinst"
    "${CMAKE_CURRENT_LIST_DIR}/conffiles")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The programs are stripped and their debug information is left out: CMake 3.25's
# -dbgsym package lists build paths in its md5sums. The build tree keeps the unstripped
# programs, with the same build ids, for a site's core dump.
set(CPACK_STRIP_FILES ON)

# Debian's documentation of the package: machine-readable copyright and a changelog
# (gzip -n: no time stamp in the file, so equal sources give equal packages).
find_program(LX_GZIP gzip REQUIRED)
string(TIMESTAMP LX_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(${CMAKE_CURRENT_LIST_DIR}/changelog.in ${CMAKE_BINARY_DIR}/package/changelog @ONLY)
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/package/changelog.gz
  COMMAND ${LX_GZIP} -9nf -k ${CMAKE_BINARY_DIR}/package/changelog
  DEPENDS ${CMAKE_BINARY_DIR}/package/changelog
  VERBATIM)
add_custom_target(package_docs ALL DEPENDS ${CMAKE_BINARY_DIR}/package/changelog.gz)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/copyright ${CMAKE_BINARY_DIR}/package/changelog.gz
        DESTINATION share/doc/lumerix2)

include(CPack)
