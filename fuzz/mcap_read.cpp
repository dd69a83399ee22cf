// Fuzz target: untrusted bytes read as a recording: the MCAP cursor to its
// end (chunks decompressed and checked), every record's fields decoded as
// the replay decodes them, and raw frames turned back into stream bytes. A
// crash, a hang or a sanitizer report fails.
#include <torvi/torvi_log.h>

#include <cstdint>
#include <cstdlib>

#include "record/frame_msgs.h"
#include "record/mcap_reader.h"
#include "record/replay.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  using namespace torvi::record;
  static const bool quiet = [] {
    kx_log_enable(0, KX_LOG_OFF, nullptr);
    return true;
  }();
  (void)quiet;
  McapCursor cur({data, size});
  Bytes stream;
  uint16_t sidx = 0;
  while (auto r = cur.next()) {
    Get g(r->content);
    switch (r->op) {
      case Op::channel:
        g.u16();
        g.u16();
        g.str();
        g.str();
        g.str_map();
        break;
      case Op::metadata:
        g.str();
        g.str_map();
        break;
      case Op::message:
        if (const auto m = parse_message(r->content)) {
          if (const auto f = decode_raw(m->data)) {
            stream.clear();
            encode_stream_frame(f->hdr, f->bytes, 4096, sidx, stream);
          }
        }
        break;
      default:
        break;
    }
  }
  // Reading always ends with a verdict, never "still reading".
  if (cur.status().state == ReadStatus::State::reading) std::abort();
  return 0;
}
