/* capture_virtual: the whole life of a capture, on a virtual camera.
 *
 *   torvi_init -> virtual camera on the virtual bus -> list -> open ->
 *   read identity and frame rate -> frame-ready callback -> start ->
 *   take frames -> stop -> close -> torvi_uninit
 *
 * With a real camera attached, drop the three virtual-camera steps (create,
 * plug, enable) and their clean-up; everything else stays the same.
 *
 * Usage: example_capture_virtual [frames]   (default 10, at most 1000)
 * Exit codes: 0 success, 1 set-up failed, 2 no camera found, 3 open failed,
 * 4 capture failed. Messages go to stderr; the library's own log goes to
 * "example_capture_virtual.log" in the current folder. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <torvi/torvi.h>

enum { EXIT_SETUP = 1, EXIT_NO_CAMERA = 2, EXIT_OPEN = 3, EXIT_CAPTURE = 4 };

/* Parameter 12 holds the frame rate (frames per second, 32-bit little-endian). */
enum { PARAM_FRAME_RATE = 12 };

/* Room for one frame. A frame of the default virtual camera (320 x 240,
 * 8 bytes per pixel) takes 614400 bytes; a frame larger than the room given
 * to the getter is cut, so leave plenty. */
#define FRAME_ROOM (4u * 1024u * 1024u)

/* Counted by the frame-ready callback. The callback runs on this program's
 * own thread, inside torvi_cap_get_frames (or torvi_cap_wait), so a plain
 * variable is enough. Besides the frames a getter copies out, the callback
 * also receives the further frames that are ready while the getter runs:
 * those go to the callback only, so it may count more frames than taken. */
static unsigned g_frames_seen;
static uint64_t g_bytes_seen;

/* Frame-ready callback: `frame->data` points at the frame just delivered
 * and is valid only during this call; copy what must outlive it. Keep it
 * short: the getter waits for it. */
static void on_frame_ready(torvi_dev_t *dev, torvi_cap_frame *frame) {
  (void)dev;
  ++g_frames_seen;
  g_bytes_seen += frame->info.frame_size;
}

/* Error callback: runs on this program's thread inside a getter. Return
 * true to go on capturing, false to stop. Discarded frames are reported here
 * too; a virtual camera without faults has none. */
static bool on_capture_error(torvi_dev_t *dev, int err, int err_param) {
  (void)dev;
  fprintf(stderr, "capture error: %s (%d), parameter %d\n", torvi_error_name(err), err, err_param);
  return err == TORVI_ERR_CAP_FRAME_DISCARD; /* go on only after discards */
}

/* Reads parameter 12. Returns 0 and sets *fps, or -1. */
static int read_frame_rate(torvi_dev_t *dev, uint32_t *fps) {
  torvi_param_t item;
  memset(&item, 0, sizeof item);
  item.number = PARAM_FRAME_RATE;
  if (!torvi_param_batch_get(dev, &item, 1)) return -1;
  *fps = (uint32_t)item.value[0] | (uint32_t)item.value[1] << 8 | (uint32_t)item.value[2] << 16 |
         (uint32_t)item.value[3] << 24;
  return 0;
}

/* Text for a result of torvi_cap_get_frames other than the number asked for. */
static const char *getter_failure(int got) {
  if (got == -1) return "bad arguments or device not open";
  if (got == -2) return "the capture is not running";
  if (got < 0) return torvi_error_name(got); /* a capture error stopped it */
  return "no frame before the deadline";
}

/* Starts a capture, takes `count` frames one by one and stops again.
 * Returns 0 or EXIT_CAPTURE. */
static int capture(torvi_dev_t *dev, unsigned count) {
  unsigned char *frame = malloc(FRAME_ROOM); /* ours: freed below */
  unsigned taken = 0;
  unsigned last_idx = 0;
  int result = 0;
  if (frame == NULL) {
    fprintf(stderr, "out of memory\n");
    return EXIT_CAPTURE;
  }
  torvi_cap_set_callback_on_frame_ready(dev, on_frame_ready);
  torvi_cap_set_callback_on_error(dev, on_capture_error);
  if (!torvi_cap_start(dev)) {
    fprintf(stderr, "cannot start the capture\n");
    free(frame);
    return EXIT_CAPTURE;
  }
  while (taken < count) {
    torvi_frame_info_t info;
    /* Waits for one frame (the deadline follows from the frame rate), copies
     * it into `frame` and describes it in `info`. */
    const int got = torvi_cap_get_frames(dev, 1, frame, FRAME_ROOM, &info);
    if (got != 1) {
      fprintf(stderr, "frame %u: %s (%d)\n", taken, getter_failure(got), got);
      result = EXIT_CAPTURE;
      break;
    }
    /* The driver describes each frame; an empty record means that it could
     * not (see the log). */
    if (info.frame_size == 0 || info.width == 0 || info.height == 0) {
      fprintf(stderr, "frame %u: the driver cannot describe it\n", taken);
      result = EXIT_CAPTURE;
      break;
    }
    if (info.frame_size > FRAME_ROOM) {
      fprintf(stderr, "frame %u: %u bytes do not fit the buffer\n", taken,
              (unsigned)info.frame_size);
      result = EXIT_CAPTURE;
      break;
    }
    /* Frame indices (16 bits) grow; frames that went to the callback only
     * leave gaps. */
    if (taken > 0 && (uint16_t)(info.frame_idx - last_idx) == 0) {
      fprintf(stderr, "frame %u: index %u repeated\n", taken, (unsigned)info.frame_idx);
      result = EXIT_CAPTURE;
      break;
    }
    last_idx = info.frame_idx;
    printf("frame %3u: index %5u, format %u, %ux%u, %u bytes/pixel, %u bytes\n", taken,
           (unsigned)info.frame_idx, (unsigned)info.frame_format, (unsigned)info.width,
           (unsigned)info.height, (unsigned)info.pixel_bytes, (unsigned)info.frame_size);
    ++taken;
  }
  /* A stop the camera refused leaves the capture running. */
  if (!torvi_cap_stop(dev) || torvi_cap_is_ongoing(dev)) {
    fprintf(stderr, "cannot stop the capture\n");
    result = EXIT_CAPTURE;
  }
  /* Every frame taken passed through the callback too. */
  if (result == 0 && g_frames_seen < taken) {
    fprintf(stderr, "callback saw %u frames, %u were taken\n", g_frames_seen, taken);
    result = EXIT_CAPTURE;
  }
  printf("frames: %u, callback calls: %u, bytes: %llu\n", taken, g_frames_seen,
         (unsigned long long)g_bytes_seen);
  free(frame);
  return result;
}

/* Lists the cameras, opens the first, shows it and captures from it.
 * Returns an exit code. */
static int run(unsigned count) {
  /* The records belong to the program; the library fills them. */
  torvi_dev_t list[4];
  torvi_dev_t *dev;
  uint32_t fps = 0;
  int result;
  const int found = torvi_dev_list(list, 4);
  if (found < 1) {
    fprintf(stderr, "no camera found\n");
    return EXIT_NO_CAMERA;
  }
  printf("cameras: %d (first on bus %u, port %u)\n", found, (unsigned)list[0].bus,
         (unsigned)list[0].port);
  /* Opening fills the identity and gives the record a library-owned part
   * (`priv`), which torvi_dev_close frees. The record must stay in place
   * until then. */
  dev = torvi_dev_open(&list[0]);
  if (dev == NULL) {
    fprintf(stderr, "cannot open the camera (see the log)\n");
    return EXIT_OPEN;
  }
  printf("vendor: %s\nproduct: %s\n", dev->vendor, dev->product);
  if (read_frame_rate(dev, &fps) != 0) {
    fprintf(stderr, "cannot read the frame rate\n");
    torvi_dev_close(dev);
    return EXIT_OPEN;
  }
  printf("frame rate: %u fps\n", (unsigned)fps);
  result = capture(dev, count);
  torvi_dev_close(dev); /* also stops a capture still running */
  return result;
}

int main(int argc, char **argv) {
  unsigned count = 10;
  torvi_vcam_t *cam;
  int result;
  if (argc > 1) {
    char *end = NULL;
    const unsigned long n = strtoul(argv[1], &end, 10);
    if (end == argv[1] || *end != '\0' || n == 0 || n > 1000) {
      fprintf(stderr, "usage: %s [frames 1..1000]\n", argv[0]);
      return EXIT_SETUP;
    }
    count = (unsigned)n;
  }

  /* Start the library first: logging, the USB transport, the colour map. */
  if (!torvi_init("example_capture_virtual.log")) {
    fprintf(stderr, "torvi_init failed\n");
    torvi_uninit();
    return EXIT_SETUP;
  }

  /* A virtual camera looking at a wall 1.2 m away, plugged into the virtual
   * bus, which the transport then uses instead of real USB. The middle field
   * of the product string picks the chip driver: "T0" is the TI driver. Seed 1
   * fixes its noise, so every run sends the same bytes. */
  cam = torvi_vcam_create("VCAM-T0-1.0", 1);
  if (cam == NULL || torvi_vcam_set_wall(cam, 1200.0, 0.6) != 0 || torvi_vcam_plug(cam) != 0 ||
      torvi_vcam_enable(1) != 0) {
    fprintf(stderr, "cannot set up the virtual camera\n");
    torvi_vcam_destroy(cam); /* NULL is ignored */
    torvi_uninit();
    return EXIT_SETUP;
  }

  result = run(count);

  /* Clean-up in reverse order: back to real USB, remove the camera, end. */
  torvi_vcam_enable(0);
  torvi_vcam_destroy(cam);
  torvi_uninit();
  if (result == 0) printf("done\n");
  return result;
}
