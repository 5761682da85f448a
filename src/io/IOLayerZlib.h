#pragma once

#include <zlib.h>

#include "io/IOLayerBase.h"

// IOLayerZlib: deflate (write mode, level 4, zlib header) or inflate (read mode, with
// the zlib header or raw) between two stages. Output leaves in pieces of up to 65,536
// bytes from its own buffer.
//
// The stream is started in Initialize (when the stage is pushed); a start-up error is
// kept as the last result (GetError) and the stage then refuses all input. In read mode
// the end of the compressed stream (Z_STREAM_END, after the Adler-32 check) is kept too:
// Process returns -1 for anything after it, so trailing bytes (cipher padding) are
// ignored. A corrupt stream, or one that has not reached its end when Finalize runs,
// marks the stage failed (HasError); IsStreamEnded tells whether the end was reached.
//
// The limit (SetLimit) caps the compressed input taken in read mode; -1 = none.
//
// Ownership: the z_stream is ended in Finalize, or in the destructor when Finalize never
// ran (error paths). Finalize is safe to call twice.
class IOLayerZlib : public IOLayerBase {
 public:
  // Large enough that inflate rarely stops for room: a small buffer makes zlib copy
  // every byte it produces into its window as well.
  static constexpr int kOutBufferSize = 64 * 1024;

  explicit IOLayerZlib(bool zlibHeader = true);
  ~IOLayerZlib() override;

  void Initialize(int mode) override;
  char* GetOutBuffer() override { return m_outBuffer; }
  int Process(char* data, int len) override;
  int Finalize() override;

  // The last zlib result: 0 while all is well, Z_STREAM_END once a read stream ended,
  // a negative zlib code after an error.
  int GetError() const { return m_nLastResult; }
  bool IsStreamEnded() const { return m_bStreamEnded; }

 private:
  // Runs deflate or inflate over the pending input; returns the bytes produced.
  int64_t RunLoop(int flush);
  void EndStream();

  bool m_bZlibHeader;
  z_stream m_stream;
  bool m_bInitialized;
  bool m_bStreamLive;  // init succeeded and the stream has not been ended
  bool m_bFinished;    // Finalize has run
  bool m_bStreamEnded;
  int m_nCompressionLevel;
  int m_nLastResult;
  char m_outBuffer[kOutBufferSize];
};
