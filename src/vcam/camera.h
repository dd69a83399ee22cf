// One virtual time-of-flight camera: the device side of the USB protocol.
//
// A Camera is a device model, independent of how it is reached. A USB
// emulation (the in-process libusb binding of usb_virtual.h, or a usbdevfs
// emulation under umockdev) forwards what the host sends:
//   - control transfers on endpoint 0 go to control(): the 8 setup fields and
//     the data stage; the result is the number of bytes moved or a libusb
//     error code (stall, no device, or "no answer");
//   - bulk IN transfers on endpoint 0x81 are filled by bulk_in(), which moves
//     stream bytes into the transfer buffer the way a device fills URBs and
//     tells the emulation when the device ends the transfer (short packet),
//     when more data can come (pacing), or that the endpoint stalls.
// Every public member is thread-safe (one internal mutex); nothing blocks
// longer than it takes to synthesise one frame.
//
// The wire protocol is summarised in ll/usb/protocol.h.
// The data-block actions (0xCC) and the flash are described in flash_store.h.
#pragma once

#include <libusb.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "ll/usb/protocol.h"
#include "stream/wire_header.h"
#include "vcam/flash_store.h"

namespace torvi::vcam {

using Clock = std::chrono::steady_clock;

// The protocol's constants, shared with the transport (ll/usb/protocol.h).
using torvi::usb::kParamRecordBytes;
using torvi::usb::kProductId;
using torvi::usb::kRegHeaderBytes;
using torvi::usb::kStatusBusy;
using torvi::usb::kStatusFailed;
using torvi::usb::kStatusMessageBytes;
using torvi::usb::kStatusOk;
using torvi::usb::kStatusReplyBytes;
using torvi::usb::kVendorId;
inline constexpr uint8_t kBulkInEndpoint = torvi::usb::kStreamEp;
inline constexpr size_t kStreamHeaderBytes = torvi::stream::kHeaderSize;

// Result of control() meaning "the device never answers this transfer": the
// emulation leaves it pending until its time-out or a cancel.
inline constexpr int kNoAnswer = LIBUSB_ERROR_TIMEOUT;

// Where and how the camera sits on the bus.
struct Identity {
  uint16_t vendor = kVendorId;
  uint16_t product = kProductId;
  uint8_t bus = 1;
  uint8_t port = 1;
  uint8_t address = 2;
  int speed = LIBUSB_SPEED_HIGH;  // a LIBUSB_SPEED_ value
  // Address taken after a reset of target 3 (0: keep the old one).
  uint8_t address_after_reset = 0;
};

// One object of the synthetic scene. The camera sits at the origin and looks
// along +z; x grows to the right of the image, y downwards; units are mm.
struct Shape {
  enum class Kind : uint8_t {
    sphere,  // centre (x0, y0, z0), radius r
    box,     // axis-aligned box from (x0, y0, z0) to (x1, y1, z1)
  };
  Kind kind = Kind::sphere;
  double x0 = 0, y0 = 0, z0 = 1000, x1 = 0, y1 = 0, z1 = 0, r = 100;
  double reflectivity = 0.5;  // 0 .. 1 (and above for retro-reflectors)
};

// The scene: a flat wall perpendicular to the optical axis, and shapes in
// front of it. The nearest surface along each pixel's ray is what it sees.
struct Scene {
  double wall_mm = 1500.0;
  double wall_reflectivity = 0.6;
  std::vector<Shape> shapes;
};

// The time-of-flight sensor model (see tof_model.h for the formulas).
struct SensorModel {
  uint16_t width = 320;
  uint16_t height = 240;
  // Lens of the rays, for width x height: intrinsics and the distortion
  // coefficients k1, k2, p1, p2, k3 (all zero: a pinhole). The default is
  // the library's default lens.
  double cx = 157.262, cy = 122.083, fx = 210.783, fy = 204.817;
  double dcoeff[5] = {-0.378924, 0.145035, -0.000970854, 6.20728e-05, -0.0133954};
  // Periodic phase non-linearity: a distance error of this peak (mm) that
  // repeats `nonlinearity_periods` times per unambiguous range.
  double nonlinearity_mm = 12.0;
  int nonlinearity_periods = 4;
  // Share of the ambient light left while ambient-light suppression is on.
  double abs_ambient_share = 0.25;
  // Amplitude in sample units of a target at 1 m, reflectivity 1, 1000 us.
  double amplitude_gain = 1800.0;
  double dark_level = 2048.0;    // sample offset with no light
  double ambient_per_ms = 40.0;  // extra offset per ms of integration
  double noise_lsb = 1.5;        // standard deviation of sample noise
  double pattern_mm = 6.0;       // peak of the fixed per-pixel pattern
  int16_t sensor_temp = 361;     // tenths of a degree C at frame 0
  int16_t board_temp = 341;
  double sensor_drift_per_frame = 0;  // tenths of a degree per frame
  double board_drift_per_frame = 0;
  int16_t temp_drift_limit = 200;  // most the temperatures rise, tenths
  // Distance error per tenth of a degree above the frame-0 temperatures.
  double sensor_temp_coef_mm = 1.7;
  double board_temp_coef_mm = 0.33765;
};

// The factory calibration the camera carries: distance images of a flat
// target at first_mm + k x step_mm (k < images), taken at calib_khz and at
// the frame-0 temperatures, and the faults its package may have.
struct CalibrationPlan {
  enum class Fault : uint8_t {
    none,
    no_calibration,   // parameter 8 says no valid data
    not_zipped,       // zip flag 0
    truncated,        // payload length runs past the frame
    corrupt_archive,  // archive bytes damaged
    hostile_names,    // an entry named outside the folder
    empty_split,      // calib_and_param file of whole 256-byte blocks
  };
  double step_mm = 298.2;
  uint32_t first_mm = 295;
  int images = 30;
  uint32_t calib_khz = 12000;
  uint32_t offset_phase = 8364;  // written to the parameter file
  bool with_lens_file = true;
  Fault fault = Fault::none;
};

// How the stream is cut into chunks and paced.
struct StreamConfig {
  uint32_t chunk_payload = 61440;  // bytes of payload per chunk (multiple of 4)
  bool payload_checksum = true;    // flag B bit 0 and the checksum word
  bool paced = true;               // frames at the frame rate, else at once
  uint32_t frame_word = 0;         // header bytes 24..27
};

// Everything that makes a camera, before it is plugged in.
struct CameraConfig {
  Identity identity;
  std::string vendor = "TORVI";
  std::string product = "VCAM-E2-1.4.3";                   // core/product_string.h
  std::string serial = "VC0000000001";                     // parameter 5
  std::vector<uint8_t> info6 = {1, 4, 3, 0, 0, 0, 0, 0};   // parameter 6
  uint16_t part_version = 3, chip_id = 17, wafer_id = 42;  // parameter 7
  uint32_t frame_rate = 30;                                // parameter 12
  uint16_t integration_us = 1000;                          // parameter 13
  uint64_t seed = 1;
  Scene scene;
  SensorModel sensor;
  StreamConfig stream;
  std::vector<uint8_t> upload_block;             // data-upload frame (format 171); empty:
                                                 // the calibration package made from the model
  CalibrationPlan calibration;                   // how the package is made
  uint32_t calib_version = 1;                    // parameter 8 version word
  std::chrono::milliseconds reset_absence{300};  // off the bus after reset 3
};

// Stream faults, applied to a given frame of the current capture (frames are
// counted from 0 at each stream start) and, where it matters, a chunk of it.
struct StreamFault {
  enum class Kind : uint8_t {
    flip_header_bit,   // xor `mask` into header byte `byte` of chunk `chunk`
    flip_payload_bit,  // xor `mask` into payload byte `byte` of chunk `chunk`
    drop_chunk,        // chunk `chunk` is not sent (sidx still advances)
    duplicate_chunk,   // chunk `chunk` is sent twice
    skip_sidx,         // sidx jumps by 2 before chunk `chunk`
    skip_fridx,        // the frame index jumps by 2 at this frame
  };
  Kind kind = Kind::flip_payload_bit;
  uint32_t frame = 0;
  uint32_t chunk = 0;
  uint32_t byte = 0;
  uint8_t mask = 1;
};

// Faults of the control path and of the device as a whole.
struct DeviceFaults {
  uint32_t busy_queries = 0;       // next N status queries say 0xFE
  bool fail_next_command = false;  // next command gets 0xFF + message
  std::string fail_message = "injected failure";
  uint32_t unanswered_controls = 0;  // next N control transfers: no answer
  uint32_t stall_bulk = 0;           // bulk IN halts N times, each until clear_halt
  // The next N bulk IN transfers each end with a stall handshake on their
  // own; the endpoint does not stay halted.
  uint32_t stall_transfers = 0;
  // The next N bulk IN transfers end at once with LIBUSB_TRANSFER_TIMED_OUT,
  // as if their time-out had elapsed, each after receiving up to
  // `time_out_partial_bytes` bytes of the stream.
  uint32_t time_out_transfers = 0;
  uint32_t time_out_partial_bytes = 0;
  bool fail_claim_interface0 = false;  // claim of interface 0 fails (BUSY)
  bool held_elsewhere = false;         // open fails with ACCESS
  // Stream goes silent after this many more bytes (transfers time out,
  // the one in progress with partial data). Cleared by resume_sending().
  std::optional<uint64_t> silent_after_bytes;
  // The camera leaves the bus after this many more stream bytes.
  std::optional<uint64_t> unplug_after_bytes;
};

// What bulk_in() did.
struct BulkStep {
  enum class Kind : uint8_t {
    data,       // `bytes` moved; `end_of_transfer` when the device ended it
    wait,       // nothing (more) now; data may come at `next` (or never)
    stall,      // the endpoint halts (until clear_halt)
    timed_out,  // the transfer ends now as timed out, after `bytes` moved
    no_device,  // the camera left the bus
  };
  Kind kind = Kind::wait;
  size_t bytes = 0;
  bool end_of_transfer = false;           // short packet: complete the transfer now
  std::optional<Clock::time_point> next;  // wait: earliest time data can come
};

// Counters for tests and tools.
struct CameraStats {
  uint64_t control_transfers = 0;
  uint64_t status_queries = 0;
  uint64_t failed_commands = 0;
  uint64_t frames_sent = 0;
  uint64_t stream_bytes = 0;
  uint64_t bulk_stalls = 0;
  uint64_t bulk_time_outs = 0;
  uint64_t clear_halts = 0;
  uint32_t resets = 0;
};

class Camera {
 public:
  explicit Camera(CameraConfig config = {});
  ~Camera();
  Camera(const Camera &) = delete;
  Camera &operator=(const Camera &) = delete;

  // --- the device side of the USB link ---------------------------------

  // Handles one control transfer. `data` is the data stage (wLength bytes):
  // read for host-to-device, filled for device-to-host. Returns the bytes
  // moved, LIBUSB_ERROR_PIPE (stall), LIBUSB_ERROR_NO_DEVICE, or kNoAnswer.
  int control(uint8_t bmRequestType, uint8_t bRequest, uint16_t wValue, uint16_t wIndex,
              std::span<uint8_t> data, Clock::time_point now = Clock::now());

  // Moves stream bytes for a bulk IN transfer on `endpoint` into `buf` (the
  // rest of the transfer's buffer). Call again after `data` until the
  // transfer is full or `end_of_transfer`; after `wait`, call again at
  // `next` or let the transfer time out.
  BulkStep bulk_in(uint8_t endpoint, std::span<uint8_t> buf, Clock::time_point now = Clock::now());

  // The host cleared a halt on `endpoint`.
  void clear_halt(uint8_t endpoint);
  // Host-side interface and open events (the emulation asks before it
  // grants them). Return 0 or a negative LIBUSB_ERROR code.
  int on_open();
  int on_claim(int interface_number);

  // --- plug state ----------------------------------------------------------

  // Whether the camera is on the bus at `now` (false while unplugged and
  // while it re-enumerates after a reset of target 3).
  bool attached(Clock::time_point now = Clock::now()) const;
  // Grows every time the camera (re)appears on the bus; a handle opened in an
  // earlier generation gets NO_DEVICE.
  uint64_t generation(Clock::time_point now = Clock::now()) const;
  void unplug();
  void plug();
  Identity identity() const;  // current address included

  // --- configuration (any time) ------------------------------------------

  CameraConfig config() const;
  void set_scene(const Scene &scene);
  void set_product(const std::string &product);
  void set_serial(const std::string &serial);
  void set_frame_rate(uint32_t fps);
  void set_paced(bool paced);
  void set_seed(uint64_t seed);
  void set_sensor(const SensorModel &sensor);
  void set_upload_block(std::vector<uint8_t> block);
  void set_calibration(const CalibrationPlan &plan);
  void set_chip(uint16_t part_version, uint16_t chip_id, uint16_t wafer_id);
  // The package the data-upload mode sends (the application's block, or the
  // one made from the model).
  std::vector<uint8_t> calibration_package();

  // --- faults --------------------------------------------------------------

  void add_stream_fault(const StreamFault &fault);
  void clear_stream_faults();
  void set_faults(const DeviceFaults &faults);
  DeviceFaults faults() const;
  void resume_sending();

  // --- inspection ----------------------------------------------------------

  bool streaming() const;
  uint8_t mode() const;  // parameter 0
  uint32_t modulation_khz() const;
  CameraStats stats() const;
  // Raw register value (target 1: sensor, 8-bit; others: board, 32-bit).
  std::optional<uint32_t> reg(uint8_t target, uint32_t number) const;
  // Ground truth of every frame (the scene does not move): radial distance
  // in mm per pixel, image row order (row 0 at the top). Temperature drift
  // and the fixed pattern are errors of the measurement, not of the truth.
  std::vector<uint16_t> ground_truth() const;
  // The chunks (headers and payloads) of frame `frame_number` of a capture,
  // without faults, with sidx counted from 0 and fridx = frame_number.
  std::vector<uint8_t> frame_bytes(uint32_t frame_number) const;
  // The format-2 payload (8 * width * height bytes) of frame `frame_number`
  // of a capture at the current frequency and integration time.
  std::vector<uint8_t> raw_frame(uint32_t frame_number) const;

  // --- data blocks in flash (flash_store.h) --------------------------------

  void set_flash_block(uint8_t type, uint16_t version, std::vector<uint8_t> data);
  void erase_flash_block(uint8_t type);  // no valid data, version 0xFFFF
  FlashBlock flash_block(uint8_t type) const;
  void set_flash_faults(const FlashFaults &faults);
  FlashFaults flash_faults() const;
  FlashStats flash_stats() const;
  // Firmware version of the running firmware (product string's third field).
  uint16_t firmware_version() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace torvi::vcam
