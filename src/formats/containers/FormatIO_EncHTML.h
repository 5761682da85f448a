#pragma once

// FormatIO_EncHTML: the password-protected native format (".qye", format 3). The
// native HTML text, compressed with zlib (versions 2 and 3), zero-padded to whole
// 8-byte blocks and enciphered with Blowfish in ECB mode, behind a header with a
// password check (integers big-endian):
//
//   version 3: "QUILLERY" | "enc3" | salt (4) | SHA-1(password, salt) (20) |
//              reserved (8) | stream size (8) | payload from offset 52
//   version 2: "QUILLERY" | "enc2" | SHA-1(password) (20) | reserved (8) |
//              stream size (8) | payload from offset 48
//   version 1: "QUILLERY" | SHA-1(password) (20) | reserved (8) | payload from 36
//              (the HTML itself, not compressed)
//
// Any 4 bytes after the magic other than "enc3" and "enc2" mean version 1, except
// "enc" and another byte: the tag of a version this program does not read, refused
// (5) without deciphering anything unless the password's version 1 digest happens to
// begin with those bytes. The cipher
// key is the password's bytes as given (no salt, no derivation: other readers of
// these files rely on it); the salt only varies the digest and comes from the
// system's cryptographic random source. This keeps casual readers out and nothing
// more: there is no integrity check beyond zlib's own.
//
// Loading reads file -> cipher -> zlib -> parser; a wrong password is found from the
// digest before any payload byte is deciphered. Saving runs the writer on the calling
// thread and hands its markup to a worker (io/IOLayerThread.h); the chunked deflate
// (io/IOLayerDeflateParallel.h, versions 2 and 3) passes its stream to a second
// worker, which enciphers and writes it; the stream size is patched last. A failed
// save leaves nothing behind: the model removes the temporary file it gave, and a
// file the object made itself is removed, an appended container cut off again. The
// object reads every version and writes the version of the file it last loaded (3
// for a new object), with that file's reserved bytes.
//
// Ownership: like the native format, the object keeps the loaded file open with a
// shared lock until its next load or its destruction; it does not keep the files it
// writes. The password is held only here and in the cipher, wiped on destruction and
// never logged.

#include <string>

#include "formats/native/FormatIOHtml.h"

class FormatIO_EncHTML : public FormatIO_HTML {
 public:
  static constexpr int kSaltSize = 4;

  FormatIO_EncHTML();
  ~FormatIO_EncHTML() override;

  void SetPassword(const char* password) override;
  // Appends the salt bytes, in file order, to password.
  static void SaltPassword(std::string& password, const unsigned char salt[kSaltSize]);

  // 0, 1 cancelled, 2 missing, 3 empty or wrong password, 5 not a readable container
  // (bad magic, the tag of an unknown version, short header, damaged payload, no
  // document inside), 7 unreadable,
  // 8 the inflate stream could not be set up, 12 out of memory.
  int Load(const char* path, NoteDocument& doc, int parentIdx) override;
  int Save(const char* path, RecursiveTreeWalker& walker) override;
  // 0, 1 cancelled, 4 cannot open, 7 empty password, no salt, a cipher that refused
  // the key or a failed seek, 10 a write failed, 12 out of memory.
  int Save(const char* path, RecursiveTreeWalker& walker, bool append);
  int GetFormat() override { return FORMAT_QYE; }
  bool IsEncrypted() override { return true; }
  // Writes the decoded markup of src into dst (created 0600: it is plain text). False
  // for an empty password, a wrong password, a short header, the tag of a version it
  // does not read (nothing is deciphered), a damaged payload, a version 1 text that its
  // load would refuse (one cut short: such a payload holds no length) or a failed
  // write; what decoded stays in dst for recovery.
  bool DumpFile(const char* src, const char* dst, const char* password) override;

  int m_nVersion;  // 1, 2 or 3
  std::string m_strPassword;
  unsigned char m_reserved[8];
};
