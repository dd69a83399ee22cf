// Sensor registers that the chip library reads or writes (8-bit registers
// on target 1 of the camera's register interface).
#pragma once

#include <cstdint>

namespace torvi::epc::reg {

inline constexpr int kAbs0 = 34;  // ambient-light suppression: bits 0x30 of 34, 37, 40, 43
inline constexpr int kAbs1 = 37;
inline constexpr int kAbs2 = 40;
inline constexpr int kAbs3 = 43;
inline constexpr uint8_t kAbsBits = 0x30;
inline constexpr int kRowControl0 = 113;  // 113, 114, 115: cleared at start-up
inline constexpr int kDllDelay = 116;     // demodulation delay line: coarse delay 0..15
inline constexpr int kDllControl = 117;   // bit 0: delay line bypassed
inline constexpr uint8_t kDllBypassBit = 0x01;
inline constexpr int kModControl = 128;        // 63, or 127 for the 36 MHz entry
inline constexpr int kPllDivider = 129;        // pre-divider in bits 4..5
inline constexpr int kPllMultiplier = 130;     // multiplier - 1 in bits 0..4
inline constexpr int kModDivider = 133;        // divider code 0, 1, 3, 7, 15, 31
inline constexpr int kRoiFirst = 150;          // column min (hi, lo), max (hi, lo), row min, max
inline constexpr int kHdrControl = 158;        // bit 0: HDR read-out
inline constexpr int kIntegrationTime1 = 160;  // 160..161: first 3D time in us (hi, lo)
inline constexpr int kIntegrationTime2 = 162;  // 162..163: second (HDR) time in us
inline constexpr int kSequencerControl = 174;  // 4 at start-up
inline constexpr int kSmallSensorTrim = 203;   // 99 on the 160 x 60 sensors

}  // namespace torvi::epc::reg
