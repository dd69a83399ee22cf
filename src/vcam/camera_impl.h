// Private state of a virtual camera, shared by its source files.
#pragma once

#include <array>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "vcam/camera.h"
#include "vcam/tof_model.h"

namespace torvi::vcam {

using torvi::usb::kSensorRegisters;
inline constexpr uint32_t kBoardRegisters = 4096;
inline constexpr uint32_t kBoardTargets = 8;  // targets 0..7; 1 is the sensor
inline constexpr uint32_t kMaxRegReadBytes = 256;
inline constexpr size_t kMaxParamGetRecords = torvi::usb::kParamsPerGet;
using torvi::usb::kModeDataUpload;
using torvi::usb::kModeNormal;

struct Camera::Impl {
  explicit Impl(CameraConfig c);

  // --- called with `mu` held ---
  void refresh(Clock::time_point now);
  bool attached_locked(Clock::time_point now);
  void reset_sensor_registers();
  void reset_board();
  void set_status(uint8_t status, const std::string &message);
  void fail(const char *fmt, ...) __attribute__((format(printf, 2, 3)));
  TofModel &model();
  // What the data-upload mode sends: the application's block, else the
  // package made from the model (camera_calib.cpp), kept until the model,
  // the chip or the calibration plan changes.
  const std::vector<uint8_t> &upload_package();
  // Moves stream bytes into `buf` (the data path of bulk_in).
  BulkStep stream_into(std::span<uint8_t> buf, Clock::time_point now);
  uint32_t modulation_khz_locked() const;
  uint32_t mod_table_entry(unsigned entry) const;
  bool build_next_frame(Clock::time_point now);
  void stop_stream();
  void unplug_locked();

  // Control path (camera_control.cpp).
  int control_locked(uint8_t type, uint8_t request, uint16_t value, std::span<uint8_t> data,
                     Clock::time_point now);
  int status_query(std::span<uint8_t> data);
  void reg_write(std::span<const uint8_t> data);
  void reg_read_request(std::span<const uint8_t> data);
  int reg_read_data(std::span<uint8_t> data);
  void stream_start(std::span<const uint8_t> data, Clock::time_point now);
  void stream_stop(std::span<const uint8_t> data);
  void device_reset(std::span<const uint8_t> data, Clock::time_point now);
  void param_set(std::span<const uint8_t> data);
  void param_get_request(std::span<const uint8_t> data);
  int param_get_data(std::span<uint8_t> data);
  // Parameter value of `id` into `value` (18 bytes); its length, or -1.
  int param_value(uint8_t id, std::span<uint8_t, 18> value);
  // Checks a set of one parameter; an error text or empty.
  std::string param_check(uint8_t id, uint8_t len, std::span<const uint8_t> value) const;
  void param_apply(uint8_t id, std::span<const uint8_t> value);

  // Data blocks (camera_flash.cpp).
  void init_flash();
  uint16_t firmware_version() const;
  uint32_t firmware_word() const;  // board register 0 of target 0
  int data_action(bool in, uint16_t action, std::span<uint8_t> data);
  int info_reply(std::span<uint8_t> data);
  void announce(std::span<const uint8_t> data);
  void erase(std::span<const uint8_t> data);
  int ack_reply(uint16_t action, std::span<uint8_t> data);
  bool chunk(std::span<const uint8_t> data);  // false: the camera left the bus
  void payload_request(std::span<const uint8_t> data);
  int payload_reply(std::span<uint8_t> data);
  void arm_firmware_restart();  // on a reset of target 0
  void after_status_query(Clock::time_point now);
  void reboot(Clock::time_point now);

  mutable std::mutex mu;
  CameraConfig cfg;
  Identity id;
  std::unique_ptr<TofModel> tof;
  uint64_t model_gen = 0;            // grows with every new model
  std::vector<uint8_t> calib_pkg;    // the package made from the model
  uint64_t calib_pkg_model_gen = 0;  // model it was made from (0: none)
  std::vector<uint8_t> frame_buf;    // the frame being encoded (kept to spare allocations)

  // Bus presence.
  bool plugged = true;
  std::optional<Clock::time_point> absent_until;  // re-enumerating after reset
  uint64_t gen = 1;

  // Last command and its verdict.
  uint8_t status = kStatusOk;
  uint8_t last_t = 0;
  uint8_t last_v = 0;
  std::array<char, kStatusMessageBytes> message{};

  // Two-phase commands.
  struct RegRead {
    uint8_t target;
    uint32_t first;
    uint16_t bytes;
  };
  std::optional<RegRead> pending_reg_read;
  std::vector<uint8_t> pending_param_ids;

  // Registers.
  std::array<uint8_t, kSensorRegisters> sensor_regs{};
  std::vector<uint32_t> board_regs;  // kBoardTargets x kBoardRegisters

  // Parameters that change.
  uint8_t mode = kModeNormal;
  uint16_t setting17 = 0;
  uint8_t flag17 = 0;

  // Stream.
  bool streaming = false;
  bool halted = false;
  Clock::time_point next_due{};
  uint32_t frame_no = 0;  // frames sent in this capture
  uint16_t sidx = 0;
  uint16_t fridx = 0;
  bool upload_sent = false;
  std::vector<uint8_t> pending;  // bytes of the frame being sent
  size_t pending_off = 0;
  std::vector<StreamFault> stream_faults;

  DeviceFaults faults;
  CameraStats stats;
  FlashStore flash;
};

}  // namespace torvi::vcam
