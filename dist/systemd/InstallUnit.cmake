# Runs at install time: the unit names the helper by its absolute path under the prefix
# chosen then (cmake --install --prefix, or /usr for the package).
set(LX_PREFIX "${CMAKE_INSTALL_PREFIX}")
set(unit "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/lib/systemd/system/lumerix2@.service")
message(STATUS "Installing: ${unit}")
configure_file("${LX_UNIT_TEMPLATE}" "${unit}" @ONLY)
