// Replay: a recording opened as a camera. A transport table for links of
// kind TORVI_LL_IF_REPLAY answers the device API's commands from the
// recording and, while a capture runs, streams the recorded frames as the
// camera would (36-byte stream headers, payload checksums) to the capture
// engine, on the link's own feeder thread.
#pragma once

#include <torvi/torvi_ll.h>
#include <torvi/torvi_record.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "api/dev_internal.h"
#include "record/mapped_file.h"
#include "record/mcap_format.h"
#include "record/mcap_reader.h"

namespace torvi::record {

// What a pass over a recording found.
struct Recording {
  explicit Recording(const std::string &file_path) : path(file_path), file(file_path) {}
  std::string path;
  MappedFile file;
  uint16_t raw_channel = 0;
  uint64_t frames = 0;
  std::map<uint8_t, Bytes> params;  // recorded parameter values by number
  // Recorded register values by target, from register 0 on.
  std::map<uint8_t, std::vector<uint32_t>> registers;
  // The filter switches made on the recorded camera.
  std::map<int, FilterSwitch> filters;
  // Calibration files attached to the recording, by file name.
  std::map<std::string, Bytes> files;
  ReadStatus status;
};

// Reads the whole recording once; throws std::runtime_error with a clear
// reason for a file that cannot be read, is not MCAP or holds no raw-frame
// channel of this library.
std::unique_ptr<Recording> scan_recording(const std::string &path);

// Stream bytes of one frame as the camera sends them: chunks of at most
// `chunk_payload` bytes, each behind a stream header; `sidx` advances per
// chunk.
void encode_stream_frame(const torvi_frame_hdr_t &hdr, std::span<const uint8_t> bytes,
                         uint32_t chunk_payload, uint16_t &sidx, Bytes &out);

// The replay transport's table.
const torvi_ll_op_t &replay_ops();

// Opens `dev` as a replay of `rec` with TORVI_REPLAY_ flags.
torvi_dev_t *open_replay(std::unique_ptr<Recording> rec, unsigned flags, torvi_dev_t *dev);

// Counters of an open replay link; false when `ll` is not one.
bool replay_info(const torvi_ll_t &ll, torvi_replay_info_t &out);

}  // namespace torvi::record
