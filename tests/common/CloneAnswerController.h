#pragma once

// A host that gives one fixed answer to the clone-conversion question of a
// save and counts how often it was asked.

#include "model/GuiControllerBase.h"

namespace quillery_test {

class CloneAnswerController : public GuiControllerBase {
 public:
  explicit CloneAnswerController(int answer) : m_answer(answer) {}
  int ConvertClonesOnSave(const char*) override {
    ++asked;
    return m_answer;
  }
  int asked = 0;

 private:
  int m_answer;
};

}  // namespace quillery_test
