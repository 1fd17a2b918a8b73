# Runs at install time: on an install onto this machine's own system prefix (not into a
# staging tree, as the package build does, nor into a private prefix), the service's account
# is created at once, as the Debian package's postinst does on install.
if("$ENV{DESTDIR}" STREQUAL "" AND CMAKE_INSTALL_PREFIX MATCHES "^/usr(/local)?/?$")
  find_program(LX_SYSUSERS systemd-sysusers)
  if(LX_SYSUSERS)
    execute_process(COMMAND "${LX_SYSUSERS}" "${LX_SYSUSERS_FILE}" RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
      message(WARNING "The account lumerix2 was not created: run systemd-sysusers as root.")
    endif()
  endif()
endif()
