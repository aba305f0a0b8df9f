# 64-bit ARM (Debian arm64: Raspberry Pi OS 64-bit, newer gateways): LP64 like
# x86-64 but with unsigned char. Used by scripts/cross-test.sh arm64.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(DRAVIKNET_CROSS_TRIPLET aarch64-linux-gnu)
set(DRAVIKNET_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
