// The host with the SQLite document formats: converting between the native
// HTML document and plain or encrypted databases keeps the document; the
// encrypted database needs its password; dump writes it as a plain database.

#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "HostRunner.h"
#include "common/RawSqlite.h"
#include "common/TempDir.h"
#include "sqlite/codec/CodecVfs.h"
#include "sqlite/codec/SqliteCodecApi.h"

using namespace quillery_test;

namespace {

TEST(HostSqlite, ConvertThroughDatabasesKeepsTheDocument) {
  TempDir t;
  ASSERT_EQ(RunHost(t.Path(), {"generate", "300", t / "origin.qyd"}).status, 0);
  // A chain that enters, moves between and leaves both database formats.
  const std::vector<std::string> chain = {"origin.qyd", "a.qydb", "b.qyde", "c.qydb", "d.qydb",
                                          "e.qyd",      "f.qyde", "g.qyde", "h.qyd"};
  for (size_t i = 1; i < chain.size(); ++i) {
    HostRun r = RunHost(t.Path(), WithPassword(t.Path(), {"-q", "--keep-id", "convert", t / chain[i - 1], t / chain[i]}));
    ASSERT_EQ(r.status, 0) << chain[i - 1] << " -> " << chain[i] << ": " << r.err;
    EXPECT_TRUE(r.err.empty()) << r.err;
    r = RunHost(t.Path(), WithPassword(t.Path(), {"compare", t / "origin.qyd", t / chain[i]}));
    EXPECT_EQ(r.out, "equal: 300 notes\n") << chain[i] << ": " << r.out << r.err;
  }
  // Without --keep-id a copy is a document of its own: only its UID differs.
  ASSERT_EQ(RunHost(t.Path(), {"-q", "convert", t / "a.qydb", t / "copy.qydb"}).status, 0);
  EXPECT_NE(RunHost(t.Path(), {"compare", t / "a.qydb", t / "copy.qydb"}).out, "equal: 300 notes\n");
  EXPECT_EQ(RunHost(t.Path(), {"--ignore-uid", "compare", t / "a.qydb", t / "copy.qydb"}).out, "equal: 300 notes\n");
  // No temporary file or journal is left beside the outputs.
  DIR* d = opendir(t.Path().c_str());
  ASSERT_TRUE(d);
  while (const dirent* e = readdir(d)) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    EXPECT_NE(name[0], '.') << name;
    EXPECT_EQ(name.find("-journal"), std::string::npos) << name;
  }
  closedir(d);
  EXPECT_EQ(ReadAll(t / "b.qyde").find("SQLite format 3"), std::string::npos);
  EXPECT_EQ(ReadAll(t / "a.qydb").find("SQLite format 3"), 0u);
}

TEST(HostSqlite, EncryptedDatabaseNeedsItsPassword) {
  TempDir t;
  ASSERT_EQ(RunHost(t.Path(), {"generate", "60", t / "a.qyd"}).status, 0);
  ASSERT_EQ(RunHost(t.Path(), WithPassword(t.Path(), {"--keep-id", "convert", t / "a.qyd", t / "a.qyde"})).status, 0);
  const std::string before = ReadAll(t / "a.qyde");

  WriteFile(t / "wrong", "incorrect horse\n");
  HostRun r = RunHost(t.Path(), {"--password-file", t / "wrong", "convert", t / "a.qyde", t / "b.qyd"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(LineCount(r.err), 1) << r.err;
  EXPECT_NE(r.err.find("wrong or empty password (3)"), std::string::npos) << r.err;
  EXPECT_FALSE(Exists(t / "b.qyd"));
  WriteFile(t / "empty", "");
  r = RunHost(t.Path(), {"--password-file", t / "empty", "convert", t / "a.qyde", t / "b.qyd"});
  EXPECT_EQ(r.status, 1);
  EXPECT_FALSE(Exists(t / "b.qyd"));
  EXPECT_EQ(ReadAll(t / "a.qyde"), before);

  r = RunHost(t.Path(), WithPassword(t.Path(), {"info", t / "a.qyde"}));
  ASSERT_EQ(r.status, 0) << r.err;
  for (const char* piece : {"format:          encrypted SQLite document (.qyde)", "encrypted:       yes",
                            "notes:           60 in", "format version:  21"})
    EXPECT_NE(r.out.find(piece), std::string::npos) << piece << " in\n" << r.out;
  // Read without loading the notes (the tree alone; the contents counted on
  // a second connection, keyed like the first): what the document shows.
  const auto summary = [](const std::string& out) {
    const size_t from = out.find("notes:");
    return out.substr(from, out.find('\n', out.find("UID:")) - from);
  };
  const HostRun native = RunHost(t.Path(), {"info", t / "a.qyd"});
  ASSERT_EQ(native.status, 0);
  EXPECT_EQ(summary(r.out), summary(native.out));
  r = RunHost(t.Path(), {"formats"});
  EXPECT_NE(r.out.find(".qydb\t15\tdocument\tSQLite document (.qydb)"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(".qyde\t16\tdocument\tencrypted SQLite document (.qyde)"), std::string::npos) << r.out;
}

TEST(HostSqlite, DumpWritesAPlainDatabase) {
  TempDir t;
  ASSERT_EQ(RunHost(t.Path(), {"generate", "80", t / "a.qyd"}).status, 0);
  ASSERT_EQ(RunHost(t.Path(), WithPassword(t.Path(), {"--keep-id", "convert", t / "a.qyd", t / "a.qyde"})).status, 0);
  HostRun r = RunHost(t.Path(), WithPassword(t.Path(), {"dump", t / "a.qyde", t / "plain.qydb"}));
  ASSERT_EQ(r.status, 0) << r.err;
  r = RunHost(t.Path(), {"compare", t / "a.qyd", t / "plain.qydb"});
  EXPECT_EQ(r.out, "equal: 80 notes\n") << r.err;

  // Never onto its own input.
  const std::string encrypted = ReadAll(t / "a.qyde");
  r = RunHost(t.Path(), WithPassword(t.Path(), {"dump", t / "a.qyde", t / "a.qyde"}));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("it is the input file"), std::string::npos) << r.err;
  EXPECT_EQ(ReadAll(t / "a.qyde"), encrypted);

  WriteFile(t / "wrong", "nope");
  r = RunHost(t.Path(), {"--password-file", t / "wrong", "dump", t / "a.qyde", t / "x.qydb"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(LineCount(r.err), 1) << r.err;
  EXPECT_FALSE(Exists(t / "x.qydb"));

  // A file that is no database is reported, and nothing is written.
  std::string junk(8192, '\0');
  for (size_t i = 0; i < junk.size(); ++i) junk[i] = static_cast<char>(i * 131 + 7);
  WriteFile(t / "junk.qydb", junk);
  r = RunHost(t.Path(), {"convert", t / "junk.qydb", t / "out.qyd"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("cannot load " + (t / "junk.qydb")), std::string::npos) << r.err;
  EXPECT_FALSE(Exists(t / "out.qyd"));
  EXPECT_EQ(ReadAll(t / "junk.qydb"), junk);
}


TEST(HostSqlite, DamagedOrEmptyDatabasesAreRefusedAndLeftAsTheyAre) {
  TempDir t;
  ASSERT_EQ(RunHost(t.Path(), {"-q", "generate", "300", t / "t.qydb"}).status, 0);
  std::string bytes = ReadAll(t / "t.qydb");
  bytes.resize(bytes.size() - 100);  // the end of the file is lost
  WriteFile(t / "t.qydb", bytes);
  WriteFile(t / "empty.qydb", "");
  const std::vector<std::vector<std::string>> calls = {{"convert", t / "t.qydb", t / "out.qyd"},
                                                       {"convert", t / "t.qydb", t / "out.qydb"},
                                                       {"info", t / "empty.qydb"}};
  for (const std::vector<std::string>& args : calls) {
    HostRun r = RunHost(t.Path(), args);
    EXPECT_EQ(r.status, 1) << args[1];
    EXPECT_EQ(LineCount(r.err), 1) << r.err;
  }
  EXPECT_FALSE(Exists(t / "out.qyd") || Exists(t / "out.qydb"));
  EXPECT_TRUE(ReadAll(t / "t.qydb") == bytes);
  EXPECT_EQ(ReadAll(t / "empty.qydb"), "");
}

// A file of a few bytes holds no database, nor one enciphered page: every
// command says it is no document, writes nothing and leaves it as it was.
// (SQLite reads one byte as an empty database, which a load would make a
// new document, and a few enciphered bytes as a wrong key.)
TEST(HostSqlite, AFileTooShortForOnePageIsNoDocument) {
  TempDir t;
  const std::string g = t / "g.qyde";
  ASSERT_EQ(RunHost(t.Path(), WithPassword(t.Path(), {"-q", "generate", "20", g})).status, 0);
  WriteFile(t / "one.qydb", "x");
  WriteFile(t / "one.qyde", "x");
  WriteFile(t / "cut.qyde", ReadAll(g).substr(0, 17));
  for (const std::string name : {"one.qydb", "one.qyde", "cut.qyde"}) {
    const std::string f = t / name, before = ReadAll(f);
    std::vector<std::vector<std::string>> calls = {
        {"info", f}, {"compare", f, g}, {"-q", "convert", f, f}, {"-q", "convert", f, t / "out.qyd"}};
    if (name.back() == 'e') calls.push_back({"dump", f, t / "out.qydb"});
    for (const std::vector<std::string>& args : calls) {
      const HostRun r = RunHost(t.Path(), WithPassword(t.Path(), args));
      EXPECT_EQ(r.status, args[0] == "compare" ? 2 : 1) << args[0] << " " << name;
      EXPECT_EQ(r.err, "cannot " + std::string(args[0] == "dump" ? "dump " : "load ") + f +
                           ": not a valid document of its format (damaged or of another kind) (5)\n");
    }
    EXPECT_TRUE(ReadAll(f) == before) << name;
  }
  EXPECT_FALSE(Exists(t / "out.qyd") || Exists(t / "out.qydb"));
}

// A database that holds tables but not the document's notes table (renamed,
// dropped, or another program's database) is no document: it is neither
// read as an empty one nor given the document's tables beside its own.
TEST(HostSqlite, ADatabaseWithTablesButNoNotesTableIsNoDocument) {
  TempDir t;
  const std::string g = t / "g.qydb";
  ASSERT_EQ(RunHost(t.Path(), {"-q", "generate", "20", g}).status, 0);
  const std::pair<std::string, std::string> files[] = {{"renamed.qydb", "ALTER TABLE notes RENAME TO notes_old"},
                                                       {"dropped.qydb", "DROP TABLE notes"},
                                                       {"other.qydb", ""}};
  for (const auto& file : files) {
    const std::string f = t / file.first;
    if (file.second.empty()) {
      ASSERT_EQ(RawSqlite(f).Exec("CREATE TABLE t (a); INSERT INTO t VALUES (1)"), "");
    } else {
      WriteFile(f, ReadAll(g));
      ASSERT_EQ(RawSqlite(f).Exec(file.second), "");
    }
    const std::string before = ReadAll(f);
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"info", f}, {"compare", f, g}, {"-q", "convert", f, f}}) {
      const HostRun r = RunHost(t.Path(), args);
      EXPECT_EQ(r.status, args[0] == "compare" ? 2 : 1) << args[0] << " " << file.first;
      EXPECT_EQ(r.err, "cannot load " + f + ": not a valid document of its format (damaged or of another kind) (5)\n");
    }
    EXPECT_TRUE(ReadAll(f) == before) << file.first;
  }
}

// The load reads on past what it cannot read (a note row without its ID, an
// index whose page is overwritten; a table read only when the notes are),
// but the commands do not hide it: nothing is written of such a document,
// onto itself neither (the file stays byte-identical); compare calls it
// trouble; info shows what it read and says the file is damaged. A dump
// copies pages and refuses a page that does not read.
TEST(HostSqlite, ADatabaseThatDoesNotReadWholeIsReportedAndNothingIsWritten) {
  TempDir t;
  const std::string good = t / "good.qydb", noId = t / "noid.qydb", page = t / "page.qydb", enc = t / "e.qyde";
  ASSERT_EQ(RunHost(t.Path(), {"-q", "generate", "300", good}).status, 0);
  ASSERT_EQ(RunHost(t.Path(), WithPassword(t.Path(), {"-q", "--keep-id", "convert", good, enc})).status, 0);
  ASSERT_EQ(RunHost(t.Path(), WithPassword(t.Path(), {"-q", "dump", enc, t / "plain.qydb"})).status, 0);
  WriteFile(noId, ReadAll(good));
  ASSERT_EQ(RawSqlite(noId).Exec("UPDATE notes SET note_id='' WHERE note_id=(SELECT note_id FROM notes_tree WHERE "
                                 "note_pid!='' LIMIT 1)"),
            "");
  // The root page of a table or index, overwritten with zeros.
  const auto zeroRoot = [](const std::string& layout, const std::string& name, const std::string& from,
                           const std::string& to) {
    RawSqlite db(layout);
    const size_t size = std::stoul(db.Scalar("PRAGMA page_size"));
    const size_t root = std::stoul(db.Scalar("SELECT rootpage FROM sqlite_master WHERE name='" + name + "'"));
    std::string bytes = ReadAll(from);
    bytes.replace((root - 1) * size, size, size, '\0');
    WriteFile(to, bytes);
  };
  zeroRoot(good, "formatting", good, page);
  zeroRoot(t / "plain.qydb", "sqlite_autoindex_bookmarks_1", enc, enc);

  const std::string unread = ": a part of the document could not be read (damaged file?) (17)\n";
  for (const std::string& f : {noId, page, enc}) {
    const std::string before = ReadAll(f);
    HostRun r = RunHost(t.Path(), WithPassword(t.Path(), {"-q", "convert", f, f}));
    EXPECT_EQ(r.status, 1) << f;
    EXPECT_EQ(r.err, "cannot save " + f + unread);
    EXPECT_TRUE(ReadAll(f) == before) << f;
    EXPECT_FALSE(Exists(f + "-journal")) << f;
    r = RunHost(t.Path(), WithPassword(t.Path(), {"-q", "convert", f, t / "out.qyd"}));
    EXPECT_EQ(r.err, "cannot save " + (t / "out.qyd") + unread);
    EXPECT_FALSE(Exists(t / "out.qyd")) << f;
    r = RunHost(t.Path(), WithPassword(t.Path(), {"-q", "--ignore-uid", "compare", good, f}));
    EXPECT_EQ(r.status, 2) << f;
    EXPECT_EQ(r.err, "cannot load " + f + ": the file is damaged: a part of it could not be read (5)\n");
  }
  HostRun r = RunHost(t.Path(), {"info", noId});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("notes:           299 in"), std::string::npos) << r.out;
  EXPECT_EQ(r.err, "cannot load " + noId + ": the file is damaged: a part of it could not be read (5)\n");
  const std::string encrypted = ReadAll(enc);
  r = RunHost(t.Path(), WithPassword(t.Path(), {"dump", enc, t / "out.qydb"}));
  EXPECT_EQ(r.err, "cannot dump " + (t / "out.qydb") + unread);
  EXPECT_FALSE(Exists(t / "out.qydb"));
  EXPECT_TRUE(ReadAll(enc) == encrypted);
  // What reads whole still does.
  EXPECT_EQ(RunHost(t.Path(), {"-q", "convert", good, good}).status, 0);
}

// Keys a connection to an encrypted database (before its first read).
void Key(RawSqlite& db, const std::string& key) {
  ASSERT_EQ(sqlite3_key(db.handle(), key.data(), static_cast<int>(key.size())), SQLITE_OK);
}

// Makes the index of the links' note IDs hold the links of even row IDs
// only, while its definition still names every link: every page reads, and
// SQLite reads the index without an error.
void KeepHalfOfTheLinksIndex(const std::string& path, const std::string& key = "") {
  quillery::CodecVfsRegister();
  RawSqlite db(path);
  if (!key.empty()) Key(db, key);
  ASSERT_EQ(db.Exec("DROP INDEX IDX_LINKS; CREATE INDEX [IDX_LINKS] ON [links]([note_id] DESC) WHERE lnk_id%2=0; "
                    "PRAGMA writable_schema=ON; UPDATE sqlite_master SET sql='CREATE INDEX [IDX_LINKS] ON "
                    "[links]([note_id] DESC)' WHERE name='IDX_LINKS'"),
            "");
}

// Gives the notes' key index (of their IDs) the pages of an index that
// holds the notes of even row IDs only.
void KeepHalfOfTheNoteKeyIndex(const std::string& path) {
  {
    RawSqlite db(path);
    ASSERT_EQ(db.Exec("CREATE UNIQUE INDEX half ON notes(note_id) WHERE rowid%2=0"), "");
    const std::string keyRoot = db.Scalar("SELECT rootpage FROM sqlite_master WHERE name='sqlite_autoindex_notes_1'");
    const std::string halfRoot = db.Scalar("SELECT rootpage FROM sqlite_master WHERE name='half'");
    ASSERT_EQ(db.Exec("PRAGMA writable_schema=ON; UPDATE sqlite_master SET rootpage=" + halfRoot +
                      " WHERE name='sqlite_autoindex_notes_1'; UPDATE sqlite_master SET rootpage=" + keyRoot +
                      " WHERE name='half'"),
              "");
  }
  ASSERT_EQ(RawSqlite(path).Exec("DROP INDEX half"), "");
}

// An index that lost entries (of a per-note table, or the notes' own key)
// hides their rows from every read through it, without an error: it is a
// part that does not read. Indexes another program added, a partial one
// among them, are no damage.
TEST(HostSqlite, AnIndexThatLostEntriesIsAPartThatDoesNotRead) {
  TempDir t;
  const std::string good = t / "good.qydb", links = t / "links.qydb", key = t / "key.qydb", added = t / "added.qydb";
  ASSERT_EQ(RunHost(t.Path(), {"-q", "generate", "300", good}).status, 0);
  for (const std::string& f : {links, key, added}) WriteFile(f, ReadAll(good));
  KeepHalfOfTheLinksIndex(links);
  KeepHalfOfTheNoteKeyIndex(key);
  ASSERT_EQ(RawSqlite(key).Scalar("SELECT count(*) FROM notes"), "150");
  ASSERT_EQ(RawSqlite(added).Exec("CREATE INDEX mine ON links(target_url, note_id); "
                                  "CREATE INDEX part ON attachments(note_id) WHERE att_id%2=0"),
            "");

  const std::string unread = ": a part of the document could not be read (damaged file?) (17)\n";
  const std::string damaged = ": the file is damaged: a part of it could not be read (5)\n";
  for (const std::string& f : {links, key}) {
    const std::string before = ReadAll(f);
    HostRun r = RunHost(t.Path(), {"-q", "convert", f, f});
    EXPECT_EQ(r.err, "cannot save " + f + unread);
    EXPECT_TRUE(ReadAll(f) == before) << f;
    r = RunHost(t.Path(), {"-q", "convert", f, t / "out.qyd"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "cannot save " + (t / "out.qyd") + unread);
    EXPECT_FALSE(Exists(t / "out.qyd"));
    r = RunHost(t.Path(), {"-q", "--ignore-uid", "compare", good, f});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "cannot load " + f + damaged);
    r = RunHost(t.Path(), {"info", f});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "cannot load " + f + damaged);
  }
  const HostRun r = RunHost(t.Path(), {"--ignore-uid", "compare", good, added});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(RunHost(t.Path(), {"-q", "convert", added, added}).status, 0);
}

// A dump copies only what SQLite's full check passes: an index that lost
// entries, though every page reads, is damage, and nothing is written.
TEST(HostSqlite, ADumpCopiesOnlyWhatTheFullCheckPasses) {
  TempDir t;
  const std::string enc = t / "e.qyde";
  ASSERT_EQ(RunHost(t.Path(), {"-q", "generate", "300", t / "p.qydb"}).status, 0);
  ASSERT_EQ(RunHost(t.Path(), WithPassword(t.Path(), {"-q", "convert", t / "p.qydb", enc})).status, 0);
  KeepHalfOfTheLinksIndex(enc, "correct horse");
  {
    RawSqlite db(enc);
    Key(db, "correct horse");
    ASSERT_EQ(db.Scalar("PRAGMA quick_check"), "ok");
  }
  const std::string before = ReadAll(enc);
  const HostRun r = RunHost(t.Path(), WithPassword(t.Path(), {"dump", enc, t / "out.qydb"}));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "cannot dump " + (t / "out.qydb") + ": a part of the document could not be read (damaged file?) (17)\n");
  EXPECT_FALSE(Exists(t / "out.qydb"));
  EXPECT_TRUE(ReadAll(enc) == before);
}

TEST(HostSqlite, ReadOnlyCommandsLeaveTheirDatabasesByteIdentical) {
  TempDir t;
  const std::string a = t / "a.qydb";
  ASSERT_EQ(RunHost(t.Path(), {"-q", "generate", "30", a}).status, 0);
  {  // A writer dies with half of its change in the file: a hot journal.
    RawSqlite w(a);
    ASSERT_EQ(w.Exec("PRAGMA cache_size=1; BEGIN; UPDATE notes SET note_text=randomblob(900)"), "");
    WriteFile(t / "hot.qydb", ReadAll(a));
    WriteFile(t / "hot.qydb-journal", ReadAll(a + "-journal"));
  }
  // An older format version; the current one without the indexes a writable open adds.
  WriteFile(t / "v20.qydb", ReadAll(a));
  WriteFile(t / "v21.qydb", ReadAll(a));
  ASSERT_EQ(RawSqlite(t / "v20.qydb").Exec("ALTER TABLE links DROP COLUMN lnk_length"), "");
  ASSERT_EQ(RawSqlite(t / "v21.qydb").Exec("DROP INDEX IDX_ANCHORS; DROP INDEX IDX_CUSTOM_PROPERTIES"), "");
  const std::vector<std::string> files = {"v20.qydb", "v21.qydb", "hot.qydb", "hot.qydb-journal"};
  std::vector<std::string> bytes;
  for (const std::string& f : files) bytes.push_back(ReadAll(t / f));
  for (const std::string f : {"v20", "v21", "hot"}) {
    const std::string p = t / (f + ".qydb");
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"info", p}, {"compare", p, a}, {"convert", p, t / "out.qyd"}}) {
      const HostRun r = RunHost(t.Path(), args);
      const std::string why = f == "v21" ? "" : f == "v20" ? "older format version (20)" : "(a hot journal)";
      EXPECT_EQ(r.status, why.empty() ? 0 : args[0] == "compare" ? 2 : 1) << args[0] << " " << f << r.err;
      EXPECT_NE(r.err.find(why), std::string::npos) << r.err;
      unlink((t / "out.qyd").c_str());
    }
  }
  for (size_t i = 0; i < files.size(); ++i) EXPECT_TRUE(ReadAll(t / files[i]) == bytes[i]) << files[i];
}

// Converting a database of an older format version onto itself needs the
// upgrade: a file its user may not write is refused as a target that is
// not writable, before it is loaded, and stays as it was.
TEST(HostSqlite, AReadOnlyOldDatabaseIsNotConvertedOntoItself) {
  TempDir t;
  const std::string a = t / "a.qydb", b = t / "b.qyd";
  ASSERT_EQ(RunHost(t.Path(), {"generate", "5", b}).status, 0);
  ASSERT_EQ(RunHost(t.Path(), {"-q", "convert", b, a}).status, 0);
  ASSERT_EQ(RawSqlite(a).Exec("ALTER TABLE links DROP COLUMN lnk_length"), "");
  ASSERT_EQ(chmod(t.Path().c_str(), 0755) | chmod(a.c_str(), 0444) | chmod(b.c_str(), 0444), 0);
  const std::string before = ReadAll(a);
  HostCall call;
  call.uid = getuid() == 0 ? 65534 : -1;  // root writes any file
  call.args = {"convert", a, a};
  HostRun r = RunHost(t.Path(), call);
  if (r.status == 126 || r.status == 127) GTEST_SKIP() << "the program cannot run as another user here";
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "cannot save " + a + ": the file is at an older format version (20) and read-only: it cannot "
                   "be upgraded (11)\n");
  EXPECT_TRUE(ReadAll(a) == before);
  call.args = {"convert", b, b};
  r = RunHost(t.Path(), call);
  EXPECT_EQ(r.err, "cannot save " + b + ": the target is not writable (11)\n");
}

// A database in write-ahead-log mode, read by the commands that only read
// it: no log or index is left beside it, and its bytes stay as they were.
TEST(HostSqlite, ReadingAWriteAheadLogDatabaseLeavesNothingBesideIt) {
  TempDir t;
  const std::string w = t / "w.qydb", b = t / "b.qyd";
  ASSERT_EQ(RunHost(t.Path(), {"generate", "20", b}).status, 0);
  ASSERT_EQ(RunHost(t.Path(), {"-q", "convert", b, w}).status, 0);
  ASSERT_EQ(RawSqlite(w).Scalar("PRAGMA journal_mode=WAL"), "wal");
  const std::string before = ReadAll(w);
  for (const std::vector<std::string>& args : {std::vector<std::string>{"info", w},
                                               {"--ignore-uid", "compare", w, b},
                                               {"convert", w, t / "out.qyd"}}) {
    const HostRun r = RunHost(t.Path(), args);
    EXPECT_EQ(r.status, 0) << args[0] << r.err;
    for (const char* side : {"-wal", "-shm"}) EXPECT_NE(access((w + side).c_str(), F_OK), 0) << args[0] << side;
  }
  EXPECT_TRUE(ReadAll(w) == before);
}

// A log that another writer left holding committed frames (it died before
// a checkpoint) is SQLite's: the commands that only read leave it and the
// file byte-identical, and moving its frames into the file is not theirs.
TEST(HostSqlite, ReadingLeavesALogThatHoldsFramesAndTheFileAsTheyWere) {
  TempDir t;
  const std::string w = t / "w.qydb", b = t / "b.qyd";
  ASSERT_EQ(RunHost(t.Path(), {"generate", "20", b}).status, 0);
  ASSERT_EQ(RunHost(t.Path(), {"-q", "convert", b, w}).status, 0);
  ASSERT_TRUE(CommitIntoLogAndDie(w, "UPDATE notes SET note_title = note_title || ' (edited)'"));
  const std::string file = ReadAll(w), log = ReadAll(w + "-wal");
  ASSERT_FALSE(log.empty());
  for (const std::vector<std::string>& args : {std::vector<std::string>{"info", w},
                                               {"--ignore-uid", "compare", w, b},
                                               {"convert", w, t / "out.qyd"}}) {
    const HostRun r = RunHost(t.Path(), args);
    EXPECT_EQ(r.status, args[1] == "compare" ? 1 : 0) << args[0] << r.err;
    EXPECT_TRUE(ReadAll(w) == file) << args[0];
    EXPECT_TRUE(ReadAll(w + "-wal") == log) << args[0];
  }
}

// A convert onto itself holds its file alone: one held by another program
// is refused after one wait for its lock, and stays as it was.
TEST(HostSqlite, ConvertingAHeldDatabaseOntoItselfSaysItIsInUse) {
  TempDir t;
  ASSERT_EQ(RunHost(t.Path(), {"-q", "generate", "20", t / "h.qydb"}).status, 0);
  const std::string before = ReadAll(t / "h.qydb");
  RawSqlite other(t / "h.qydb");
  ASSERT_EQ(other.Exec("BEGIN IMMEDIATE"), "");
  const HostRun r = RunHost(t.Path(), {"-q", "convert", t / "h.qydb", t / "h.qydb"});
  other.Exec("ROLLBACK");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("in use by another program (13)"), std::string::npos) << r.err;
  EXPECT_TRUE(ReadAll(t / "h.qydb") == before);
}

}  // namespace
