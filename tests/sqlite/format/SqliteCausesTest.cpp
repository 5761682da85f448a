// A failed database load or save gets the number of its cause, whichever
// statement meets it: out of memory inside SQLite, a full disk, a folder
// that may not be written, an encrypted file without a password, a damaged
// page. Each cause is made for real (a heap limit, a file-size limit,
// another user, bytes overwritten), not simulated.

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <fstream>
#include <string>

#include "base/File64.h"
#include "model/RecursiveTreeWalker.h"
#include "save/SafeSave.h"
#include "sqlite/format/FormatIO_SqliteEnc.h"
#include "sqlite/format/SqliteContentCount.h"
#include "sqlite/format/SqliteLoadFixture.h"

namespace quillery_test {
namespace {

std::string CopyOf(const std::string& from, const std::string& to) {
  std::ofstream(to.c_str(), std::ios::binary | std::ios::trunc) << std::ifstream(from.c_str()).rdbuf();
  return to;
}

std::string Bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A load of path (read-only or for writing), then for a writable one a save
// to the same file; the first result that is not success, else 0.
int LoadAndSave(const std::string& path, bool readOnly) {
  quillery::ClearFailureReason();
  NoteDocument doc;
  FormatIO_Sqlite fmt;
  fmt.SetDoc(doc);
  fmt.SetReadOnlyLoad(readOnly);
  int r = fmt.Load(path.c_str(), doc, -1);
  if (r == DOC_LOAD_OK && !readOnly) {
    RecursiveTreeWalker walker(doc);
    r = fmt.Save(path.c_str(), walker);
  }
  quillery::ClearFailureReason();
  return r;
}

TEST_F(SqliteLoadTest, FailuresGetTheNumberOfTheirCause) {
  // Two hundred notes with links and tags; the notes' texts fill most of
  // the file.
  const std::string sound = NewDb("sound.qydb");
  {
    RawDb db(sound);
    db.Exec("BEGIN");
    for (int i = 0; i < 200; ++i) {
      const std::string id = "N" + std::to_string(i);
      AddNote(db, id, "", i, "t", std::string(2000, 'x'));
      db.Exec("INSERT INTO links (note_id, note_offset, lnk_length, target_url) VALUES ('" + id + "', 0, 1, '" +
              std::string(200, 'u') + "')");
      db.Exec("INSERT INTO tags (tag_name) VALUES ('tag " + std::to_string(i) + std::string(100, 't') + "')");
      db.Exec("INSERT INTO tags_notes (note_id, tag_id) VALUES ('" + id + "', " + std::to_string(i + 1) + ")");
    }
    db.Exec("COMMIT");
  }
  // The same at format version 20: the upgrade rebuilds the links table.
  const std::string older = CopyOf(sound, m_dir / "older.qydb");
  RawDb(older).Exec("ALTER TABLE links RENAME COLUMN lnk_length TO lnk_text");

  // Out of memory inside SQLite: 12.
  {
    // The hard limit lowers the soft one too: both are put back.
    const sqlite3_int64 soft = sqlite3_soft_heap_limit64(-1);
    const sqlite3_int64 hard = sqlite3_hard_heap_limit64(sqlite3_memory_used() + 1);
    const int r = LoadAndSave(CopyOf(sound, m_dir / "nomem.qydb"), false);
    sqlite3_hard_heap_limit64(hard);
    sqlite3_soft_heap_limit64(soft);
    EXPECT_EQ(r, DOC_LOAD_NO_MEMORY);
  }

  // A full disk while an older file is upgraded in place: a file-size limit
  // lets it grow by no byte. 10, and the file as it was.
  {
    const std::string path = CopyOf(older, m_dir / "full.qydb");
    const std::string bytes = Bytes(path);
    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    struct rlimit limit = saved;
    limit.rlim_cur = static_cast<rlim_t>(bytes.size());
    void (*oldHandler)(int) = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
    const int r = LoadAndSave(path, false);
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(r, DOC_SAVE_WRITE_ERROR);
    EXPECT_TRUE(Bytes(path) == bytes);
  }

  // A folder that may not be written (as another user when run as root):
  // SQLite can make no journal for the upgrade there, nor the shared-memory
  // file a read of a file with a write-ahead log needs. 6, not damaged.
  {
    TempDir folder;
    const std::string upgrade = CopyOf(older, folder / "older.qydb");
    const std::string wal = CopyOf(sound, folder / "wal.qydb");
    RawDb(wal).Exec("PRAGMA journal_mode=WAL");
    chmod(upgrade.c_str(), 0666);
    chmod(wal.c_str(), 0666);
    chmod(folder.Path().c_str(), 0555);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      if (getuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(99);
      const int upgraded = LoadAndSave(upgrade, false);
      const int read = LoadAndSave(wal, true);
      // The read succeeds where the library can read such a file without
      // its shared-memory file; it is never taken for damage.
      _exit(upgraded * 10 + (read == DOC_LOAD_OK ? DOC_LOAD_PERMISSIONS : read));
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), DOC_LOAD_PERMISSIONS * 11);
  }

  // An encrypted file's outline without a password: 3, as its load says.
  {
    NoteDocument doc;
    FormatIO_SqliteEnc enc;
    quillery::TreeOutline outline;
    EXPECT_EQ(enc.LoadOutline(sound.c_str(), doc, outline), DOC_LOAD_WRONG_PASSWORD);
  }

  // A damaged page inside the tags table: 5, for a load for writing and a
  // read-only one.
  {
    const std::string path = CopyOf(sound, m_dir / "tags.qydb");
    const int root = atoi(RawDb(path).Scalar("SELECT rootpage FROM sqlite_master WHERE name='tags'").c_str());
    const int pageSize = atoi(RawDb(path).Scalar("PRAGMA page_size").c_str());
    ASSERT_GT(root, 1);
    const int fd = open(path.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    const std::string junk(static_cast<size_t>(pageSize), '\xee');
    EXPECT_EQ(pwrite(fd, junk.data(), junk.size(), static_cast<off_t>(root - 1) * pageSize),
              static_cast<ssize_t>(junk.size()));
    close(fd);
    for (bool readOnly : {false, true}) EXPECT_EQ(LoadAndSave(path, readOnly), DOC_LOAD_FORMAT_ERROR) << readOnly;
  }
}

}  // namespace
}  // namespace quillery_test
