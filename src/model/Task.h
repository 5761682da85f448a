#pragma once

// A note's task: dates, priority, status, repeat code and alarm. A note
// carries a task when IsValid() is true; the readers raise that flag with
// SetValid as soon as they meet any task field.

#include <string>

#include "base/Timestamp.h"

class Task {
 public:
  bool IsValid() const { return m_bValid; }
  void SetValid(bool valid) { m_bValid = valid; }
  void Clear() { *this = Task(); }

  Timestamp dateCreated;
  Timestamp dateDue;
  Timestamp dateCompleted;
  Timestamp dateExpire;
  Timestamp dateLastAck;
  int nPriority = 0;
  int nStatus = 0;
  int nRepeat = 0;     // repeat code
  int nAlarmMode = 0;
  std::string strSoundPath;
  std::string strScriptPath;

 private:
  bool m_bValid = false;
};
