#include "base/Version.h"

namespace quillery {
const char* EngineName() { return "Quillery"; }
const char* EngineVersion() { return "0.1"; }
}  // namespace quillery
