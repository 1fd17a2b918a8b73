# Runs at install time. logrotate reads only /etc/logrotate.d: the package (prefix /usr)
# puts the stanza there; an install into another prefix keeps it in PREFIX/etc/logrotate.d
# for the operator to copy (README, "Running one server per camera").
# file(INSTALL) puts DESTDIR (the package's staging folder) in front by itself.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(dir "/etc/logrotate.d")
else()
  set(dir "${CMAKE_INSTALL_PREFIX}/etc/logrotate.d")
endif()
file(INSTALL "${LX_LOGROTATE_FILE}" DESTINATION "${dir}" RENAME lumerix2
     PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
