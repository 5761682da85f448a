#include "base/FaultPoint.h"

#include <atomic>

namespace quillery {
namespace {

std::atomic<FaultHook> g_hook{nullptr};

}  // namespace

void SetFaultHook(FaultHook hook) { g_hook.store(hook); }

void FaultPoint(const char* point) {
  if (FaultHook hook = g_hook.load(std::memory_order_acquire)) hook(point);
}

}  // namespace quillery
