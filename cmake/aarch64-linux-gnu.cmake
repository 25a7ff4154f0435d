# Cross build for 64-bit Arm Linux with Debian's cross toolchain
# (crossbuild-essential-arm64) and multiarch arm64 libraries; test programs run
# under qemu-user. The Halide runtime generator runs on the build host: pass a
# host-built one as BF_HOST_RUNTIME_GENERATOR (scripts/cross-test.sh does).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu /usr/lib/aarch64-linux-gnu/cmake)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
# Plain qemu-aarch64: the multiarch loader and libraries are found through the
# usual paths. Never point -L at the cross toolchain's own library folder (two
# glibc builds mixed: threads hang in pthread_create).
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 CACHE STRING "Runs the test programs")
# The target's dynamic loader: with --list under the emulator it does ldd's job.
set(BF_TARGET_LOADER /lib/ld-linux-aarch64.so.1 CACHE FILEPATH "Dynamic loader of the target")
