# kxfsutil: the C interface of the KXFS private-area tools.
#   find_package(kxfsutil CONFIG REQUIRED)
#   target_link_libraries(prog PRIVATE kxfsutil::kxfsutil kxfsutil::kxctl)
# A program that calls the library provides kxctl_env_layout_version(): the
# target kxfsutil::kxctl is the host's libkxctl, or on a machine without
# one the stand-in the tools use (in the tools' own library directory). It
# is not defined when neither is found.
include("${CMAKE_CURRENT_LIST_DIR}/kxfsutilTargets.cmake")
if(NOT TARGET kxfsutil::kxctl)
  get_filename_component(_kxfsutil_libdir "${CMAKE_CURRENT_LIST_DIR}/../.." ABSOLUTE)
  find_library(KXFSUTIL_KXCTL_LIBRARY NAMES libkxctl.so.1 HINTS "${_kxfsutil_libdir}/kxfsutil")
  if(KXFSUTIL_KXCTL_LIBRARY)
    add_library(kxfsutil::kxctl SHARED IMPORTED)
    set_target_properties(kxfsutil::kxctl PROPERTIES IMPORTED_LOCATION "${KXFSUTIL_KXCTL_LIBRARY}")
  endif()
  unset(_kxfsutil_libdir)
endif()
