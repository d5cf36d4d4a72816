# kxfsutil: the C interface of the KXFS private-area tools.
#   find_package(kxfsutil CONFIG REQUIRED)
#   target_link_libraries(prog PRIVATE kxfsutil::kxfsutil)
# A program that calls the library also links the host's libkxctl, which
# provides kxctl_env_layout_version().
include("${CMAKE_CURRENT_LIST_DIR}/kxfsutilTargets.cmake")
