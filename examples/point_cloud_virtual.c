/* point_cloud_virtual: from a raw frame to a point cloud, on a virtual EPC
 * camera.
 *
 *   torvi_init -> virtual EPC camera looking at a wall -> open (the library
 *   loads the camera's calibration) -> DRNU calibration and lens
 *   undistortion on -> start -> take a frame -> stop -> distance image ->
 *   point cloud -> PLY file -> close -> torvi_uninit
 *
 * Usage: example_point_cloud_virtual [output.ply]
 *   (default "example_point_cloud.ply" in the current folder)
 * Exit codes: 0 success, 1 set-up failed, 2 no camera, 3 open failed,
 * 4 capture failed, 5 decode or point cloud failed, 6 file not written. */
#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <torvi/torvi.h>

enum {
  EXIT_SETUP = 1,
  EXIT_NO_CAMERA = 2,
  EXIT_OPEN = 3,
  EXIT_CAPTURE = 4,
  EXIT_DECODE = 5,
  EXIT_FILE = 6
};

#define FRAME_ROOM (4u * 1024u * 1024u)
#define WALL_MM 1500.0

/* Writes n points (x, y, z floats) as an ASCII PLY file. Returns 0 or -1. */
static int write_ply(const char *path, const float *xyz, int n) {
  FILE *f = fopen(path, "w");
  int i;
  if (f == NULL) return -1;
  fprintf(f, "ply\nformat ascii 1.0\nelement vertex %d\n", n);
  fprintf(f, "property float x\nproperty float y\nproperty float z\nend_header\n");
  for (i = 0; i < n; ++i)
    fprintf(f, "%.4f %.4f %.4f\n", (double)xyz[3 * i], (double)xyz[3 * i + 1],
            (double)xyz[3 * i + 2]);
  return fclose(f) == 0 ? 0 : -1;
}

static int compare_floats(const void *a, const void *b) {
  const float x = *(const float *)a, y = *(const float *)b;
  return (x > y) - (x < y);
}

/* Takes one frame, decodes it and writes its point cloud. */
static int frame_to_cloud(torvi_dev_t *dev, const char *path) {
  unsigned char *raw = malloc(FRAME_ROOM);
  float *dist = NULL, *pcl = NULL, *z = NULL;
  torvi_frame_info_t info;
  torvi_filter_args_t calib;
  int pixels, got, points, i, result = 0;
  if (raw == NULL) return EXIT_SETUP;
  /* Per-pixel (DRNU) calibration from set 0 and lens undistortion. */
  memset(&calib, 0, sizeof calib);
  calib.u8 = 0;
  if (torvi_filter_enable(dev, TORVI_FILTER_PIXEL_CALIB, &calib, 0) != 1 ||
      torvi_filter_enable(dev, TORVI_FILTER_LENS_UNDISTORT, NULL, 0) != 1) {
    fprintf(stderr, "the driver refused a filter\n");
    free(raw);
    return EXIT_DECODE;
  }
  if (!torvi_cap_start(dev)) {
    free(raw);
    return EXIT_CAPTURE;
  }
  /* The first frames after the start are taken and dropped: the last one is used. */
  for (i = 0; i < 3; ++i) {
    got = torvi_cap_get_frames(dev, 1, raw, FRAME_ROOM, &info);
    if (got != 1) {
      fprintf(stderr, "no frame: %d\n", got);
      result = EXIT_CAPTURE;
      break;
    }
  }
  torvi_cap_stop(dev);
  if (result != 0) {
    free(raw);
    return result;
  }
  pixels = (int)(info.width * info.height);
  dist = malloc(sizeof(float) * (size_t)pixels);
  pcl = malloc(sizeof(float) * 3u * (size_t)pixels);
  z = malloc(sizeof(float) * (size_t)pixels);
  if (dist == NULL || pcl == NULL || z == NULL) {
    result = EXIT_SETUP;
  } else if (torvi_frame_get_distance(dev, dist, pixels, raw, (int)info.frame_size, &info) !=
             pixels) {
    fprintf(stderr, "decode failed (see the log)\n");
    result = EXIT_DECODE;
  } else {
    /* No intrinsics given: the driver's lens, so the rays follow the
     * undistorted camera. */
    points = torvi_frame_get_pcl(dev, pcl, 3 * pixels, dist, pixels, (int)info.width,
                                 (int)info.height, NULL);
    if (points < pixels / 2) {
      fprintf(stderr, "only %d points of %d pixels\n", points, pixels);
      result = EXIT_DECODE;
    } else if (write_ply(path, pcl, points) != 0) {
      fprintf(stderr, "cannot write %s\n", path);
      result = EXIT_FILE;
    } else {
      /* The wall is flat: every point's depth is the wall's. */
      for (i = 0; i < points; ++i) z[i] = pcl[3 * i + 2];
      qsort(z, (size_t)points, sizeof(float), compare_floats);
      const double median = (double)z[points / 2];
      printf("points: %d of %d pixels, median depth %.3f m, written to %s\n", points, pixels,
             median, path);
      if (fabs(median * 1000.0 - WALL_MM) > 20.0) {
        fprintf(stderr, "median depth %.3f m, the wall is at %.3f m\n", median, WALL_MM / 1000.0);
        result = EXIT_DECODE;
      }
    }
  }
  free(z);
  free(pcl);
  free(dist);
  free(raw);
  return result;
}

int main(int argc, char **argv) {
  const char *path = argc > 1 ? argv[1] : "example_point_cloud.ply";
  torvi_vcam_t *cam;
  torvi_dev_t list[4];
  torvi_dev_t *dev;
  int result;
  if (!torvi_init("example_point_cloud_virtual.log")) {
    torvi_uninit();
    return EXIT_SETUP;
  }
  /* "E2" in the product string picks the EPC driver. */
  cam = torvi_vcam_create("VCAM-E2-1.4.3", 1);
  if (cam == NULL || torvi_vcam_set_wall(cam, WALL_MM, 0.6) != 0 || torvi_vcam_plug(cam) != 0 ||
      torvi_vcam_enable(1) != 0) {
    fprintf(stderr, "cannot set up the virtual camera\n");
    torvi_vcam_destroy(cam);
    torvi_uninit();
    return EXIT_SETUP;
  }
  if (torvi_dev_list(list, 4) < 1) {
    result = EXIT_NO_CAMERA;
  } else if ((dev = torvi_dev_open(&list[0])) == NULL) {
    result = EXIT_OPEN;
  } else {
    result = frame_to_cloud(dev, path);
    torvi_dev_close(dev);
  }
  torvi_vcam_enable(0);
  torvi_vcam_destroy(cam);
  torvi_uninit();
  if (result == 0) printf("done\n");
  return result;
}
