# Cross-building the modules for Linux on arm64 with Debian's cross compiler
# (g++-aarch64-linux-gnu), which links against its own arm64 glibc and
# libstdc++. The arm64 interpreter's headers come in as Python_INCLUDE_DIR and
# the extension suffix as SKBUILD_SOABI (tools/build-dist sets both).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
