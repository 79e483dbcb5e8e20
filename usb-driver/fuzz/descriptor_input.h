// How the USB descriptor harness reads its input, shared with the seed
// generator. A blob is a 16-bit little-endian length, taken modulo its
// limit plus 1, then that many bytes (fewer when the input ends first).
//
//   flags        1 byte  bit 0: the bus completes on its controller thread
//                        bit 1: the device stalls the first OUT transfer
//                        bit 2: the device stalls IN transfers instead of
//                               answering them
//   then twice, for the enumeration and for the restart of a rebalance:
//     device descriptor          blob, at most MaxDeviceDescriptor bytes
//     first configuration read   blob, at most MaxConfiguration bytes
//     later configuration reads  blob, at most MaxConfiguration bytes
//   message      blob, at most MaxMessage bytes: what the application
//                writes, and the start of what the device answers a read
#pragma once

#include <cstddef>
#include <cstdint>

namespace bulkcom_fuzz::descriptor_input {

inline constexpr size_t MaxDeviceDescriptor = 64;
inline constexpr size_t MaxConfiguration = 1024;
inline constexpr size_t MaxMessage = 256;

inline constexpr uint8_t ControllerThread = 1;
inline constexpr uint8_t StallFirstOut = 2;
inline constexpr uint8_t StallIn = 4;

}  // namespace bulkcom_fuzz::descriptor_input
