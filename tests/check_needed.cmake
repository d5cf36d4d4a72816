# libkxfsutil must not record libkxctl as a needed library: the programs
# that load it provide kxctl_env_layout_version themselves.
execute_process(COMMAND readelf -d "${LIBRARY}" OUTPUT_VARIABLE dyn RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "readelf -d failed on ${LIBRARY}")
endif()
if(dyn MATCHES "NEEDED[^\n]*libkxctl")
  message(FATAL_ERROR "libkxfsutil records libkxctl as needed")
endif()
if(NOT dyn MATCHES "SONAME[^\n]*libkxfsutil\\.so\\.2")
  message(FATAL_ERROR "libkxfsutil has no SONAME libkxfsutil.so.2")
endif()
