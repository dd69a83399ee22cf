// Feeds arbitrary bytes as a frame file to both loaders, frame after frame.
#include <sys/mman.h>
#include <torvi/torvi_frame.h>
#include <torvi/torvi_log.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const bool quiet = [] {
    kx_log_disable();
    return true;
  }();
  (void)quiet;
  const int fd = memfd_create("frame", 0);
  if (fd < 0) return 0;
  if (size > 0 && write(fd, data, size) != static_cast<ssize_t>(size)) {
    close(fd);
    return 0;
  }
  std::vector<float> dst(4096);
  for (int pass = 0; pass < 2; ++pass) {
    lseek(fd, 0, SEEK_SET);
    for (int frame = 0; frame < 64; ++frame) {
      int w = 0, h = 0;
      const int n =
          pass == 0
              ? torvi_frame_load_distance(fd, dst.data(), static_cast<int>(dst.size()), &w, &h)
              : torvi_frame_load_gray(fd, dst.data(), static_cast<int>(dst.size()), &w, &h);
      if (n <= 0) break;
      if (n > static_cast<int>(dst.size()) || n > w * h) __builtin_trap();
    }
  }
  close(fd);
  return 0;
}
