# CMake toolchain for Linux on AArch64 from an x86-64 Debian machine: Debian's cross compiler
# (g++-aarch64-linux-gnu) and its libraries under /usr/aarch64-linux-gnu, the tests run through
# user-mode emulation (qemu-user). tools/cross_native_tests.sh uses it; any CMake build can:
#   cmake -S . -B /tmp/arm64 -DCMAKE_TOOLCHAIN_FILE=tools/aarch64-linux-gnu.cmake \
#         -DSOVELK_PYTHON_MODULES=OFF -DSOVELK_NATIVE_TESTS=ON
# Another compiler for the same target (Clang: "clang++-16;--target=aarch64-linux-gnu") can be
# given as SOVELK_CROSS_CXX in the environment, and SOVELK_CROSS_ROOT names a Debian arm64 root
# with Python in it (tools/aarch64_python_tests.sh) for building and running the modules.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(sovelk_sysroot /usr/aarch64-linux-gnu)
set(sovelk_target_root ${sovelk_sysroot})
if(DEFINED ENV{SOVELK_CROSS_ROOT})
  set(sovelk_target_root $ENV{SOVELK_CROSS_ROOT})
  # Debian's Python headers include their multiarch pyconfig.h from the root's include folder.
  set(CMAKE_CXX_FLAGS_INIT "${CMAKE_CXX_FLAGS_INIT} -idirafter ${sovelk_target_root}/usr/include")
endif()
if(DEFINED ENV{SOVELK_CROSS_CXX})
  set(sovelk_cross_cxx $ENV{SOVELK_CROSS_CXX})
  list(POP_FRONT sovelk_cross_cxx CMAKE_CXX_COMPILER)
  string(REPLACE ";" " " CMAKE_CXX_FLAGS_INIT "${sovelk_cross_cxx}")
else()
  set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
endif()
set(CMAKE_FIND_ROOT_PATH ${sovelk_sysroot} ${sovelk_target_root})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# ctest (and FindPython, for the target's interpreter) runs programs through this; -L finds the
# target's loader and libraries.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L ${sovelk_target_root})
