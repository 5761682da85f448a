// Stand-ins for the reading half of FormatIO_HTML until the reader lands with
// the real definitions (which replace this file). Loading reports 7.

#include "formats/FormatIOHtml.h"

gunichar g_cBullet = 0x2022;
char g_szBullet[8] = "\xE2\x80\xA2";
bool g_bBulletInited = true;

FormatIO_HTML::FormatIO_HTML()
    : m_bRawText(false), m_bExport(false), m_bContentsOnly(false), m_bNoNewNote(false), m_bLineBreakSeen(false),
      m_bParagraphSeen(false), m_bStripTabs(false), m_bTitlesOnly(false), m_bCloneContents(false),
      m_bAttachmentsToFiles(false), m_bPicturesToFiles(false), m_bBodyOnly(false), m_bWriteTitles(true),
      m_bLinkWarning(true), m_bParagraphBlankLine(true), m_bFileLocked(false), m_nSaveError(0), m_nParentIdx(-1),
      m_nNodeIdx(-1), m_nSection(0), m_nTagCount(0), m_nTextPos(0), m_bInLink(false), m_bInScript(false),
      m_bInStyle(false), m_nLinkStart(-1), m_nExportedPictures(0), m_nExportedAttachments(0),
      m_bOverwriteAll(false), m_bForeignHtml(true), m_nFirstNewIdx(-1), m_bInBulletList(false),
      m_bInBulletLine(false), m_bInBold(false), m_bInItalic(false), m_bInUnderline(false), m_bInStrike(false),
      m_bInColor(false), m_bInBkgColor(false), m_bInAlignRight(false), m_bInAlignCenter(false), m_clrFont(),
      m_bInPicture(false), m_bInFigure(false), m_bInFigCaption(false), m_nLoadParentIdx(-1), m_nInsertPos(0),
      m_nSolidEnd(0), m_bLinkSaved(false), m_bStructureSeen(false), m_bTitleSeen(false), m_bUtf8Declared(false),
      m_bDocValues(false), m_bDocReadOnly(false), m_bLastNoteRead(false), m_nLastNote(-1), m_nInputSize(-1) {}

FormatIO_HTML::~FormatIO_HTML() { ReleaseFile(); }

void FormatIO_HTML::OnTagBegin(const char*, const char*, bool) {}
void FormatIO_HTML::OnTagEnd(const char*) {}
void FormatIO_HTML::OnComment(const char*) {}
void FormatIO_HTML::OnText(std::string&) {}
int FormatIO_HTML::Load(const char*, NoteDocument&, int) { return DOC_LOAD_NOT_OPEN; }
bool FormatIO_HTML::AnyHashesToBeDone() { return false; }
bool FormatIO_HTML::UpdateHashes(bool) { return false; }
bool FormatIO_HTML::IsLoadedByAnotherProcess() { return false; }

void FormatIO_HTML::ReleaseFile() {
  if (m_file.IsOpen()) {
    m_file.Unlock();
    m_file.Close();
  }
  m_bFileLocked = false;
}

bool FormatIO_HTML::KeepFile(const char*) { return false; }
