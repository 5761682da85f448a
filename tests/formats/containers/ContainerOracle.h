#pragma once

// An independent encoder and decoder of the document containers for tests, built only
// from OpenSSL (Blowfish, SHA-1) and zlib, never from the engine's own classes. Files
// made here check the loaders; files decoded here check the writers.

#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/blowfish.h>
#include <openssl/sha.h>
#include <zlib.h>

#include <cstdint>
#include <stdexcept>
#include <string>

namespace container_oracle {

inline std::uint32_t LE32(const unsigned char* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

inline void PutLE32(unsigned char* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

// Blowfish-ECB with little-endian halves over the zero-padded data.
inline std::string BlowfishEcb(const std::string& key, std::string data, bool encrypt) {
  BF_KEY bk;
  BF_set_key(&bk, static_cast<int>(key.size()), reinterpret_cast<const unsigned char*>(key.data()));
  data.resize((data.size() + 7) / 8 * 8, '\0');
  for (std::size_t off = 0; off < data.size(); off += 8) {
    unsigned char* p = reinterpret_cast<unsigned char*>(&data[off]);
    BF_LONG half[2] = {LE32(p), LE32(p + 4)};
    if (encrypt)
      BF_encrypt(half, &bk);
    else
      BF_decrypt(half, &bk);
    PutLE32(p, half[0]);
    PutLE32(p + 4, half[1]);
  }
  return data;
}

// A zlib stream (zlib header) at level 4.
inline std::string Deflate(const std::string& in) {
  uLongf size = compressBound(static_cast<uLong>(in.size()));
  std::string out(size, '\0');
  if (compress2(reinterpret_cast<Bytef*>(&out[0]), &size,
                reinterpret_cast<const Bytef*>(in.data()), static_cast<uLong>(in.size()),
                4) != Z_OK)
    throw std::runtime_error("compress2 failed");
  out.resize(size);
  return out;
}

// Inflates one zlib stream; throws unless it ends cleanly.
inline std::string Inflate(const std::string& in) {
  z_stream zs{};
  if (inflateInit(&zs) != Z_OK) throw std::runtime_error("inflateInit failed");
  zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
  zs.avail_in = static_cast<uInt>(in.size());
  std::string out;
  char buf[16384];
  int rc;
  do {
    zs.next_out = reinterpret_cast<Bytef*>(buf);
    zs.avail_out = sizeof(buf);
    rc = inflate(&zs, Z_NO_FLUSH);
    out.append(buf, sizeof(buf) - zs.avail_out);
  } while (rc == Z_OK);
  inflateEnd(&zs);
  if (rc != Z_STREAM_END) throw std::runtime_error("zlib stream did not end cleanly");
  return out;
}

inline std::string Sha1(const std::string& data) {
  unsigned char md[SHA_DIGEST_LENGTH];
  SHA1(reinterpret_cast<const unsigned char*>(data.data()), data.size(), md);
  return std::string(reinterpret_cast<char*>(md), sizeof(md));
}

inline std::string BE64(std::uint64_t v) {
  std::string s(8, '\0');
  for (int i = 7; i >= 0; --i, v >>= 8) s[i] = static_cast<char>(v & 0xFF);
  return s;
}

inline std::uint64_t ReadBE64(const std::string& s, std::size_t off) {
  std::uint64_t v = 0;
  for (int i = 0; i < 8; ++i) v = (v << 8) | static_cast<unsigned char>(s.at(off + i));
  return v;
}

// An encrypted container of the given version (1, 2 or 3) holding html.
inline std::string MakeEnc(int version, const std::string& password, const std::string& html,
                           const std::string& reserved = std::string(8, '\0'),
                           const std::string& salt = "\x12\x34\x56\x78") {
  std::string out = "QUILLERY";
  if (version == 1) {
    out += Sha1(password) + reserved + BlowfishEcb(password, html, true);
    return out;
  }
  const std::string stream = Deflate(html);
  if (version == 2) {
    out += "enc2" + Sha1(password);
  } else {
    out += "enc3" + salt + Sha1(password + salt);
  }
  out += reserved + BE64(stream.size()) + BlowfishEcb(password, stream, true);
  return out;
}

// The HTML inside an encrypted container of version 3; throws when anything is off.
inline std::string DecodeEncV3(const std::string& file, const std::string& password) {
  if (file.compare(0, 12, "QUILLERYenc3") != 0) throw std::runtime_error("not a v3 container");
  if (file.substr(16, 20) != Sha1(password + file.substr(12, 4)))
    throw std::runtime_error("digest mismatch");
  const std::uint64_t n = ReadBE64(file, 44);
  const std::string payload = BlowfishEcb(password, file.substr(52), false);
  return Inflate(payload.substr(0, n));
}

// A compressed container holding html.
inline std::string MakeZlib(const std::string& html,
                            const std::string& reserved = std::string(8, '\0')) {
  const std::string stream = Deflate(html);
  return "QUILLERYzlib1" + reserved + BE64(stream.size()) + stream;
}

}  // namespace container_oracle
