# Copies SOURCE to TARGET unless TARGET exists: an operator's description is never replaced.
if(NOT EXISTS "${TARGET}")
  file(COPY_FILE "${SOURCE}" "${TARGET}")
endif()
