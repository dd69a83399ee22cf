#include <stdio.h>
#include <torvi/torvi.h>

int main(void) {
  kx_log_enable(0, 5, NULL);
  if (kx_log_enable(3, 0, NULL) != 0) return 1;
  printf("consumer linked against libtorvi\n");
  return 0;
}
