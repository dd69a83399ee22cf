// The camera's USB protocol as both ends speak it: identity, endpoints,
// control requests, status replies, record sizes and parameter numbers. The
// transport (host side) and the virtual camera (device side) both use these.
//
// Control transfers (all little-endian):
//   status query   IN  0xB0 w0   63 bytes: status, t, v, 60-byte message
//   register write OUT 0xC2 w0   7-byte header (target u8, first u32,
//                                bytes u16 = count*4) + count u32 values
//   register read  OUT 0xC2 w1   7-byte header; then IN 0xC2 w1 count*4 bytes
//   stream start   OUT 0xC2 w4   u32 capture start word
//   stream stop    OUT 0xC2 w5   one byte 0xC2
//   device reset   OUT 0xC0 w0   u32 target (3: leave the bus and come back)
//   parameter set  OUT 0xC0 w3   n*20-byte records (id, len, 18 value bytes)
//   parameter get  OUT 0xC0 w4   up to 3 records (ids); then IN 0xC0 w4
#pragma once

#include <cstddef>
#include <cstdint>

namespace torvi::usb {

inline constexpr uint16_t kVendorId = 0x111B;
inline constexpr uint16_t kProductId = 0x1238;
inline constexpr uint8_t kStreamEp = 0x81;  // bulk IN: the frame stream

// bmRequestType of the class requests to the endpoint.
inline constexpr uint8_t kTypeOut = 0x22;  // host-to-device
inline constexpr uint8_t kTypeIn = 0xA2;   // device-to-host

// bRequest values.
inline constexpr uint8_t kReqStatus = 0xB0;
inline constexpr uint8_t kReqReg = 0xC2;
inline constexpr uint8_t kReqDev = 0xC0;

// wValue of the register request.
inline constexpr uint16_t kRegWrite = 0;
inline constexpr uint16_t kRegRead = 1;
inline constexpr uint16_t kStreamStart = 4;
inline constexpr uint16_t kStreamStop = 5;
// wValue of the device request.
inline constexpr uint16_t kDevReset = 0;
inline constexpr uint16_t kParamSet = 3;
inline constexpr uint16_t kParamGet = 4;

// The status reply: status byte, the last command's t and v, a message.
inline constexpr std::size_t kStatusReplyBytes = 63;
inline constexpr std::size_t kStatusMessageBytes = 60;
inline constexpr uint8_t kStatusOk = 0x00;
inline constexpr uint8_t kStatusBusy = 0xFE;
inline constexpr uint8_t kStatusFailed = 0xFF;

inline constexpr std::size_t kRegHeaderBytes = 7;
// Register target 1 is the sensor, with 256 registers of 8 bits.
inline constexpr uint8_t kSensorTarget = 1;
inline constexpr std::size_t kSensorRegisters = 256;
inline constexpr std::size_t kRegsPerRead = 16;  // registers per read request
inline constexpr std::size_t kParamRecordBytes = 20;
inline constexpr std::size_t kParamsPerGet = 3;  // records per parameter get

// Reset target that makes the camera leave the bus and enumerate again.
inline constexpr uint8_t kResetUsb = 3;

// Device parameter numbers.
inline constexpr uint32_t kParamMode = 0;
inline constexpr uint32_t kParamVendor = 2;
inline constexpr uint32_t kParamProduct = 3;
inline constexpr uint32_t kParamSerial = 5;
inline constexpr uint32_t kParamInfo = 6;
inline constexpr uint32_t kParamChip = 7;
inline constexpr uint32_t kParamCalibInfo = 8;
inline constexpr uint32_t kParamFrameRate = 12;
inline constexpr uint32_t kParamIntegration = 13;
inline constexpr uint32_t kParamTemperatures = 15;

// Values of the mode parameter.
inline constexpr uint8_t kModeNormal = 0;
inline constexpr uint8_t kModeDataUpload = 9;

}  // namespace torvi::usb
