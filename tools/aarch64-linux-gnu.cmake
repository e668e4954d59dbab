# CMake toolchain for Linux on AArch64 from an x86-64 Debian machine: Debian's cross compiler
# (g++-aarch64-linux-gnu) and its libraries under /usr/aarch64-linux-gnu, the tests run through
# user-mode emulation (qemu-user). tools/cross_native_tests.sh uses it; any CMake build can:
#   cmake -S . -B /tmp/arm64 -DCMAKE_TOOLCHAIN_FILE=tools/aarch64-linux-gnu.cmake \
#         -DSOVELK_PYTHON_MODULES=OFF -DSOVELK_NATIVE_TESTS=ON
# Another compiler for the same target (Clang: "clang++-16;--target=aarch64-linux-gnu") can be
# given as SOVELK_CROSS_CXX in the environment.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(sovelk_sysroot /usr/aarch64-linux-gnu)
if(DEFINED ENV{SOVELK_CROSS_CXX})
  set(sovelk_cross_cxx $ENV{SOVELK_CROSS_CXX})
  list(POP_FRONT sovelk_cross_cxx CMAKE_CXX_COMPILER)
  string(REPLACE ";" " " CMAKE_CXX_FLAGS_INIT "${sovelk_cross_cxx}")
else()
  set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
endif()
set(CMAKE_FIND_ROOT_PATH ${sovelk_sysroot})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# ctest runs each test program through this; -L finds the target's loader and C library.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L ${sovelk_sysroot})
