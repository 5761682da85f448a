#pragma once

// The host never writes its output file in place: it writes a temporary file
// beside the target (same folder, hidden, ending in the target's extension so
// that the format and the engine's naming rules are the target's), and
// renames it over the target only when the whole file is written. Until then
// the target is untouched; a temporary file that was not committed is
// removed by the destructor (and by the interrupt handler on a hard stop).

#include <string>

namespace quillery_host {

class TempOutput {
 public:
  explicit TempOutput(const std::string& target);
  ~TempOutput();
  TempOutput(const TempOutput&) = delete;
  TempOutput& operator=(const TempOutput&) = delete;

  const std::string& Path() const { return m_temp; }
  // Renames the temporary file over the target; 0, or the errno of the
  // failed rename (the temporary file is then removed).
  int Commit();

 private:
  std::string m_target;
  std::string m_temp;
  bool m_done = false;
};

}  // namespace quillery_host
