// The page codec: the page cipher alone (two MD5s, an AES key schedule and the
// page's blocks per page), the password key derivation, and whole databases
// through the enciphering file layer beside the same work on a plain database:
// a bulk insert in one transaction, a cold full scan, and a re-key (which
// copies the database twice). Throughput is in database bytes per second.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "sqlite/access/CppSQLite3.h"
#include "sqlite/codec/PageCodec.h"

namespace {

std::string TempPath(const std::string& name) {
  const char* dir = getenv("TMPDIR");
  return std::string(dir && *dir ? dir : "/tmp") + "/qy_codec_bench." + std::to_string(getpid()) +
         name;
}

void RemoveDb(const std::string& path) {
  remove(path.c_str());
  remove((path + "-journal").c_str());
}

long long FileSize(const std::string& path) {
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) return 0;
  fseek(f, 0, SEEK_END);
  long long n = ftell(f);
  fclose(f);
  return n;
}

// rows rows of about 1 KB each, in one transaction.
void Fill(const std::string& path, const char* pw, int rows) {
  RemoveDb(path);
  CppSQLite3DB db;
  db.open(path.c_str());
  if (pw) db.setPassword(pw);
  db.execDML("CREATE TABLE t(id INTEGER PRIMARY KEY, body TEXT)");
  db.execDML("BEGIN");
  CppSQLite3Statement st = db.compileStatement("INSERT INTO t VALUES(?, ?)");
  std::string body(1000, 'n');
  for (int i = 0; i < rows; i++) {
    st.bind(1, i);
    st.bind(2, body.c_str());
    st.execDML();
  }
  st.finalize();
  db.execDML("COMMIT");
}

void BM_PageCipher(benchmark::State& state) {
  const int size = static_cast<int>(state.range(0));
  Codec* c = CodecCreate();
  CodecGenerateReadKey(c, "bench", 5);
  std::vector<unsigned char> page(static_cast<size_t>(size), 0x5a);
  uint32_t pgno = 1;
  for (auto _ : state) {
    CodecEncrypt(c, pgno++, page.data(), size, false);
    benchmark::DoNotOptimize(page.data());
  }
  sqlite3CodecFree(c);
  state.SetBytesProcessed(state.iterations() * size);
}
BENCHMARK(BM_PageCipher)->Arg(4096)->Arg(65536);

void BM_KeyDerivation(benchmark::State& state) {
  unsigned char key[16];
  for (auto _ : state) {
    CodecGenerateEncryptionKey("bench password", 14, key);
    benchmark::DoNotOptimize(key);
  }
}
BENCHMARK(BM_KeyDerivation);

void BM_Insert(benchmark::State& state) {
  const bool encrypted = state.range(0) != 0;
  const int rows = static_cast<int>(state.range(1));
  std::string path = TempPath(".insert");
  for (auto _ : state) Fill(path, encrypted ? "bench" : nullptr, rows);
  state.SetBytesProcessed(state.iterations() * FileSize(path));
  state.SetItemsProcessed(state.iterations() * rows);
  RemoveDb(path);
}
BENCHMARK(BM_Insert)->ArgNames({"encrypted", "rows"})->Args({0, 20000})->Args({1, 20000})
    ->Unit(benchmark::kMillisecond);

void BM_ColdScan(benchmark::State& state) {
  const bool encrypted = state.range(0) != 0;
  std::string path = TempPath(".scan");
  Fill(path, encrypted ? "bench" : nullptr, 20000);
  for (auto _ : state) {
    CppSQLite3DB db;
    db.open(path.c_str());
    if (encrypted) db.setPassword("bench");
    CppSQLite3Query q = db.execQuery("SELECT sum(length(body)) FROM t");
    benchmark::DoNotOptimize(q.getInt64Field(0));
  }
  state.SetBytesProcessed(state.iterations() * FileSize(path));
  RemoveDb(path);
}
BENCHMARK(BM_ColdScan)->ArgName("encrypted")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_ReKey(benchmark::State& state) {
  std::string path = TempPath(".rekey");
  Fill(path, "a", 20000);
  CppSQLite3DB db;
  db.open(path.c_str());
  db.setPassword("a");
  bool flip = false;
  for (auto _ : state) {
    db.changePassword(flip ? "a" : "b");
    flip = !flip;
  }
  state.SetBytesProcessed(state.iterations() * FileSize(path));
  db.close();
  RemoveDb(path);
}
BENCHMARK(BM_ReKey)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
