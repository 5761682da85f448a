// A failed database load or save gets the number of its cause, whichever
// statement meets it. Each cause is made for real: a heap limit, a
// file-size limit, another user, an encrypted file without its password,
// bytes overwritten.

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <fstream>
#include <string>

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

// A load of path, then for a writable one a save to the same file: the
// first result that is not success, else 0.
int LoadAndSave(const std::string& path, bool readOnly) {
  quillery::ClearFailureReason();
  NoteDocument doc;
  FormatIO_Sqlite fmt;
  fmt.SetDoc(doc);
  fmt.SetReadOnlyLoad(readOnly);
  int r = fmt.Load(path.c_str(), doc, -1);
  RecursiveTreeWalker walker(doc);
  if (r == DOC_LOAD_OK && !readOnly) r = fmt.Save(path.c_str(), walker);
  quillery::ClearFailureReason();
  return r;
}

TEST_F(SqliteLoadTest, FailuresGetTheNumberOfTheirCause) {
  // Notes with links and tags (texts fill most of the file), and the same at
  // format version 20, whose upgrade rebuilds the links table.
  const std::string sound = NewDb("sound.qydb");
  {
    RawDb db(sound);
    db.Exec("BEGIN");
    for (int i = 0; i < 200; ++i) {
      const std::string id = "N" + std::to_string(i), n = std::to_string(i);
      AddNote(db, id, "", i, "t", std::string(2000, 'x'));
      db.Exec("INSERT INTO links (note_id, lnk_length, target_url) VALUES ('" + id + "', 1, '" +
              std::string(200, 'u') + "')");
      db.Exec("INSERT INTO tags (tag_name) VALUES ('" + n + std::string(100, 't') + "')");
      db.Exec("INSERT INTO tags_notes (note_id, tag_id) VALUES ('" + id + "', " + n + " + 1)");
    }
    db.Exec("COMMIT");
  }
  const std::string older = CopyOf(sound, m_dir / "older.qydb");
  RawDb(older).Exec("ALTER TABLE links RENAME COLUMN lnk_length TO lnk_text");

  // Out of memory inside SQLite: 12. (The hard limit lowers the soft one.)
  const sqlite3_int64 soft = sqlite3_soft_heap_limit64(-1);
  const sqlite3_int64 hard = sqlite3_hard_heap_limit64(sqlite3_memory_used() + 1);
  EXPECT_EQ(LoadAndSave(CopyOf(sound, m_dir / "nomem.qydb"), false), DOC_LOAD_NO_MEMORY);
  sqlite3_hard_heap_limit64(hard);
  sqlite3_soft_heap_limit64(soft);

  // A full disk (a file-size limit) while an older file is upgraded in
  // place: 10, and the file as it was.
  {
    const std::string path = CopyOf(older, m_dir / "full.qydb"), bytes = Bytes(path);
    struct rlimit saved, limit;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    limit = saved;
    limit.rlim_cur = static_cast<rlim_t>(bytes.size());
    void (*handler)(int) = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
    EXPECT_EQ(LoadAndSave(path, false), DOC_SAVE_WRITE_ERROR);
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, handler);
    EXPECT_TRUE(Bytes(path) == bytes);
  }

  // A folder that may not be written (as another user when run as root):
  // no journal for the upgrade, no shared-memory file for a read of a file
  // with a write-ahead log (a library that reads it without one succeeds).
  {
    TempDir folder;
    const std::string upgrade = CopyOf(older, folder / "older.qydb"), wal = CopyOf(sound, folder / "wal.qydb");
    RawDb(wal).Exec("PRAGMA journal_mode=WAL");
    chmod(upgrade.c_str(), 0666);
    chmod(wal.c_str(), 0666);
    chmod(folder.Path().c_str(), 0555);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      if (getuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(99);
      const int read = LoadAndSave(wal, true);
      _exit(LoadAndSave(upgrade, false) * 10 + (read == DOC_LOAD_OK ? DOC_LOAD_PERMISSIONS : read));
    }
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, DOC_LOAD_PERMISSIONS * 11);
  }

  // An encrypted file's outline without a password: 3, as its load says.
  NoteDocument empty;
  quillery::TreeOutline outline;
  EXPECT_EQ(FormatIO_SqliteEnc().LoadOutline(sound.c_str(), empty, outline), DOC_LOAD_WRONG_PASSWORD);

  // A damaged page inside the tags table: 5, read-only or for writing.
  const std::string tags = CopyOf(sound, m_dir / "tags.qydb");
  const int root = atoi(RawDb(tags).Scalar("SELECT rootpage FROM sqlite_master WHERE name='tags'").c_str());
  const std::string junk(static_cast<size_t>(atoi(RawDb(tags).Scalar("PRAGMA page_size").c_str())), '\xee');
  const int fd = open(tags.c_str(), O_WRONLY);
  ASSERT_TRUE(root > 1 && fd >= 0);
  EXPECT_EQ(pwrite(fd, junk.data(), junk.size(), static_cast<off_t>(root - 1) * junk.size()),
            static_cast<ssize_t>(junk.size()));
  close(fd);
  for (bool readOnly : {false, true}) EXPECT_EQ(LoadAndSave(tags, readOnly), DOC_LOAD_FORMAT_ERROR) << readOnly;
}

// A file with a write-ahead log but without the index SQLite makes to read
// it (NAME-shm), in a folder its reader may not write (another user's, as
// the one when run as root): SQLite says only that it cannot open the
// file, and the cause is the folder: 6, as without the log.
TEST_F(SqliteLoadTest, ALogWithoutItsIndexInAFolderThatMayNotBeWrittenIs6) {
  const std::string sound = NewDb("sound.qydb");
  TempDir folder;
  const std::string logged = folder / "logged.qydb";
  {
    RawDb db(sound);
    AddNote(db, "A", "", 0, "A");
    db.Exec("PRAGMA journal_mode=WAL; UPDATE notes SET note_title='B'");
    // As the writer holds them: its close would move the log into the file.
    CopyOf(sound, logged);
    CopyOf(sound + "-wal", logged + "-wal");
  }
  ASSERT_GT(Bytes(logged + "-wal").size(), 0u);
  ASSERT_NE(access((logged + "-shm").c_str(), F_OK), 0);
  chmod(folder.Path().c_str(), 0555);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (getuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(99);
    _exit(LoadAndSave(logged, true) * 16 + LoadAndSave(logged, false));
  }
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, DOC_LOAD_PERMISSIONS * 17);
}

}  // namespace
}  // namespace quillery_test
