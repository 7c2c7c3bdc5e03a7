# Cross build for 64-bit Arm Linux on an amd64 Debian machine with multiarch:
#   cmake -S . -B build-arm64 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
# scripts/bootstrap-arm64 installs the cross compiler, qemu and the arm64 packages.
# Programs that run during the build (protoc, grpc_cpp_plugin) are the build
# machine's own; test programs run through qemu's user-mode emulator, which CTest and
# gtest_discover_tests prefix to every command.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(MIRRAX_CROSS_SYSROOT /usr/aarch64-linux-gnu)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

# Headers and libraries: the cross toolchain's own, then the arm64 multiarch
# packages under /usr/lib/aarch64-linux-gnu; programs: the build machine's.
set(CMAKE_FIND_ROOT_PATH ${MIRRAX_CROSS_SYSROOT} /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)

# The emulator runs the programs against the arm64 multiarch root, /: its loader
# (/lib/ld-linux-aarch64.so.1) and libc.so.6 come from one libc6:arm64 package, as on
# an arm64 Debian machine. Not with -L /usr/aarch64-linux-gnu: that would take the
# cross toolchain's older loader but still the multiarch libc.so.6 (found through
# ld.so.cache), and the two disagree on the layout of the loader's shared state
# (_rtld_global differs in size), so the first pthread_create spins forever walking
# a corrupt thread-stack cache.
find_program(MIRRAX_QEMU_AARCH64 NAMES qemu-aarch64-static qemu-aarch64 REQUIRED
  NO_CMAKE_FIND_ROOT_PATH)
set(CMAKE_CROSSCOMPILING_EMULATOR ${MIRRAX_QEMU_AARCH64})
