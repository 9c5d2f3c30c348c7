# Cross build for 64-bit ARM Linux (glibc). The compiler is zig's driver (tools/zig-c++,
# ZIG_TARGET=aarch64-linux-gnu.2.17, as `make dist-aarch64` sets it) or, with
# ZELK_CROSS=gnu, Debian's g++-aarch64-linux-gnu. The Python headers are the building
# interpreter's: the limited API does not depend on the architecture.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
if("$ENV{ZELK_CROSS}" STREQUAL "gnu")
  set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
else()
  set(CMAKE_CXX_COMPILER ${CMAKE_CURRENT_LIST_DIR}/zig-c++)
  set(CMAKE_AR ${CMAKE_CURRENT_LIST_DIR}/zig-ar CACHE FILEPATH "")
  set(CMAKE_RANLIB ${CMAKE_CURRENT_LIST_DIR}/zig-ranlib CACHE FILEPATH "")
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
