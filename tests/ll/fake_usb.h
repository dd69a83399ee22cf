// A scripted stand-in for libusb behind the transport's table, for tests
// that need faults at exact points (a completion that never comes, a failed
// resubmission, an event-handling error) and a record of every transfer.
#pragma once

#include <libusb.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "ll/usb/usb_backend.h"

namespace torvi::test {

struct FakeDevice {
  uint16_t vid = 0x111B, pid = 0x1238;
  uint8_t bus = 1, port = 1, addr = 2;
  int speed = LIBUSB_SPEED_HIGH;
  int desc_rc = 0;  // get_device_descriptor result
  int open_rc = 0;  // open result
  int claim_rc[2] = {0, 0};
  int config_rc = 0;
};

// One control transfer as the device saw it.
struct ControlRecord {
  uint8_t type, request;
  uint16_t value, index, length;
  std::vector<uint8_t> out;  // host-to-device data
  int bulk_pending = 0;      // bulk transfers queued when it arrived
};

// The device side of the command protocol: registers, parameters and the
// status query, with faults.
struct FakeCamera {
  std::map<uint32_t, uint32_t> regs;               // register number -> value
  std::map<uint8_t, std::vector<uint8_t>> params;  // id -> value bytes
  uint8_t last_t = 0, last_v = 0;
  bool last_failed = false;
  unsigned busy_queries = 0;  // next status queries answer 0xFE
  bool fail_next = false;     // the next command fails (0xFF)
  std::string fail_message = "injected failure";
  bool wrong_tv_once = false;            // next status reply names another command
  int short_receive = -1;                // next data IN transfer moves this many bytes
  unsigned unanswered = 0;               // next control transfers never answer
  bool late_after_cancel = false;        // an unanswered transfer ignores cancels
  std::vector<uint8_t> pending_reg_hdr;  // header of the last register read
  std::vector<uint8_t> pending_param_ids;
  bool streaming = false;
  uint32_t start_word = 0;
  bool fail_start = false;  // the start command's status says 0xFF
  unsigned resets = 0;
};

class FakeUsb {
 public:
  FakeUsb();
  ~FakeUsb();
  FakeUsb(const FakeUsb &) = delete;
  FakeUsb &operator=(const FakeUsb &) = delete;

  static const usb::Backend &backend();

  // Setup (before the code under test runs).
  std::vector<FakeDevice> devices;
  FakeCamera cam;

  // Bulk side: completes the oldest pending bulk transfer with `bytes`
  // bytes of `fill` and the given status. False when none is pending.
  bool complete_bulk(int bytes, libusb_transfer_status status, uint8_t fill = 0xA5);
  // Every pending bulk transfer completes with full length, endlessly.
  void set_auto_stream(bool on);
  // Completes a held (unanswered, cancel-ignoring) control transfer now.
  bool release_held_control(int actual, libusb_transfer_status status);
  // Fails bulk submissions from now on with this code (0: accept).
  void set_bulk_submit_rc(int rc);
  // The next event-handling pass returns this code (0: none).
  void set_events_rc(int rc);
  // Every handle is gone: pending transfers end with NO_DEVICE.
  void unplug();

  // Observation.
  std::vector<ControlRecord> controls() const;
  int pending_bulk() const;
  int live_transfers() const;  // allocated and not freed
  int open_handles() const;
  int live_contexts() const;
  int clear_halts() const;
  int freed_in_flight() const;  // transfers freed while still in flight
  int contexts_created() const;
  int last_debug_level() const;
  bool wait_pending_bulk(int n, int timeout_ms) const;

  // Backend slots (public for the static trampolines).
  int init(libusb_context **ctx);
  void exit(libusb_context *ctx);
  void set_debug(libusb_context *ctx, int level);
  ssize_t get_device_list(libusb_context *ctx, libusb_device ***list);
  void free_device_list(libusb_device **list, int unref);
  int get_device_descriptor(libusb_device *dev, libusb_device_descriptor *desc);
  int open(libusb_device *dev, libusb_device_handle **h);
  void close(libusb_device_handle *h);
  int set_configuration(libusb_device_handle *h, int c);
  int claim_interface(libusb_device_handle *h, int i);
  int clear_halt(libusb_device_handle *h, unsigned char ep);
  libusb_transfer *alloc_transfer(int iso);
  void free_transfer(libusb_transfer *t);
  int submit_transfer(libusb_transfer *t);
  int cancel_transfer(libusb_transfer *t);
  int handle_events(libusb_context *ctx, struct timeval *tv, int *completed);
  FakeDevice *dev_of(libusb_device *d);

 private:
  void queue_completion(libusb_transfer *t, libusb_transfer_status st, int actual);  // mu_ held
  void answer_control(libusb_transfer *t);                                           // mu_ held
  int camera_control(const ControlRecord &c, uint8_t *data);                         // mu_ held
  void status_reply(uint8_t *data);

  mutable std::mutex mu_;
  mutable std::condition_variable cv_;
  std::deque<libusb_transfer *> completions_;
  std::deque<libusb_transfer *> bulk_pending_;
  std::set<libusb_transfer *> control_pending_;
  libusb_transfer *held_ = nullptr;
  std::set<libusb_transfer *> live_;
  std::set<libusb_device_handle *> handles_;
  int freed_in_flight_ = 0;
  int contexts_ = 0, contexts_created_ = 0, clear_halts_ = 0, debug_level_ = -1;
  bool auto_stream_ = false;
  bool unplugged_ = false;
  int bulk_submit_rc_ = 0;
  int events_rc_ = 0;
  std::vector<ControlRecord> controls_;
};

}  // namespace torvi::test
