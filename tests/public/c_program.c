/* A plain C application: includes the chief header and calls the library. */
#include <stdio.h>
#include <string.h>
#include <torvi/torvi.h>

int main(void) {
  /* Console only: no log file from this program. */
  if (kx_log_enable(3, 0, NULL) != 0) {
    fprintf(stderr, "sink 3 must be refused\n");
    return 1;
  }
  if (kx_log_enable(0, 4, NULL) != 1) {
    fprintf(stderr, "console threshold not set\n");
    return 1;
  }
  if (torvi_ll_set_debug(0) != 4 || torvi_ll_set_debug(9) != 0) {
    fprintf(stderr, "usb debug mapping wrong\n");
    return 1;
  }
  kx_log(4, "ERR", "[%s] C program reached the library\n", "main");
  return 0;
}
