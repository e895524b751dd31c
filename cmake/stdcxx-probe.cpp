// SPDX-License-Identifier: MIT
// Configure-time probe for musl builds: it needs operator new from libstdc++,
// so it must fail to link, as the daemon would if it came to need libstdc++.
static int* kept;
int main() {
  kept = new int(1);
  return 0;
}
