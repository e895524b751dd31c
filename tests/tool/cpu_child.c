// SPDX-License-Identifier: MIT
// A child for the CPU table: floating point, a loop the compiler vectorizes
// where NEON is allowed, the C library's string routines, and with
// NEON_FUNCTION one function built for NEON; it prints
// "ok 3 175 79" and ends with status 0.
#include <stdio.h>
#include <string.h>

#ifdef NEON_FUNCTION
#include <arm_neon.h>
// NEON in one function only: the file's build attributes do not show it.
__attribute__((target("fpu=neon"), noinline)) static int twice(const int* p) {
  int32x4_t v = vaddq_s32(vld1q_s32(p), vld1q_s32(p));
  return vgetq_lane_s32(v, 0);
}
#else
static int twice(const int* p) {
  return p[0] * 2;
}
#endif

int main(int argc, char** argv) {
  (void)argv;
  volatile double x = argc * 1.5;
  int a[64], b[64];
  for (int i = 0; i < 64; ++i) a[i] = i * argc;
  for (int i = 0; i < 64; ++i) b[i] = a[i] + a[63 - i] * 3;
  char text[80];
  memset(text, 'a', sizeof text);
  text[79] = '\0';
  printf("ok %d %d %zu\n", (int)(x * 2), twice(b + 7) / 2, strlen(text));
  return 0;
}
