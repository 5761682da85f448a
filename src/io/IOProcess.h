#pragma once

#include <cstdint>
#include <string>
#include <vector>

class IOLayerBase;

// IOProcess: an ordered chain of I/O stages through which a format streams a file.
//
// Read mode (1): the first stage pulls bytes from its source (normally a file) into
// the caller's buffer and every stage pushes its output on; the last stage hands the
// result to its sink (a parser callback). The caller repeats Read until `more` is false,
// then calls Finalize. Write mode (2): the caller pushes data into the first stage with
// Write/WriteString, then calls Finalize, which flushes every stage in order.
//
// Errors are sticky (see IOLayerBase): after the work, HasError() tells whether any
// stage failed; in write mode Write and Finalize also return -1 once one has.
//
// Ownership: the process owns its stages (pushed with new) and deletes them in
// CleanLayerList and in its destructor. Not copyable.
class IOProcess {
 public:
  explicit IOProcess(int mode);
  virtual ~IOProcess();
  IOProcess(const IOProcess&) = delete;
  IOProcess& operator=(const IOProcess&) = delete;

  // Takes ownership, links the stage after the current last one and initialises it
  // with the chain's mode.
  void PushLayer(IOLayerBase* layer);

  // Reads up to len bytes through the chain. Returns what the chain's end reported
  // (not the number of bytes read); `more` is true while the first stage still got
  // bytes from its source.
  int Read(char* buf, int len, bool& more);
  // Pushes len bytes into the first stage; 0 for an empty chain.
  int Write(const char* data, int len);
  // Write of a C string; null or "" gives 0 and writes nothing.
  int WriteString(const char* s);
  int WriteString(const std::string& s);
  // Flushes and finalises the whole chain; -1 when a stage failed.
  int Finalize();

  // True when any stage has failed (write or read error, corrupt or unfinished stream).
  bool HasError() const;
  // Why: the errno value of the first stage that failed (in write mode the first
  // stage carries the cause of a later one), ENOMEM when any stage ran out of
  // memory; 0 without a failure.
  int GetErrorCause() const;

  // The output buffer of the last stage that has one, or null.
  char* GetLastLayerData();
  int GetLayerCount() const { return int(m_layers.size()); }
  IOLayerBase* GetLayer(int i) const { return m_layers.at(size_t(i)); }
  int GetMode() const { return m_nMode; }
  // Sum of the positive results of Read.
  int64_t GetReadTotal() const { return m_nReadTotal; }

  // Deletes every stage and empties the chain.
  void CleanLayerList();

 private:
  int WriteLarge(const char* data, size_t len);

  int64_t m_nReadTotal;
  std::vector<IOLayerBase*> m_layers;
  int m_nMode;
};
