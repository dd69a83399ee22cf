// The replay transport and the pass over a recording.
#include "record/replay.h"

#include <stdlib.h>
#include <torvi/torvi_dev_priv.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "core/log_internal.h"
#include "ll/link_desc.h"
#include "ll/transports.h"
#include "record/frame_msgs.h"
#include "stream/kernels.h"
#include "stream/parser.h"
#include "stream/wire_header.h"

namespace torvi::record {
namespace {

using SteadyClock = std::chrono::steady_clock;

// Payload bytes per stream chunk (a multiple of 4, below the 1 MiB limit).
constexpr uint32_t kChunkPayload = 512u * 1024u;
// How long a fast replay waits for room in the frame buffer between looks.
constexpr auto kRoomPoll = std::chrono::microseconds(200);
// Longest pause honoured between two recorded frames (a gap in a recording
// does not stall a replay for longer).
constexpr auto kMaxGap = std::chrono::seconds(2);
constexpr const char *kParamPrefix = "param.";

void read_params(const StringMap &m, std::map<uint8_t, Bytes> &out) {
  for (const auto &[k, v] : m) {
    if (k.rfind(kParamPrefix, 0) != 0) continue;
    char *end = nullptr;
    const unsigned long n = std::strtoul(k.c_str() + std::strlen(kParamPrefix), &end, 10);
    Bytes val;
    if (end == nullptr || *end != '\0' || n > 255 || !from_hex(v, val) || val.size() > 18) continue;
    out[static_cast<uint8_t>(n)] = std::move(val);
  }
}

// The files a replay writes for its driver. The driver's lens record
// ("key value" lines) stands in for a missing lens_param.txt, which holds
// the same numbers one per line.
std::map<std::string, Bytes> calibration_files(const Recording &rec) {
  std::map<std::string, Bytes> out;
  for (const auto &[name, data] : rec.files)
    if (name != kLensAttachment) out[name] = data;
  const auto lens = rec.files.find(kLensAttachment);
  if (lens != rec.files.end() && out.count("lens_param.txt") == 0) {
    std::istringstream in(std::string(lens->second.begin(), lens->second.end()));
    std::string key, value, text;
    while (in >> key >> value) text += value + "\n";
    out["lens_param.txt"] = Bytes(text.begin(), text.end());
  }
  return out;
}

// A private folder holding the recording's calibration files while the
// replay is open, for the driver to read as it reads a camera's; removed
// with everything in it at close.
class CalibrationFolder {
 public:
  CalibrationFolder() = default;
  CalibrationFolder(const CalibrationFolder &) = delete;
  CalibrationFolder &operator=(const CalibrationFolder &) = delete;
  ~CalibrationFolder() { remove(); }

  // Writes `files` into a new folder; false (the folder removed) on failure.
  bool create(const std::map<std::string, Bytes> &files) {
    KX_LOG_NAME("torvi_replay_open");
    namespace fs = std::filesystem;
    std::error_code ec;
    std::string tmpl = (fs::temp_directory_path(ec) / "torvi-replay-XXXXXX").string();
    if (ec || ::mkdtemp(tmpl.data()) == nullptr) {
      KX_ERR("cannot create a folder for the recording's calibration files in %s\n", tmpl.c_str());
      return false;
    }
    dir_ = tmpl + "/";
    for (const auto &[name, data] : files) {
      std::ofstream out(dir_ + name, std::ios::binary);
      out.write(reinterpret_cast<const char *>(data.data()),
                static_cast<std::streamsize>(data.size()));
      if (!out.flush()) {
        KX_ERR("cannot write %s%s\n", dir_.c_str(), name.c_str());
        remove();
        return false;
      }
    }
    return true;
  }
  // The folder with a trailing '/', or nullptr when there is none.
  const char *path() const { return dir_.empty() ? nullptr : dir_.c_str(); }

 private:
  void remove() {
    if (dir_.empty()) return;
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
    dir_.clear();
  }
  std::string dir_;
};

// One replay link: the recording, the feeder thread and the counters.
struct Link {
  std::unique_ptr<Recording> rec;
  unsigned flags = 0;
  std::thread feeder;
  std::atomic<bool> stopping{false};
  std::atomic<uint64_t> replayed{0};
  std::atomic<uint32_t> loops{0};
  std::atomic<bool> ended{false};
  torvi_ll_cap_cb_t cb = nullptr;
  void *cb_arg = nullptr;
  std::mutex regs_mu;  // guards regs
  // The recorded registers; writes change them as they would on the camera.
  std::map<uint8_t, std::vector<uint32_t>> regs;
  CalibrationFolder files;  // the recording's calibration files

  void join() {
    stopping.store(true);
    if (feeder.joinable() && feeder.get_id() != std::this_thread::get_id()) feeder.join();
  }
};

Link *link_of(torvi_ll_t *ll) {
  return ll != nullptr && ll->ops == &replay_ops() ? static_cast<Link *>(ll->priv) : nullptr;
}

// Opens waiting for their link, by the id in the link descriptor.
std::mutex g_pending_mu;  // guards g_pending and g_next_id
std::map<uint64_t, std::pair<std::unique_ptr<Recording>, unsigned>> g_pending;
uint64_t g_next_id = 1;

uint64_t link_id(const torvi_ll_t &ll) {
  uint64_t id = 0;
  std::memcpy(&id, ll.reserved, sizeof id);
  return id;
}

// Whether the device's frame buffer can take one more frame without
// dropping one.
bool buffer_has_room(torvi_ll_t *ll) {
  // The device API passes the connection record at the start of the
  // device's private record.
  auto *priv = reinterpret_cast<torvi_dev_priv_t *>(ll);
  if (priv->stream == nullptr) return true;
  const kx_stream_state_t st = priv->stream->state();
  return st.frames_ready < priv->stream->capacity();
}

// The feeder thread: one pass (or more, looping) over the recording.
void feed(torvi_ll_t *ll, Link *link) {
  KX_LOG_NAME("replay");
  const Recording &rec = *link->rec;
  Bytes out;
  uint16_t sidx = 0;
  for (bool first_pass = true;; first_pass = false) {
    if (!first_pass) link->loops.fetch_add(1);
    McapCursor cur(rec.file.bytes());
    bool have_t0 = false;
    uint64_t t0 = 0;
    auto start = SteadyClock::now();
    auto last_due = start;
    uint64_t sent = 0;
    while (!link->stopping.load()) {
      auto r = cur.next();
      if (!r) break;
      if (r->op != Op::message) continue;
      const auto m = parse_message(r->content);
      if (!m || m->channel != rec.raw_channel) continue;
      const auto f = decode_raw(m->data);
      if (!f) continue;
      if ((link->flags & TORVI_REPLAY_FAST) != 0) {
        while (!link->stopping.load() && !buffer_has_room(ll))
          std::this_thread::sleep_for(kRoomPoll);
      } else {
        if (!have_t0) {
          have_t0 = true;
          t0 = m->log_time;
        }
        const auto offset = std::chrono::nanoseconds(m->log_time >= t0 ? m->log_time - t0 : 0);
        auto due = start + offset;
        if (due - last_due > kMaxGap) {  // skip long gaps
          start -= (due - last_due) - kMaxGap;
          due = last_due + kMaxGap;
        }
        last_due = due;
        while (!link->stopping.load() && SteadyClock::now() < due)
          std::this_thread::sleep_for(std::min<SteadyClock::duration>(
              due - SteadyClock::now(), std::chrono::milliseconds(20)));
      }
      if (link->stopping.load()) break;
      out.clear();
      encode_stream_frame(f->hdr, f->bytes, kChunkPayload, sidx, out);
      link->cb(ll, TORVI_LL_CAP_OK, out.data(), static_cast<int>(out.size()), link->cb_arg);
      link->replayed.fetch_add(1);
      ++sent;
    }
    if (link->stopping.load()) return;
    const ReadStatus &st = cur.status();
    if (st.state != ReadStatus::State::complete || st.damaged_chunks > 0) {
      KX_WRN("%s: reading stopped at byte %" PRIu64 ": %s (%" PRIu64 " frames sent)\n",
             rec.path.c_str(), st.offset, st.reason.c_str(), sent);
    }
    if ((link->flags & TORVI_REPLAY_LOOP) == 0 || sent == 0) break;
  }
  KX_INF("%s: end of the recording\n", rec.path.c_str());
  link->ended.store(true);
  // The capture engine ends the capture as for cancelled transfers.
  link->cb(ll, TORVI_LL_CAP_CANCELLED, nullptr, 0, link->cb_arg);
}

// --- the operation table -------------------------------------------------------

bool replay_init() { return true; }
void replay_uninit() {}
unsigned replay_set_debug(unsigned) { return 0; }

torvi_ll_t *replay_dev_open(torvi_ll_t *ll) {
  KX_LOG_NAME("replay_dev_open");
  if (ll->priv != nullptr) {
    KX_WRN("the replay is already open\n");
    return ll;
  }
  std::unique_ptr<Recording> rec;
  unsigned flags = 0;
  {
    std::lock_guard lk(g_pending_mu);
    auto it = g_pending.find(link_id(*ll));
    if (it == g_pending.end()) {
      KX_ERR("no recording waits for this link (a replay opens only once)\n");
      return nullptr;
    }
    rec = std::move(it->second.first);
    flags = it->second.second;
    g_pending.erase(it);
  }
  auto link = std::make_unique<Link>();
  link->regs = rec->registers;
  if (!rec->files.empty() && !link->files.create(calibration_files(*rec))) return nullptr;
  link->rec = std::move(rec);
  link->flags = flags;
  ll->priv = link.release();
  ll->ops = &replay_ops();
  ll->located = 1;
  return ll;
}

void replay_dev_close(torvi_ll_t *ll) {
  Link *link = link_of(ll);
  if (link == nullptr) return;
  link->join();
  delete link;
  ll->priv = nullptr;
}

int replay_dev_list(torvi_ll_t *, int) { return 0; }

bool replay_exe_cmd(torvi_ll_t *, uint8_t, uint8_t request, uint16_t, void *, int, unsigned) {
  KX_LOG_NAME("replay_exe_cmd");
  KX_WRN("command 0x%02x is not available on a replayed camera\n", request);
  return false;
}

bool replay_check_last_cmd(torvi_ll_t *, uint8_t, uint8_t) { return false; }

void replay_cap_abort(torvi_ll_t *ll) {
  if (Link *link = link_of(ll)) link->stopping.store(true);
}

bool replay_cap_start(torvi_ll_t *ll, uint32_t, torvi_ll_cap_cb_t cb, void *cb_arg) {
  KX_LOG_NAME("replay_cap_start");
  Link *link = link_of(ll);
  if (link == nullptr || cb == nullptr) return false;
  link->join();
  link->stopping.store(false);
  link->ended.store(false);
  link->cb = cb;
  link->cb_arg = cb_arg;
  try {
    link->feeder = std::thread(feed, ll, link);
  } catch (const std::exception &e) {
    KX_ERR("cannot start the replay thread: %s\n", e.what());
    return false;
  }
  return true;
}

bool replay_cap_stop(torvi_ll_t *ll) {
  Link *link = link_of(ll);
  if (link == nullptr) return false;
  link->join();
  return true;
}

bool replay_dev_reset(torvi_ll_t *ll, uint8_t) { return link_of(ll) != nullptr; }

// The recorded registers [reg, reg + cnt) of `target`, or nullptr when the
// recording does not hold them all. Call with regs_mu held.
uint32_t *recorded_registers(Link &link, uint8_t target, uint32_t reg, uint16_t cnt) {
  auto it = link.regs.find(target);
  if (it == link.regs.end() || reg > it->second.size() || cnt > it->second.size() - reg)
    return nullptr;
  return it->second.data() + reg;
}

bool replay_reg_write(torvi_ll_t *ll, uint8_t target, uint32_t reg, const uint32_t *values,
                      uint16_t cnt) {
  KX_LOG_NAME("replay_reg_write");
  Link *link = link_of(ll);
  if (link == nullptr || (values == nullptr && cnt > 0)) return false;
  std::lock_guard lk(link->regs_mu);
  if (uint32_t *at = recorded_registers(*link, target, reg, cnt)) {
    std::copy(values, values + cnt, at);
  } else {
    KX_DBG("register write %u:0x%x (%u) outside the recording, ignored\n", target, reg, cnt);
  }
  return true;
}

bool replay_reg_read(torvi_ll_t *ll, uint8_t target, uint32_t reg, uint32_t *values, uint16_t cnt) {
  KX_LOG_NAME("replay_reg_read");
  Link *link = link_of(ll);
  if (link == nullptr || (values == nullptr && cnt > 0)) return false;
  std::lock_guard lk(link->regs_mu);
  const uint32_t *at = recorded_registers(*link, target, reg, cnt);
  if (at == nullptr) {
    KX_WRN("registers %u:0x%x..+%u are not in the recording\n", target, reg, cnt);
    return false;
  }
  std::copy(at, at + cnt, values);
  return true;
}

bool replay_param_set(torvi_ll_t *ll, torvi_ll_param_t *, uint32_t cnt) {
  KX_LOG_NAME("replay_param_set");
  KX_DBG("%u parameter writes ignored on a replayed camera\n", cnt);
  return link_of(ll) != nullptr;
}

bool replay_param_get(torvi_ll_t *ll, torvi_ll_param_t *records, uint32_t cnt) {
  KX_LOG_NAME("replay_param_get");
  Link *link = link_of(ll);
  if (link == nullptr || (records == nullptr && cnt > 0)) return false;
  for (uint32_t i = 0; i < cnt; ++i) {
    auto it = link->rec->params.find(records[i].id);
    if (it == link->rec->params.end()) {
      KX_WRN("parameter %u is not in the recording\n", records[i].id);
      return false;
    }
  }
  for (uint32_t i = 0; i < cnt; ++i) {
    const Bytes &v = link->rec->params.at(records[i].id);
    records[i].len = static_cast<uint8_t>(v.size());
    std::memset(records[i].val, 0, sizeof records[i].val);
    std::memcpy(records[i].val, v.data(), v.size());
  }
  return true;
}

const torvi_ll_op_t kReplayOps = {
    .init = replay_init,
    .uninit = replay_uninit,
    .set_debug = replay_set_debug,
    .dev_open = replay_dev_open,
    .dev_open_by_fd = replay_dev_open,
    .dev_close = replay_dev_close,
    .dev_list = replay_dev_list,
    .exe_cmd = replay_exe_cmd,
    .check_last_cmd = replay_check_last_cmd,
    .cap_abort = replay_cap_abort,
    .cap_start = replay_cap_start,
    .cap_stop = replay_cap_stop,
    .dev_reset = replay_dev_reset,
    .reg_write = replay_reg_write,
    .reg_read = replay_reg_read,
    .param_set = replay_param_set,
    .param_get = replay_param_get,
    .end = nullptr,
};

const char *replay_files_dir(const torvi_ll_t &ll) {
  if (ll.ops != &kReplayOps || ll.priv == nullptr) return nullptr;
  return static_cast<const Link *>(ll.priv)->files.path();
}

}  // namespace

const torvi_ll_op_t &replay_ops() { return kReplayOps; }

std::unique_ptr<Recording> scan_recording(const std::string &path) {
  auto rec = std::make_unique<Recording>(path);
  McapCursor cur(rec->file.bytes());
  std::map<uint16_t, std::string> schema_names;
  bool have_raw = false;
  while (auto r = cur.next()) {
    Get g(r->content);
    switch (r->op) {
      case Op::schema: {
        const uint16_t id = g.u16();
        std::string name = g.str();
        if (g.ok()) schema_names[id] = std::move(name);
        break;
      }
      case Op::channel: {
        const uint16_t id = g.u16();
        const uint16_t schema = g.u16();
        const std::string topic = g.str();
        const std::string encoding = g.str();
        if (g.ok() && topic == kRawTopic && encoding == "cdr" &&
            schema_names[schema] == kRawSchemaName) {
          rec->raw_channel = id;
          have_raw = true;
        }
        break;
      }
      case Op::message: {
        const auto m = parse_message(r->content);
        if (have_raw && m && m->channel == rec->raw_channel && decode_raw(m->data)) ++rec->frames;
        break;
      }
      case Op::metadata: {
        const std::string name = g.str();
        const StringMap values = g.str_map();
        if (g.ok() && name == "torvi.parameters") read_params(values, rec->params);
        if (g.ok() && name == kRegistersMetadata) rec->registers = decode_registers(values);
        if (g.ok() && name == kFiltersMetadata) rec->filters = decode_filters(values);
        break;
      }
      case Op::attachment: {
        g.u64();  // log time
        g.u64();  // create time
        std::string name = g.str();
        g.str();  // media type
        const auto data = g.take(g.u64());
        if (g.ok() && (is_calibration_file(name) || name == kLensAttachment))
          rec->files[std::move(name)] = Bytes(data.begin(), data.end());
        break;
      }
      default:
        break;
    }
  }
  rec->status = cur.status();
  if (rec->status.state == ReadStatus::State::foreign)
    throw std::runtime_error(path + " is " + rec->status.reason);
  if (!have_raw)
    throw std::runtime_error(path + " holds no raw frames of libtorvi (no channel " +
                             std::string(kRawTopic) + " of " + kRawSchemaName + ")");
  return rec;
}

void encode_stream_frame(const torvi_frame_hdr_t &hdr, std::span<const uint8_t> bytes,
                         uint32_t chunk_payload, uint16_t &sidx, Bytes &out) {
  const uint32_t step = std::max<uint32_t>(4, chunk_payload & ~3u);
  std::size_t off = 0;
  do {
    const std::size_t len = std::min<std::size_t>(step, bytes.size() - off);
    const auto part = bytes.subspan(off, len);
    stream::WireHeader h;
    h.sidx = sidx++;
    h.len = static_cast<uint32_t>(len);
    h.frlen = hdr.frlen;
    h.fridx = hdr.fridx;
    h.frfmt = hdr.frfmt;
    h.width = hdr.width;
    h.height = hdr.height;
    h.sensor_temp = hdr.sensor_temp;
    h.illum_temp = hdr.illum_temp;
    h.extra = hdr.extra;
    stream::PayloadSum sum;
    stream::copy_sum(nullptr, part.data(), part.size(), sum);
    h.payload_sum = sum.value();
    h.has_payload_sum = true;
    h.start_of_frame = off == 0;
    const std::size_t at = out.size();
    out.resize(at + stream::kHeaderSize);
    stream::encode_header(h, out.data() + at);
    out.insert(out.end(), part.begin(), part.end());
    off += len;
  } while (off < bytes.size());
}

namespace {

void apply_filters(torvi_dev_t *dev, const std::map<int, FilterSwitch> &filters) {
  KX_LOG_NAME("torvi_replay_open");
  for (auto [id, sw] : filters) {
    const int r = sw.on ? torvi_filter_enable(dev, id, sw.has_arg ? &sw.arg : nullptr, 0)
                        : torvi_filter_disable(dev, id);
    if (r != 1) KX_WRN("the recorded switch of filter %d was refused by the driver\n", id);
  }
}

}  // namespace

torvi_dev_t *open_replay(std::unique_ptr<Recording> rec, unsigned flags, torvi_dev_t *dev) {
  KX_LOG_NAME("torvi_replay_open");
  static const bool registered = ll::register_transport(TORVI_LL_IF_REPLAY, &kReplayOps) &&
                                 ll::register_files_dir(TORVI_LL_IF_REPLAY, replay_files_dir);
  (void)registered;
  const ReadStatus &st = rec->status;
  if (st.state != ReadStatus::State::complete || st.damaged_chunks > 0) {
    KX_WRN("%s is damaged (%s); its %" PRIu64 " intact frames will be replayed\n",
           rec->path.c_str(), st.reason.c_str(), rec->frames);
  }
  // The recorded filter switches are made again once the driver runs.
  const std::map<int, FilterSwitch> filters = rec->filters;
  uint64_t id = 0;
  {
    std::lock_guard lk(g_pending_mu);
    id = g_next_id++;
    g_pending[id] = {std::move(rec), flags};
  }
  std::memset(&dev->if_type, 0, ll::kLinkDescBytes);
  dev->if_type = TORVI_LL_IF_REPLAY;
  std::memcpy(dev->link_reserved, &id, sizeof id);
  dev->located = 1;
  torvi_dev_t *opened = torvi_dev_open(dev);
  {
    std::lock_guard lk(g_pending_mu);
    g_pending.erase(id);  // an open that failed before reaching the link
  }
  if (opened != nullptr) apply_filters(opened, filters);
  return opened;
}

bool replay_info(const torvi_ll_t &ll, torvi_replay_info_t &out) {
  if (ll.ops != &kReplayOps || ll.priv == nullptr) return false;
  const Link &link = *static_cast<const Link *>(ll.priv);
  const Recording &rec = *link.rec;
  out = torvi_replay_info_t{};
  out.frames_in_file = rec.frames;
  out.frames_replayed = link.replayed.load();
  out.stop_offset = rec.status.offset;
  out.loops = link.loops.load();
  out.intact = rec.status.state == ReadStatus::State::complete && rec.status.damaged_chunks == 0;
  out.ended = link.ended.load() ? 1 : 0;
  std::snprintf(out.reason, sizeof out.reason, "%s", out.intact ? "" : rec.status.reason.c_str());
  return true;
}

}  // namespace torvi::record
