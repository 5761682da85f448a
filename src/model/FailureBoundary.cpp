#include "model/FailureBoundary.h"

#include <exception>
#include <new>
#include <string>

#include "base/Log.h"
#include "save/SafeSave.h"
#include "model/FormatIO_Base.h"

namespace quillery {

int CaughtFailure(const char* where, int otherResult) noexcept {
  static_assert(int(DOC_LOAD_NO_MEMORY) == int(DOC_SAVE_NO_MEMORY), "one code for memory on load and save");
  int result = otherResult;
  const char* what = "unknown exception";
  try {
    throw;  // the exception being handled, to tell its kind
  } catch (const std::bad_alloc&) {
    result = DOC_SAVE_NO_MEMORY;
    what = "out of memory";
  } catch (const std::exception& e) {
    what = e.what();
  } catch (...) {
  }
  // Reporting needs a little memory of its own; without it the code alone
  // has to do.
  try {
    xLog(LOG_ERROR, "%s failed: %s\n", where, what);
    SetFailureReason(result == DOC_SAVE_NO_MEMORY ? std::string("out of memory")
                                                  : std::string("unexpected failure: ") + what);
  } catch (...) {
  }
  return result;
}

}  // namespace quillery
