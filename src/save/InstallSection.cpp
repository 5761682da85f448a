#include "save/InstallSection.h"

#include <atomic>

namespace quillery {
namespace {

// Open sections times 2, plus 1 while a stop waits for them: one word, so
// that a handler's "record unless none is open" and the closing of the last
// section cannot miss each other.
std::atomic<int> g_state{0};
std::atomic<bool> g_committed{false};
std::atomic<InstallSection::StopFunction> g_stop{nullptr};

static_assert(std::atomic<int>::is_always_lock_free, "used from a signal handler");
static_assert(std::atomic<bool>::is_always_lock_free, "used from a signal handler");

}  // namespace

InstallSection::InstallSection() : m_outermost(g_state.fetch_add(2) < 2) {
  // An install that begins (not one nested in another) has not committed.
  if (m_outermost) g_committed.store(false);
}

InstallSection::~InstallSection() {
  int state = g_state.load();
  // The last section takes a waiting stop with it.
  while (!g_state.compare_exchange_weak(state, state == 3 ? 0 : state - 2)) {
  }
  if (state != 3) return;
  if (StopFunction stop = g_stop.load()) stop(g_committed.load());
}

void InstallSection::Commit() {
  if (m_outermost) g_committed.store(true);
}

bool InstallSection::DeferStop() {
  int state = g_state.load();
  while (state >= 2 && !g_state.compare_exchange_weak(state, state | 1)) {
  }
  return state >= 2;
}

bool InstallSection::Committed() { return g_committed.load(); }

bool InstallSection::IsOpen() { return g_state.load() >= 2; }

void InstallSection::SetStopFunction(StopFunction stop) { g_stop.store(stop); }

}  // namespace quillery
