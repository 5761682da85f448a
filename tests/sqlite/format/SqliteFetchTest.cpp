// Fetching note parts from an open SQLite document, the queries the model
// asks, and filling in missing hashes.

#include "base/Log.h"
#include "model/InternalIcons.h"
#include "sqlite/format/SqliteContentCount.h"
#include "sqlite/format/SqliteLoadFixture.h"

using namespace quillery_test;
using quillery::SqliteContentCounter;

namespace {

class SqliteFetchTest : public SqliteLoadTest {
 protected:
  // Loads the database at path; the note with that ID, fresh from the tree.
  FormatIO_Sqlite* Open(const std::string& path) {
    EXPECT_EQ(m_doc.Load(path.c_str(), nullptr, FORMAT_QYDB, false), DOC_LOAD_OK);
    return Loader(m_doc);
  }
  NoteNode& N(const std::string& id) { return m_doc.GetNodeByIdx(m_doc.GetIdxFromID(id)); }
  NoteDocument m_doc;
};

TEST_F(SqliteFetchTest, EveryPartOfANote) {
  const std::string path = NewDb();
  const std::string png = TinyPicture(true);
  {
    RawDb db(path);
    AddNote(db, "A", "", 0, "A", "Hello world",
            ", hash, hash_html, icon_type, icon_info, custom_txt_color, custom_bkg_color, use_custom_font, "
            "custom_font, date_created",
            ", 'th', 'hh', 3, '', '#ff0000', 'garbage', 1, 'Mono 9', 77");
    db.Exec("INSERT INTO formatting (note_id, note_offset, fmt_tag, fmt_color, fmt_font, fmt_value) VALUES "
            "('A', 0, 1, '', '', 100), ('A', 5, 2, '', '', 100), ('A', 6, 7, '#00ff00', '', 100), "
            "('A', 8, 8, '#00ff00', '', 100)");
    db.Exec("INSERT INTO anchors (note_id, anc_name, anc_offset) VALUES ('A', 'top', 0)");
    db.Exec("INSERT INTO attachments (note_id, note_pos, att_title, att_data, att_size, hash, att_code, att_target) "
            "VALUES ('A', 1, 'second', X'AABB', 2, 'h2', 'c2', ''), ('A', 0, 'first', X'01', 1, 'h1', 'c1', 't')");
    db.ExecBlob("INSERT INTO images (note_id, note_offset, image_title, image_data, is_png) VALUES ('A', 3, 'p', "
                "?, 1)",
                png);
    db.Exec("INSERT INTO images (note_id, note_offset, image_title, image_data, is_png) VALUES ('A', 4, 'null', "
            "NULL, 0), ('A', 99, 'far', X'00', 0)");
    db.Exec("INSERT INTO links (note_id, note_offset, lnk_length, target_url, target_note_id) VALUES "
            "('A', 0, 5, 'FILE://http://example.org', ''), ('A', -1, 0, 'file://ftp://f', '')");
    db.Exec("INSERT INTO tags (tag_name) VALUES ('a'), ('b')");
    db.Exec("INSERT INTO tags_notes (note_id, tag_id) VALUES ('A', 1), ('A', 2)");
    db.Exec("INSERT INTO custom_properties (note_id, prop_name, prop_value) VALUES ('A', 'k', 'v')");
  }
  FormatIO_Sqlite* fmt = Open(path);
  ASSERT_NE(fmt, nullptr);
  NoteNode& a = N("A");
  fmt->FetchNodeInfo(a, NIF_ALL);
  EXPECT_EQ(a.GetText(), "Hello world");
  EXPECT_EQ(a.m_strHash, "th");
  EXPECT_EQ(a.m_strHashHtml, "hh");
  ASSERT_EQ(a.m_objText.m_lstFmt.GetSize(), 4);
  EXPECT_EQ(a.m_objText.m_lstFmt.GetAt(2).color.green >> 8, 0xff);
  ASSERT_EQ(a.m_objText.m_lstAnchors.GetSize(), 1);
  ASSERT_EQ(a.m_lstAttachments.size(), 2u);
  EXPECT_EQ(a.m_lstAttachments[0].strName, "first");
  EXPECT_EQ(a.m_lstAttachments[1].strData, "\xAA\xBB");
  EXPECT_EQ(a.m_lstAttachments[1].nDataSize, 2);
  EXPECT_EQ(a.m_lstAttachments[0].strTarget, "t");
  // The NULL picture and the one past the text's end are dropped.
  ASSERT_EQ(a.m_objText.m_lstPictures.GetSize(), 1);
  EXPECT_EQ(a.m_objText.m_lstPictures.GetAt(0).strEncoded, png);
  EXPECT_GT(a.m_objText.m_lstPictures.GetAt(0).nPictureID, 0);
  ASSERT_EQ(a.m_objText.m_lstLinks.GetSize(), 1);
  EXPECT_EQ(a.m_objText.m_lstLinks.GetAt(0).strLink, "http://example.org");
  EXPECT_EQ(a.m_objLink.strLink, "ftp://f");
  EXPECT_EQ(a.m_nIconType, 0);
  EXPECT_EQ(a.m_strIconPath, InternalIcon_Index2Name(3));
  EXPECT_EQ(a.m_clrTxt.red >> 8, 0xff);
  EXPECT_EQ(a.m_clrBkg.red | a.m_clrBkg.green | a.m_clrBkg.blue, 0);  // unparsable: black
  EXPECT_TRUE(a.m_bUseFont);
  EXPECT_EQ(a.m_strCustomFont, "Mono 9");
  EXPECT_EQ(a.m_nDateCreated, 77);
  EXPECT_EQ(a.GetKeywords(), ";a;b;");
  ASSERT_EQ(a.m_lstCustomProperties.size(), 1u);

  // Info variants leave the bytes in the file; the NULL picture stays.
  NoteNode info;
  info.m_strID = "A";
  fmt->FetchNodeInfo(info, NIF_TEXT | NIF_ATTACHMENT_INFO | NIF_PICTURE_INFO);
  ASSERT_EQ(info.m_lstAttachments.size(), 2u);
  EXPECT_TRUE(info.m_lstAttachments[1].strData.empty());
  EXPECT_EQ(info.m_lstAttachments[1].nDataSize, 2);
  EXPECT_TRUE(info.m_bHasAttachments);
  ASSERT_EQ(info.m_objText.m_lstPictures.GetSize(), 2);
  EXPECT_TRUE(info.m_objText.m_lstPictures.GetAt(0).strEncoded.empty());

  // Both full and info bits: the full variant wins.
  NoteNode both;
  both.m_strID = "A";
  fmt->FetchNodeInfo(both, NIF_ATTACHMENTS | NIF_ATTACHMENT_INFO);
  EXPECT_EQ(both.m_lstAttachments[0].strData, "\x01");

  // One attachment's bytes on demand.
  fmt->FetchNodeAtt(info, 1);
  EXPECT_EQ(info.m_lstAttachments[1].strData, "\xAA\xBB");
  quillery::LogCapture cap;
  fmt->FetchNodeAtt(info, 2);
  EXPECT_TRUE(cap.Has("Sqlite: failed to fetch node attachment: 2 (total att: 2)\n"));
}

TEST_F(SqliteFetchTest, MissingRowsAndEmptyIds) {
  const std::string path = NewDb();
  FormatIO_Sqlite* fmt = Open(path);
  NoteNode none;
  none.SetText("keep");
  fmt->FetchNodeInfo(none, NIF_ALL);  // empty ID: nothing happens
  EXPECT_EQ(none.GetText(), "keep");

  NoteNode ghost;
  ghost.m_strID = "ghost";
  ghost.SetText("old");
  ghost.m_nIconType = -1;
  fmt->FetchNodeInfo(ghost, NIF_TEXT | NIF_PROPERTIES);
  EXPECT_TRUE(ghost.GetText().empty());
  // Without rows the properties take the column defaults.
  EXPECT_EQ(ghost.m_nIconType, 0);
  EXPECT_EQ(ghost.m_strHash.size(), 40u);
  EXPECT_EQ(ghost.m_strHashHtml.size(), 40u);
}

TEST_F(SqliteFetchTest, EmptyHashesAreComputedFromTheWholeRichText) {
  const std::string path = NewDb();
  {
    RawDb db(path);
    AddNote(db, "A", "", 0, "A", "bold text");
    db.Exec("INSERT INTO formatting (note_id, note_offset, fmt_tag, fmt_color, fmt_font, fmt_value) VALUES "
            "('A', 0, 1, '', '', 100), ('A', 4, 2, '', '', 100)");
  }
  FormatIO_Sqlite* fmt = Open(path);
  NoteNode& a = N("A");
  fmt->FetchNodeInfo(a, NIF_RICH_TEXT);
  std::string textHash, htmlHash;
  NoteNode::CalcDataHash("bold text", textHash);
  ASSERT_EQ(a.CalcHtmlHash(htmlHash), 0);
  EXPECT_EQ(a.m_strHash, textHash);
  EXPECT_EQ(a.m_strHashHtml, htmlHash);
  NoteNode plain;
  plain.SetText("bold text", nullptr, nullptr, true);
  EXPECT_NE(a.m_strHashHtml, plain.m_strHashHtml);  // the formatting counts
}

TEST_F(SqliteFetchTest, FormattingRepairRunsOnlyForCompleteRichText) {
  const std::string path = NewDb();
  {
    RawDb db(path);
    AddNote(db, "A", "", 0, "A", "abc");
    // An end tag without a begin: the repair drops it.
    db.Exec("INSERT INTO formatting (note_id, note_offset, fmt_tag, fmt_color, fmt_font, fmt_value) VALUES "
            "('A', 1, 2, '', '', 100)");
  }
  FormatIO_Sqlite* fmt = Open(path);
  NoteNode& a = N("A");
  fmt->FetchNodeInfo(a, NIF_RICH_TEXT & ~NIF_TEXT);
  EXPECT_EQ(a.m_objText.m_lstFmt.GetSize(), 1);
  fmt->FetchNodeInfo(a, NIF_RICH_TEXT);
  EXPECT_EQ(a.m_objText.m_lstFmt.GetSize(), 0);
}

// A read-only load writes nothing, not even the repair that drops a
// picture in the place of another.
TEST_F(SqliteFetchTest, AReadOnlyLoadRepairsInMemoryOnly) {
  const std::string path = NewDb();
  {
    RawDb db(path);
    AddNote(db, "A", "", 0, "A", "abc");
    for (const char* name : {"p", "q"})
      db.ExecBlob(std::string("INSERT INTO images (note_id, note_offset, image_title, image_data, is_png) VALUES "
                              "('A', 1, '") + name + "', ?, 1)",
                  TinyPicture(true));
  }
  m_doc.SetReadOnlyLoad(true);
  ASSERT_NE(Open(path), nullptr);
  quillery::LogCapture log;
  EXPECT_EQ(m_doc.OnNoteSelected(0, NIF_ALL, true).m_objText.m_lstPictures.GetSize(), 1);
  EXPECT_FALSE(log.Contains("pix delete"));
  m_doc.Close();
  EXPECT_EQ(RawDb(path).Scalar("SELECT count(*) FROM images"), "2");
}

TEST_F(SqliteFetchTest, IdsWithQuotesNeverChangeAStatement) {
  const std::string path = NewDb();
  {
    RawDb db(path);
    AddNote(db, "A", "", 0, "A");
    AddNote(db, "x'' OR ''1''=''1", "", 1, "q");
    db.Exec("INSERT INTO tags (tag_name) VALUES ('secret')");
    db.Exec("INSERT INTO tags_notes (note_id, tag_id) VALUES ('A', 1)");
    db.Exec("INSERT INTO custom_properties (note_id, prop_name, prop_value) VALUES ('A', 'k', 'v')");
  }
  FormatIO_Sqlite* fmt = Open(path);
  NoteNode& q = N("x' OR '1'='1");
  fmt->FetchNodeInfo(q, NIF_TAGS | NIF_CUSTOM_PROPERTIES);
  EXPECT_TRUE(q.GetKeywords().empty());
  EXPECT_TRUE(q.m_lstCustomProperties.empty());
  EXPECT_TRUE(fmt->HasNote(q));
}

TEST_F(SqliteFetchTest, Queries) {
  const std::string path = NewDb();
  {
    RawDb db(path);
    AddNote(db, "A", "", 0, "A");
    AddNote(db, "B", "", 1, "B");
    db.Exec("INSERT INTO attachments (note_id, note_pos, att_title, att_data, att_size) VALUES ('B', 0, 'a', X'01', "
            "1)");
    db.Exec("INSERT INTO links (note_id, note_offset, lnk_length, target_url, target_note_id) VALUES "
            "('B', 0, 1, '', 'A'), ('B', 2, 1, '', 'A'), ('A', 0, 1, '', 'A')");
    db.Exec("INSERT INTO formatting (note_id, note_offset, fmt_tag, fmt_color, fmt_font, fmt_value) VALUES "
            "('A', 0, 7, '#ff0000', '', 100), ('A', 1, 8, '#ff0000', '', 100), ('B', 0, 15, '#0000ff', '', 100), "
            "('B', 0, 1, '', '', 100)");
  }
  FormatIO_Sqlite* fmt = Open(path);
  EXPECT_TRUE(fmt->HasNote(N("A")));
  NoteNode other;
  other.m_strID = "C";
  EXPECT_FALSE(fmt->HasNote(other));
  EXPECT_FALSE(fmt->HasAttachments(N("A")));
  EXPECT_TRUE(fmt->HasAttachments(N("B")));

  std::vector<std::string> ids = {"stale"};
  EXPECT_TRUE(fmt->GetNotesLinkingToTargetNote("A", ids));
  EXPECT_EQ(ids.size(), 3u);
  EXPECT_TRUE(fmt->GetNotesLinkingToTargetNote("B", ids));
  EXPECT_TRUE(ids.empty());

  std::map<std::string, int> colors = {{"#ff0000", 2}};
  fmt->GetUsedColors(colors);
  EXPECT_EQ(colors["#ff0000"], 3);
  EXPECT_EQ(colors["#0000ff"], 1);
  EXPECT_EQ(colors.size(), 2u);
}

TEST_F(SqliteFetchTest, HashesAreFilledOneItemAtATimeInPhaseOrder) {
  const std::string path = NewDb();
  {
    RawDb db(path);
    AddNote(db, "A", "", 0, "A", "text", ", hash_html", ", 'have'");
    AddNote(db, "B", "", 1, "B", "more", ", hash", ", 'have'");
    db.Exec("INSERT INTO attachments (note_id, note_pos, att_title, att_data, att_size, hash, att_code) VALUES "
            "('A', 0, 'a', X'0102', 99, NULL, 'code')");
    db.Exec("INSERT INTO attachments (note_id, note_pos, att_title, att_data, att_size, hash, att_code) VALUES "
            "('A', 1, 'b', X'03', 1, 'have', '')");
  }
  FormatIO_Sqlite* fmt = Open(path);
  RawDb check(path);
  EXPECT_TRUE(fmt->AnyHashesToBeDone());
  // Text hash of A first.
  ASSERT_TRUE(fmt->UpdateHashes(true));
  std::string expect;
  NoteNode::CalcDataHash("text", expect);
  // The changes are inside the open transaction: read them through it.
  auto stored = [&](const std::string& sql) {
    CppSQLite3Exception e;
    CppSQLite3Query q = fmt->_db.execQuery(sql.c_str(), &e);
    return std::string(q.eof() ? "<none>" : q.getStringField(0, "<null>"));
  };
  EXPECT_EQ(stored("SELECT hash FROM notes WHERE note_id='A'"), expect);
  // Then the attachment hash over the stored bytes, not att_size.
  ASSERT_TRUE(fmt->UpdateHashes(true));
  NoteNode::CalcDataHash(std::string("\x01\x02", 2), expect);
  EXPECT_EQ(stored("SELECT hash FROM attachments WHERE att_code='code'"), expect);
  // Then B's HTML hash, then the missing attachment code.
  ASSERT_TRUE(fmt->UpdateHashes(true));
  EXPECT_EQ(stored("SELECT length(hash_html) FROM notes WHERE note_id='B'"), "40");
  ASSERT_TRUE(fmt->UpdateHashes(true));
  EXPECT_EQ(stored("SELECT length(att_code) FROM attachments WHERE att_title='b'"), "22");
  EXPECT_FALSE(fmt->AnyHashesToBeDone());
  EXPECT_FALSE(fmt->UpdateHashes(true));
  EXPECT_FALSE(fmt->UpdateHashes(false));
}

TEST_F(SqliteFetchTest, PluginDocumentsSkipHashWork) {
  const std::string path = NewDb();
  {
    RawDb db(path);
    AddNote(db, "A", "", 0, "A", "text");
  }
  FormatIO_Sqlite* fmt = Open(path);
  m_doc.m_bPlugin = true;
  EXPECT_FALSE(fmt->UpdateHashes(false));
  m_doc.m_bPlugin = false;
  EXPECT_TRUE(fmt->UpdateHashes(false));
  EXPECT_FALSE(fmt->AnyHashesToBeDone());
}

TEST_F(SqliteFetchTest, SelectingANoteFetchesItThroughTheModel) {
  const std::string path = NewDb();
  {
    RawDb db(path);
    AddNote(db, "A", "", 0, "A", "selected text");
  }
  Open(path);
  NoteNode& n = m_doc.OnNoteSelected(m_doc.GetIdxFromID("A"), NIF_ALL, false);
  EXPECT_EQ(n.GetText(), "selected text");
}

}  // namespace

// The counts of a whole document read from the tables must be those of a
// fetch of every note, damaged rows included.
TEST_F(SqliteFetchTest, ContentCountsEqualThoseOfAFullFetch) {
  const std::string path = NewDb();
  const std::string png = TinyPicture(true);
  {
    RawDb db(path);
    AddNote(db, "A", "", 0, "A", "h\xC3\xA9llo");  // 5 characters, 6 bytes
    AddNote(db, "B", "", 1, "B", "abc");
    AddNote(db, "C", "A", 0, "C", "");
    // A: kept 0 and 2; dropped: no bytes, repeated offsets, a negative one,
    // one read past the text (20) and one past its end after the repair (9).
    for (const char* off : {"0", "2", "2", "-1", "9", "20", "NULL"})
      db.ExecBlob(std::string("INSERT INTO images (note_id, note_offset, image_title, image_data, is_png) VALUES "
                              "('A', ") + off + ", 'p', ?, 1)",
                  png);
    db.Exec("INSERT INTO images (note_id, note_offset, image_data) VALUES ('A', 1, NULL), ('gone', 0, X'00'), "
            "(NULL, 0, X'00'), ('C', 0, X'00'), ('C', 1, X'00')");
    // Links: the note's own link (negative), an empty one, one just inside
    // and one just past text plus pictures.
    db.Exec("INSERT INTO links (note_id, note_offset, lnk_length, target_url) VALUES ('A', -1, 3, 'u'), "
            "('A', 0, 0, 'u'), ('A', 0, 7, 'u'), ('A', 1, 7, 'u'), ('B', 2, 1, 'u'), ('B', NULL, 3, 'u'), "
            "('gone', 0, 1, 'u')");
    db.Exec("INSERT INTO attachments (note_id, note_pos, att_title, att_data) VALUES ('A', 0, 'a', X'01'), "
            "('A', 1, 'b', X''), ('C', 0, 'c', X'02'), ('gone', 0, 'd', X'03')");
  }
  FormatIO_Sqlite* fmt = Open(path);
  ASSERT_NE(fmt, nullptr);
  FormatIO_Sqlite::ContentCounts counts;
  ASSERT_TRUE(fmt->CountNoteContents(counts));

  long long pictures = 0, attachments = 0, links = 0;
  for (int i = 0; i < m_doc.GetNodeCount(); ++i) {
    NoteNode& n = m_doc.GetNodeByIdx(i);
    fmt->FetchNodeInfo(n, NIF_ALL);
    pictures += n.m_objText.m_lstPictures.GetSize();
    attachments += static_cast<long long>(n.m_lstAttachments.size());
    links += n.m_objText.m_lstLinks.GetSize();
  }
  EXPECT_EQ(counts.pictures, pictures);
  EXPECT_EQ(counts.attachments, attachments);
  EXPECT_EQ(counts.links, links);
  // Without clones: C, a clone, shows A's content and is left out.
  m_doc.GetNodeByIdx(m_doc.GetIdxFromID("C")).m_strCloneOf = "A";
  FormatIO_Sqlite::ContentCounts originals;
  ASSERT_TRUE(fmt->CountNoteContents(originals, false));
  EXPECT_EQ(originals.pictures, pictures - 2);
  EXPECT_EQ(originals.attachments, attachments - 1);
  EXPECT_EQ(pictures, 4);  // A: 0 and 2; C: 0 and 1 (a picture takes a place)
  EXPECT_EQ(attachments, 3);
  EXPECT_EQ(links, 3);  // A: 0+7, B: 2+1 and the NULL offset's 0+3
  // Counted alongside a read-only load, on a connection of its own: the
  // same. (A document that may write holds its file in a transaction.)
  m_doc.Close();
  NoteDocument readOnly;
  readOnly.SetReadOnlyLoad(true);
  SqliteContentCounter counter;
  counter.Start(path, "");
  ASSERT_EQ(readOnly.Load(path.c_str(), nullptr, FORMAT_QYDB, false), DOC_LOAD_OK);
  FormatIO_Sqlite::ContentCounts alongside;
  ASSERT_NE(counter.Wait(), nullptr);
  ASSERT_TRUE(Loader(readOnly)->CountNoteContents(alongside, true, counter.Wait()));
  EXPECT_EQ(alongside.pictures, pictures);
  EXPECT_EQ(alongside.attachments, attachments);
  EXPECT_EQ(alongside.links, links);

  // Beside an outline (no load): every note's but a clone's. (A read-only
  // document holds its file's state until it is closed.)
  readOnly.Close();
  RawDb(path).Exec("UPDATE notes SET note_clone_id='A' WHERE note_id='C'");
  NoteDocument none;
  FormatIO_Sqlite outliner;
  quillery::TreeOutline outline;
  ASSERT_EQ(outliner.LoadOutline(path.c_str(), none, outline, &counter), DOC_LOAD_OK);
  ASSERT_NE(counter.Wait(), nullptr);
  const FormatIO_Sqlite::ContentCounts outlined = FormatIO_Sqlite::CountOutlineContents(outline, *counter.Wait());
  EXPECT_EQ(outlined.pictures, pictures - 2);
  EXPECT_EQ(outlined.attachments, attachments - 1);
  EXPECT_EQ(outlined.links, links);
}
