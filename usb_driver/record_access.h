// SPDX-License-Identifier: MIT
// Reading and writing the caller's records. Records are read and written
// field by field, through memcpy: the caller's record may be unaligned, and
// another thread may legitimately touch other fields of it meanwhile (a wait
// is disabled with the very record a blocked IOCTL_WAIT holds).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace usb_driver {

template <typename T>
T load(const void *record, size_t offset) {
    T value;
    std::memcpy(&value, static_cast<const uint8_t *>(record) + offset, sizeof value);
    return value;
}

template <typename T>
void store(void *record, size_t offset, T value) {
    std::memcpy(static_cast<uint8_t *>(record) + offset, &value, sizeof value);
}

}  // namespace usb_driver
