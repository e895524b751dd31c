// SPDX-License-Identifier: MIT
#include "alive.hpp"

#include <pthread.h>
#include <unistd.h>

#include "runfile.hpp"

namespace {

void* check_alive(void* arg) {
  auto& state = *static_cast<supervisor_state*>(arg);
  for (;;) {
    sleep(kCheckInterval);
    check_slots(state);
  }
  return nullptr;
}

}  // namespace

void check_slots(supervisor_state& state) {
  for (int i = 0; i < slot_limit(state); ++i) {
    proc_slot& slot = state.slots[i];
    if (slot.pid.load(std::memory_order_acquire) <= 0 || slot.alive_path[0] == '\0') continue;
    if (access(slot.alive_path, F_OK) == 0) {
      unlink(slot.alive_path);
      slot.miss_count.store(0, std::memory_order_relaxed);
      continue;
    }
    if (slot.miss_count.fetch_add(1, std::memory_order_relaxed) + 1 < kMissLimit) continue;
    log_not_alive(slot.name, state.run_fd.load(std::memory_order_acquire));
    slot.miss_count.store(0, std::memory_order_relaxed);
    // The main thread may collect the killed child at once: mark it first.
    slot.killed_by_checker.store(1, std::memory_order_release);
    kill_by_name(slot.name);
  }
}

void start_check_alive(supervisor_state& state) {
  bool watched = false;
  for (int i = 0; i < slot_limit(state); ++i) watched = watched || state.slots[i].alive_path[0];
  if (!watched) return;
  pthread_t thread;
  if (pthread_create(&thread, nullptr, check_alive, &state) != 0) {
    log_check_alive_failed(state.run_fd.load(std::memory_order_acquire));
    return;
  }
  pthread_detach(thread);
}
