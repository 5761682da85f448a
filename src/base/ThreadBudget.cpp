#include "base/ThreadBudget.h"

#include <algorithm>
#include <atomic>
#include <thread>

namespace quillery {
namespace {

std::atomic<int> g_cap{0};    // 0: the machine's count
std::atomic<int> g_taken{0};  // workers held by shares

int Workers() { return ThreadBudget() - 1; }

}  // namespace

int ThreadBudget() {
  const int cap = g_cap.load();
  if (cap > 0) return cap;
  return std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
}

void SetThreadBudget(int threads) { g_cap.store(threads > 0 ? threads : 0); }

int FreeWorkerThreads() { return std::max(0, Workers() - g_taken.load()); }

int ThreadShare::Take(int wanted) {
  if (wanted <= 0) return 0;
  int taken = g_taken.load();
  int granted = 0;
  do {
    granted = std::min(wanted, std::max(0, Workers() - taken));
    if (granted == 0) return 0;
  } while (!g_taken.compare_exchange_weak(taken, taken + granted));
  m_count += granted;
  return granted;
}

void ThreadShare::Give(int count) {
  count = std::min(count, m_count);
  if (count <= 0) return;
  m_count -= count;
  g_taken.fetch_sub(count);
}

}  // namespace quillery
