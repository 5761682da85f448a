#pragma once

// The page cipher of encrypted SQLite databases.
//
// Every page is enciphered whole (page 1 with SQLite's file header included)
// with AES-128 in CBC mode, without padding, under a key and an initialisation
// vector of its own: the page key is MD5(database key, page number, salt), the
// vector MD5 of four steps of L'Ecuyer's generator seeded with the page number.
// The database key comes from the password through the PDF password padding,
// MD5 and RC4. An enciphered page has exactly the size of the plain page.
//
// A Codec holds the keys of one keyed database file. Invariants: it is one
// sqlite3_malloc block (freed by sqlite3CodecFree) that owns its cipher
// context; while a database is keyed normally the read and the write key are
// equal; they differ only while the file is being re-keyed (no read key: a
// plain file is being enciphered; no write key: it is being deciphered). The
// page size is the one of the file the codec serves, set by the file layer.
// A codec works until the process ends, also in a file closed at exit after
// static storage made later is gone: OpenSSL is kept from freeing its state
// in an exit handler (the process sets that up before main).

#include <cstdint>

constexpr int kCodecMaxPageSize = 65536;
constexpr int kCodecKeySize = 16;

// Page operations, numbered as SQLite's pager numbers them.
constexpr int kCodecOpRead = 3;          // a page just read: decipher in place
constexpr int kCodecOpWriteDb = 6;       // a page going to the database file
constexpr int kCodecOpWriteJournal = 7;  // a page going to a journal

struct Codec {
  int encrypted;
  int hasReadKey;
  unsigned char readKey[kCodecKeySize];
  int hasWriteKey;
  unsigned char writeKey[kCodecKeySize];
  void* cipher;  // EVP_CIPHER_CTX*, owned
  int pageSize;  // stands in for the btree: the file's current page size
  unsigned char pageBuffer[kCodecMaxPageSize];
};

// A new codec (flags clear, no keys), or null when out of memory.
Codec* CodecCreate();
void CodecInit(Codec* codec);
void CodecTerm(Codec* codec);

void CodecSetIsEncrypted(Codec* codec, int encrypted);
void CodecSetHasReadKey(Codec* codec, int has);
void CodecSetHasWriteKey(Codec* codec, int has);
void CodecSetPageSize(Codec* codec, int pageSize);
int CodecIsEncrypted(const Codec* codec);
int CodecHasReadKey(const Codec* codec);
int CodecHasWriteKey(const Codec* codec);
int CodecGetPageSize(const Codec* codec);
unsigned char* CodecGetPageBuffer(Codec* codec);
// Flags, both keys and the page size from other; the cipher context is reset.
void CodecCopy(Codec* codec, const Codec* other);
// toWrite: read key -> write key; otherwise write key -> read key.
void CodecCopyKey(Codec* codec, bool toWrite);

void CodecPadPassword(const void* password, int nKey, unsigned char padded[32]);
void CodecGenerateEncryptionKey(const void* password, int nKey, unsigned char key[kCodecKeySize]);
void CodecGenerateReadKey(Codec* codec, const void* password, int nKey);
void CodecGenerateWriteKey(Codec* codec, const void* password, int nKey);
void CodecGenerateInitialVector(uint32_t pgno, unsigned char iv[16]);
void CodecGetMD5Binary(const unsigned char* data, int length, unsigned char digest[16]);
// RC4 over data in place.
void CodecRC4(const unsigned char* key, int keyLength, unsigned char* data, int length);
// AES-128-CBC over length bytes (a multiple of 16) in place with the page key
// and vector of pgno derived from key. False when the cipher fails.
bool CodecAES(Codec* codec, uint32_t pgno, bool encrypt, const unsigned char key[kCodecKeySize],
              unsigned char* data, int length);
bool CodecEncrypt(Codec* codec, uint32_t pgno, unsigned char* data, int length, bool useWriteKey);
// Always with the read key. A prefix of a page (whole blocks) deciphers alone.
bool CodecDecrypt(Codec* codec, uint32_t pgno, unsigned char* data, int length);

// The page transform: returns the buffer to use (the page itself, deciphered
// in place, for reads; an enciphered copy in the codec's page buffer for
// writes, valid until the next call). A null or plain codec changes nothing.
void* sqlite3Codec(void* codec, void* page, uint32_t pgno, int op);
void sqlite3CodecSizeChange(void* codec, int pageSize, int nReserve);
void sqlite3CodecFree(void* codec);

struct sqlite3;

// Keys database nDb of db (0 = main). With a key: a new codec with both keys
// derived from it. Without a key but with nKey > 0 for an attached database:
// the main database's keys, when it is encrypted. Otherwise nothing.
// SQLITE_OK, or SQLITE_MISUSE when the database is no file of the codec's
// file layer (keying it would silently leave it plain).
int sqlite3CodecAttach(sqlite3* db, int nDb, const void* key, int nKey);
// Never hands out key bytes: *key = null, *nKey = 1 when the main database is
// encrypted, else 0.
void sqlite3CodecGetKey(sqlite3* db, int nDb, void** key, int* nKey);
