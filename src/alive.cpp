#include "alive.hpp"

#include <pthread.h>
#include <stdio.h>
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

void report_hung(const supervisor_state& state, const proc_slot& slot) {
  char line[kDataPathSize];
  int n = snprintf(line, sizeof line, "%s is not alive, and we will kill it.\n", slot.name);
  int len = n < static_cast<int>(sizeof line) ? n : static_cast<int>(sizeof line) - 1;
  log_write(state.run_fd.load(std::memory_order_acquire), line, len);
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
    report_hung(state, slot);
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
    static const char msg[] = "create pthread check_alive failed\n";
    log_write(state.run_fd.load(std::memory_order_acquire), msg, sizeof msg - 1);
    return;
  }
  pthread_detach(thread);
}
