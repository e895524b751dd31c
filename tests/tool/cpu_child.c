// SPDX-License-Identifier: MIT
// A child for the CPU table: floating point, a loop the compiler vectorizes
// where NEON is allowed, and the C library's string routines; it prints
// "ok 3 175 79" and ends with status 0.
#include <stdio.h>
#include <string.h>

int main(int argc, char** argv) {
  (void)argv;
  volatile double x = argc * 1.5;
  int a[64], b[64];
  for (int i = 0; i < 64; ++i) a[i] = i * argc;
  for (int i = 0; i < 64; ++i) b[i] = a[i] + a[63 - i] * 3;
  char text[80];
  memset(text, 'a', sizeof text);
  text[79] = '\0';
  printf("ok %d %d %zu\n", (int)(x * 2), b[7], strlen(text));
  return 0;
}
