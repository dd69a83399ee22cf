// What every command of the torvi program shares: the library's start and
// end, the optional virtual camera, and finding and opening a camera.
#pragma once

#include <torvi/torvi.h>

#include <optional>
#include <string>

namespace torvi_cli {

// Exit codes.
enum Exit : int {
  kOk = 0,
  kNoCamera = 2,    // no camera found
  kOpenFailed = 3,  // a camera is there but cannot be opened
  kMisbehaved = 4,  // the camera failed a command or the capture
  kFileError = 5,   // the output file cannot be written (or the input read, or it is empty)
  kRefused = 6,     // the camera refused: same or newer version stored, or no data to read
};

struct CommonOptions {
  bool virtual_camera = false;
  std::string virtual_product = "VCAM-E2-1.4.3";
  bool unpaced = false;
  int index = 0;
  bool verbose = false;
  std::string log_file;
  std::string replay;        // a recording to open as the camera
  bool replay_fast = false;  // replay as fast as frames are taken
  bool replay_loop = false;  // start the replay again at its end
  // Where calibration files are kept (empty: the per-user cache folder).
  std::string calib_dir;
};

// The per-user folder for calibration files: $XDG_CACHE_HOME/torvi/, else
// $HOME/.cache/torvi/, else "./" (always ending in '/').
std::string default_calib_dir();

// The camera's two temperatures in degrees Celsius.
struct Temperatures {
  double sensor_c = 0;
  double board_c = 0;
};
// Reads them from the value of device parameter 15 (sensor, then
// illumination board, signed tenths of a degree each); nullopt when the
// value is too short.
std::optional<Temperatures> temperatures_of(const torvi_param_t &p);

// Starts the library (and the virtual camera when asked) for one command.
class Session {
 public:
  explicit Session(const CommonOptions &opt);
  ~Session();
  Session(const Session &) = delete;
  Session &operator=(const Session &) = delete;

  // Lists the cameras; prints why when there is none.
  int list(torvi_dev_t *out, int max) const;
  // Opens camera `index`, printing a clear message on failure. Returns the
  // exit code (kOk when `dev` is open).
  int open(torvi_dev_t &dev) const;
  // Whether the replayed camera has sent its last frame.
  bool replay_ended(torvi_dev_t &dev) const;
  // The virtual camera of this session, or NULL.
  torvi_vcam_t *vcam() const { return vcam_; }

 private:
  const CommonOptions &opt_;
  torvi_vcam_t *vcam_ = nullptr;
};

}  // namespace torvi_cli
