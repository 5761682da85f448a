#pragma once

#include "io/IOLayerBase.h"

// IOLayerRedirect: the sink at the end of a read chain. It hands every piece it gets to
// a callback and returns len; it forwards nothing and counts nothing. The HTML
// parser supplies its own callback (ParseRedirector), so this stage knows no parser.
//
// Ownership: the user pointer is not owned; it must outlive the chain's use.
class IOLayerRedirect : public IOLayerBase {
 public:
  using Callback = void (*)(const char* data, int len, void* user);

  IOLayerRedirect();
  ~IOLayerRedirect() override;

  void SetCallback(Callback callback, void* user);

  char* GetOutBuffer() override { return nullptr; }
  int Process(char* data, int len) override;
  int Finalize() override { return 0; }

 private:
  Callback m_pCallback;
  void* m_pUser;
};

// Writes the piece to the File64 `user` points to; a failed write stays in that file's
// sticky error (File64::HasError).
void DumpRedirector(const char* data, int len, void* user);
