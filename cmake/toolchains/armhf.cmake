# 32-bit ARM, hard float (Debian armhf: Raspberry Pi OS 32-bit, most DIN-rail
# gateways): 32-bit pointers and long, unsigned char. Used by
# scripts/cross-test.sh armhf.
set(CMAKE_SYSTEM_PROCESSOR arm)
set(DRAVIKNET_CROSS_TRIPLET arm-linux-gnueabihf)
set(DRAVIKNET_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
