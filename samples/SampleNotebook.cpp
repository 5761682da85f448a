#include "samples/SampleNotebook.h"

#include <string>
#include <vector>

#include "formats/native/NativeRenderer.h"
#include "samples/SamplePicture.h"
#include "samples/SampleRandom.h"
#include "samples/SampleTextBuilder.h"
#include "model/InternalIcons.h"
#include "model/NoteDocument.h"

namespace quillery {
namespace {

const char* const kWords[] = {
    "the",     "note",    "plan",     "meeting", "draft",   "review", "idea",     "garden",  "budget",
    "travel",  "list",    "project",  "summary", "chapter", "quote",  "recipe",   "task",    "reading",
    "river",   "window",  "morning",  "evening", "market",  "letter", "question", "answer",  "detail",
    "outline", "version", "schedule", "number",  "report",  "simple", "quiet",    "bright",  "careful",
    "over",    "under",   "between",  "with",    "about",   "for",    "and",      "or",      "not",
    "a",       "an",      "of",       "to",      "in",      "on",     "is",       "was",     "will",
};
// Accented, CJK, symbols and the characters the format has to escape.
const char* const kSpecialWords[] = {
    "café", "naïve", "Größe", "señor", "Ελλάδα", "日本語", "✓", "€5", "x<y", "3>2", "a&b", "\"quoted\"", "it's", "🙂",
};
const char* const kTagNames[] = {"work", "home", "ideas", "todo", "later", "reading", "q&a", "café"};
const char* const kFonts[] = {"Sans Bold 12", "Serif Italic 10", "Monospace 9", "DejaVu Sans 11"};
const int kLineSpacings[] = {120, 150, 200};

template <typename T, size_t N>
constexpr int Count(const T (&)[N]) {
  return static_cast<int>(N);
}

// The inline formatting kinds, taken in turn so that every kind appears.
enum InlineKind { kBold, kItalic, kUnderline, kStrike, kColor, kBkgColor, kFont, kSuper, kSub, kSpacing, kBoldItalic, kKinds };

struct Context {
  Context(NoteDocument& d, const NotebookOptions& o) : doc(d), opt(o) {}
  NoteDocument& doc;
  const NotebookOptions& opt;
  std::vector<std::string> ids;       // IDs of the notes made so far
  std::vector<std::string> pngs;      // picture bytes, a few variants each
  std::vector<std::string> jpegs;
  int nextKind = 0;
  int anchors = 0;
  int attachmentSerial = 0;
  NotebookStats stats;
};

GdkColor MakeColor(SampleRandom& rnd) {
  // High byte equals low byte: "#rrggbb" reads back as exactly this value.
  GdkColor c;
  c.pixel = 0;
  c.red = static_cast<guint16>(rnd.Below(256) * 257);
  c.green = static_cast<guint16>(rnd.Below(256) * 257);
  c.blue = static_cast<guint16>(rnd.Below(256) * 257);
  return c;
}

std::string Word(SampleRandom& rnd) {
  if (rnd.Percent(6)) return kSpecialWords[rnd.Below(Count(kSpecialWords))];
  return kWords[rnd.Below(Count(kWords))];
}

std::string Title(SampleRandom& rnd, int idx) {
  std::string t;
  const int n = rnd.Range(1, 5);
  for (int i = 0; i < n; ++i) {
    std::string w = Word(rnd);
    if (i == 0 && !w.empty() && w[0] >= 'a' && w[0] <= 'z') w[0] = static_cast<char>(w[0] - 'a' + 'A');
    if (i) t += ' ';
    t += w;
  }
  if (idx % 10 == 7) t += " <draft> & \"v2\"";
  return t;
}

// The begin and end tags of one inline range.
void RangeTags(InlineKind kind, SampleRandom& rnd, std::vector<FmtInfo>& begins) {
  auto tag = [&](int t) {
    begins.push_back(FmtInfo(t, -1));
    return &begins.back();
  };
  switch (kind) {
    case kBold: tag(FMT_BOLD_BEGIN); break;
    case kItalic: tag(FMT_ITALIC_BEGIN); break;
    case kUnderline: tag(FMT_UNDERLINE_BEGIN); break;
    case kStrike: tag(FMT_STRIKE_BEGIN); break;
    case kColor: tag(FMT_COLOR_BEGIN)->color = MakeColor(rnd); break;
    case kBkgColor: tag(FMT_BKG_COLOR_BEGIN)->color = MakeColor(rnd); break;
    case kFont: tag(FMT_FONT_BEGIN)->strFont = kFonts[rnd.Below(Count(kFonts))]; break;
    case kSuper: tag(FMT_SUPERSCRIPT_BEGIN); break;
    case kSub: tag(FMT_SUBSCRIPT_BEGIN); break;
    case kSpacing: tag(FMT_LINE_SPACING_BEGIN)->nValue = kLineSpacings[rnd.Below(Count(kLineSpacings))]; break;
    case kBoldItalic:
      tag(FMT_BOLD_BEGIN);
      tag(FMT_ITALIC_BEGIN);
      break;
    case kKinds: break;
  }
}

// Writes `count` words, decorated with inline ranges, links, anchors and (when
// *picture is not null) one picture, which is then cleared.
void Words(SampleTextBuilder& b, SampleRandom& rnd, Context& ctx, NoteNode& note, int count, bool decorate,
           const PixInfo** picture) {
  std::vector<FmtInfo> open;  // begin tags of the open inline range
  int rangeLeft = 0;          // words until the open range ends
  LinkInfo link;
  int linkStart = -1;
  int linkLeft = 0;

  for (int w = 0; w < count; ++w) {
    if (w) b.Text(rnd.Percent(3) ? "\t" : (rnd.Percent(3) ? "  " : " "));
    if (decorate) {
      if (linkStart < 0 && open.empty() && *picture && w > 0) {
        b.Picture(**picture);
        *picture = nullptr;
        ctx.stats.nPictures++;
      }
      bool anchored = false;
      if (linkStart < 0 && rnd.Percent(3)) {
        anchored = true;
        const std::string name = "anchor-" + std::to_string(ctx.anchors++);
        b.Anchor(name);
        ctx.doc.m_mapAnchors[name] = note.m_strID;
        ctx.stats.nAnchors++;
      }
      // A link never starts where an anchor stands: the anchor's markup would
      // come inside the link's opening and end it.
      if (linkStart < 0 && !anchored && rnd.Percent(4)) {
        link = LinkInfo();
        const int kind = rnd.Below(4);
        if (kind <= 1 && !ctx.ids.empty()) {
          link.strTargetID = ctx.ids[static_cast<size_t>(rnd.Below(static_cast<int>(ctx.ids.size())))];
        } else if (kind == 2) {
          link.strLink = "https://example.org/wiki/Page_" + std::to_string(rnd.Below(1000)) + "#History";
        } else {
          link.strLink = "file:///home/user/notes/archive.qyd";
          link.strTargetID = SampleID(static_cast<uint64_t>(rnd.Below(1000)), rnd);
        }
        linkStart = b.Pos();
        linkLeft = rnd.Range(1, 3);
      }
      if (open.empty() && rnd.Percent(12)) {
        RangeTags(static_cast<InlineKind>(ctx.nextKind++ % kKinds), rnd, open);
        for (const FmtInfo& t : open) b.Tag(t);
        rangeLeft = rnd.Range(1, 3);
      }
    }
    b.Text(Word(rnd));
    if (!open.empty() && (--rangeLeft == 0 || w == count - 1)) {
      for (auto it = open.rbegin(); it != open.rend(); ++it) {
        FmtInfo end = *it;  // the end carries the begin's attributes, as the readers make it
        end.nFormatTag = it->nFormatTag + 1;
        b.Tag(end);
      }
      ctx.stats.nFormatTags += 2 * static_cast<int>(open.size());
      open.clear();
    }
    if (linkStart >= 0 && (--linkLeft == 0 || w == count - 1)) {
      b.Link(link, linkStart);
      linkStart = -1;
      ctx.stats.nLinks++;
    }
  }
}

void BulletList(SampleTextBuilder& b, SampleRandom& rnd, Context& ctx, NoteNode& note) {
  const PixInfo* none = nullptr;
  b.Tag(FMT_BULLET_LIST_BEGIN);
  const int lines = rnd.Range(2, 4);
  for (int i = 0; i < lines; ++i) {
    b.Tag(FMT_BULLET_LINE_BEGIN);
    b.Text("\xE2\x80\xA2");  // the bullet character; the writer drops it, the reader puts it back
    Words(b, rnd, ctx, note, rnd.Range(1, 6), false, &none);
    b.Text("\n");
    b.Tag(FMT_BULLET_LINE_END);
  }
  b.Tag(FMT_BULLET_LIST_END);
  ctx.stats.nFormatTags += 2 + 2 * lines;
}

void FillText(NoteNode& note, SampleRandom& rnd, Context& ctx, const PixInfo* picture) {
  SampleTextBuilder b(note.m_objText);
  if (!picture && rnd.Percent(5)) return;  // an empty note now and then
  const int paragraphs = rnd.Range(1, ctx.opt.nMaxParagraphs);
  for (int p = 0; p < paragraphs; ++p) {
    const int shape = rnd.Below(100);
    if (shape < 12) {
      BulletList(b, rnd, ctx, note);
      continue;
    }
    int align = 0;
    if (shape < 16) align = FMT_ALIGN_RIGHT_BEGIN;
    else if (shape < 20) align = FMT_ALIGN_CENTER_BEGIN;
    else if (shape < 24) align = FMT_ALIGN_JUSTIFY_BEGIN;
    if (align) b.Tag(align);
    Words(b, rnd, ctx, note, rnd.Range(4, 40), true, &picture);
    if (align) {
      b.Tag(align + 1);
      ctx.stats.nFormatTags += 2;
    }
    if (p + 1 < paragraphs || rnd.Percent(50)) b.Text("\n");
  }
  if (picture) {  // no room found among the words: the picture ends the text
    b.Picture(*picture);
    ctx.stats.nPictures++;
  }
  b.Finish();
}

void AddAttachments(NoteNode& note, SampleRandom& rnd, Context& ctx) {
  static const char* const kNames[] = {"minutes.txt", "Budget \"2024\" <final> & more.csv", "photo 1.raw",
                                       "it's-a-plan.bin"};
  const int n = rnd.Range(1, 2);
  for (int i = 0; i < n; ++i) {
    AttInfo att;
    const int serial = ctx.attachmentSerial++;
    att.strName = kNames[serial % Count(kNames)];
    const int size = serial % 5 == 0 ? 0 : rnd.Range(1, 3000);
    att.strData.resize(static_cast<size_t>(size));
    for (char& c : att.strData) c = static_cast<char>(rnd.Below(256));
    att.nDataSize = size;
    NoteNode::CalcDataHash(att.strData, att.strHash);
    att.strCode = SampleID(static_cast<uint64_t>(serial), rnd);
    note.m_lstAttachments.push_back(att);
    ctx.stats.nAttachments++;
  }
  note.m_bHasAttachments = true;
}

void AddTask(NoteNode& note, SampleRandom& rnd) {
  Task& t = note.m_objTask;
  t.SetValid(true);
  t.dateCreated = note.m_nDateCreated;
  if (rnd.Percent(70)) t.dateDue = note.m_nDateCreated + 86400 * rnd.Range(1, 60);
  if (rnd.Percent(30)) t.dateCompleted = note.m_nDateCreated + 86400 * rnd.Range(1, 30);
  if (rnd.Percent(20)) t.dateExpire = note.m_nDateCreated + 86400 * rnd.Range(60, 120);
  if (rnd.Percent(20)) t.dateLastAck = note.m_nDateCreated + 3600 * rnd.Range(1, 48);
  t.nPriority = rnd.Below(4);
  t.nStatus = rnd.Below(3);
  t.nRepeat = rnd.Below(5);
  if (rnd.Percent(20)) t.strSoundPath = "/usr/share/sounds/alarm.oga";
  if (rnd.Percent(10)) t.strScriptPath = "/home/user/bin/remind.sh";
}

void AddProperties(NoteNode& note, SampleRandom& rnd, int idx) {
  if (rnd.Percent(30)) {
    std::string tags = ";";
    const int n = rnd.Range(1, 3);
    for (int i = 0; i < n; ++i) {
      const std::string tag = kTagNames[(idx + i * 3) % Count(kTagNames)];
      if (tags.find(";" + tag + ";") == std::string::npos) tags += tag + ";";
    }
    note.SetKeywords(tags);
  }
  if (idx % 5 == 2) {
    note.m_lstCustomProperties.emplace_back("Status", rnd.Percent(50) ? "Open" : "Closed");
    if (rnd.Percent(50)) note.m_lstCustomProperties.emplace_back("Owner", "Ann <ann@example.org>");
    if (rnd.Percent(30)) note.m_lstCustomProperties.emplace_back("Ref", "#A&B \"42\"");
  }
  if (idx % 9 == 4 && InternalIcon_Count() > 0) {
    note.m_nIconType = rnd.Below(InternalIcon_Count());
    note.m_strIconPath = InternalIcon_Index2Name(note.m_nIconType);
  }
  if (idx % 13 == 6) {
    note.m_bUseTxtColor = true;
    note.m_clrTxt = MakeColor(rnd);
  }
  if (idx % 26 == 6) {
    note.m_bUseBkgColor = true;
    note.m_clrBkg = MakeColor(rnd);
  }
  if (idx % 39 == 6) {
    note.m_bUseFont = true;
    note.m_strCustomFont = "Serif Italic 11";
  }
  if (idx % 17 == 8) {
    note.m_bUseNoteBkgColor = true;
    note.m_clrNoteBkg = MakeColor(rnd);
  }
  note.m_bFinished = idx % 11 == 3;
  note.m_bExpanded = rnd.Percent(50);
  note.m_bReadOnly = idx % 23 == 5;
  note.m_bTemplate = idx % 29 == 7;
  if (idx % 37 == 11) note.SetSourceLanguage(rnd.Percent(50) ? "cpp" : "python");
}

void AddOwnLink(NoteNode& note, SampleRandom& rnd, Context& ctx, int idx) {
  if (idx % 41 == 13) {
    note.m_objLink.strLink = "https://example.org/topics/" + std::to_string(idx);
  } else if (idx % 43 == 14 && !ctx.ids.empty()) {
    note.m_objLink.strTargetID = ctx.ids[static_cast<size_t>(rnd.Below(static_cast<int>(ctx.ids.size())))];
  } else {
    return;
  }
  note.m_objLink.nStartOffset = -1;
  note.m_objLink.RecalcRelative();
}

void AddCustomIcon(NoteNode& note, Context& ctx, int idx) {
  PixInfo icon;
  icon.strEncoded = MakeSamplePicture(true, 16, 16, SampleRandom::Mix(ctx.opt.nSeed, 0x1C0A + idx));
  if (icon.strEncoded.empty()) return;
  const int slot = ctx.doc.m_nCustomIconCounter++;
  icon.nOffset = slot;
  icon.strName = note.m_strID;
  icon.bPNG = true;
  ctx.doc.m_lstCustomIcons.Push(icon);
  ctx.doc.m_mapNoteIcon[note.m_strID] = slot;
  note.m_nIconType = ICON_CUSTOM;
  note.m_strIconPath = std::to_string(slot);
}

void FillDocument(NoteDocument& doc, Context& ctx) {
  const NotebookOptions& opt = ctx.opt;
  SampleRandom rnd(SampleRandom::Mix(opt.nSeed, 0xD0C));
  doc.SetTitle("Sample notes (" + std::to_string(opt.nNotes) + " notes, seed " + std::to_string(opt.nSeed) + ")");
  doc.SetAuthor("Quillery sample generator");
  doc.SetUID(SampleID(0, rnd));
  doc.m_nPropModifiedTime = 1700000000;
  doc.m_nLastNoteIdx = opt.nNotes > 0 ? opt.nNotes * 2 / 3 : -1;
  doc.m_lstCustomProperties.emplace_back("Project", "Quillery sample");
  doc.m_lstCustomProperties.emplace_back("Revision", "7 <beta> & \"rc\"");
  static const char* const kMarks[] = {"Start here", "Recent", "Reading list", "Archive"};
  for (int i = 0; i < Count(kMarks) && !ctx.ids.empty(); ++i)
    doc.GetBookmarkList().Insert(kMarks[i], ctx.ids[static_cast<size_t>(rnd.Below(static_cast<int>(ctx.ids.size())))]);
  // Deleted notes and attachments: IDs no note or attachment of the document has.
  for (int i = 0; i < 3; ++i) doc.m_mapDeletedNotes[SampleID(static_cast<uint64_t>(opt.nNotes + i), rnd)] = 1;
  for (int i = 0; i < 2; ++i)
    doc.m_mapDeletedAttachments[SampleID(static_cast<uint64_t>(ctx.attachmentSerial + i), rnd)] = 1;
}

}  // namespace

NotebookStats MakeSampleNotebook(NoteDocument& doc, const NotebookOptions& opt) {
  Context ctx(doc, opt);
  for (int v = 0; v < 6; ++v) {
    ctx.pngs.push_back(MakeSamplePicture(true, 48, 32, SampleRandom::Mix(opt.nSeed, 0x9100 + v)));
    ctx.jpegs.push_back(MakeSamplePicture(false, 64, 48, SampleRandom::Mix(opt.nSeed, 0x9200 + v)));
  }
  const int maxDepth = opt.nMaxDepth < 1 ? 1 : opt.nMaxDepth;
  SampleRandom tree(SampleRandom::Mix(opt.nSeed, 0x72EE));
  struct Open {
    std::string id;
    int children;
  };
  std::vector<Open> parents;  // the ancestors of the next note
  int topCount = 0;
  ctx.ids.reserve(static_cast<size_t>(opt.nNotes > 0 ? opt.nNotes : 0));
  NoteNodeList& list = doc.GetNodeList();
  const int64_t epoch = 1500000000;  // 2017; every time stays far below 2038

  for (int i = 0; i < opt.nNotes; ++i) {
    if (opt.stop && opt.stop()) {
      ctx.stats.bStopped = true;
      return ctx.stats;
    }
    if (i > 0) {
      const int r = tree.Below(100);
      if (r < 30 && static_cast<int>(parents.size()) + 1 < maxDepth) {
        parents.push_back(Open{ctx.ids.back(), 0});
      } else if (r >= 75 && !parents.empty()) {
        int up = 1 + (tree.Percent(30) ? tree.Below(static_cast<int>(parents.size())) : 0);
        while (up-- > 0 && !parents.empty()) parents.pop_back();
      }
    }
    SampleRandom rnd(SampleRandom::Mix(opt.nSeed, static_cast<uint64_t>(i) + 1));
    list.emplace_back();
    NoteNode& note = list.back();
    note.m_strID = SampleID(static_cast<uint64_t>(i), rnd);
    note.m_strParentID = parents.empty() ? std::string() : parents.back().id;
    note.m_nSibling = parents.empty() ? topCount++ : parents.back().children++;
    if (static_cast<int>(parents.size()) > ctx.stats.nMaxLevel) ctx.stats.nMaxLevel = static_cast<int>(parents.size());
    note.m_nDateCreated = epoch + static_cast<int64_t>(i) * 600 + rnd.Below(600);
    note.m_nDateModified = note.m_nDateCreated + rnd.Below(86400 * 30);
    note.SetTitle(Title(rnd, i));

    const bool clone = opt.nCloneEvery > 0 && i % opt.nCloneEvery == opt.nCloneEvery - 1 && !ctx.ids.empty();
    if (clone) {
      // A clone shows its original's content; it keeps a title of its own.
      const int orig = rnd.Below(static_cast<int>(ctx.ids.size()));
      if (!list[static_cast<size_t>(orig)].IsClone()) {
        note.m_strCloneOf = ctx.ids[static_cast<size_t>(orig)];
        ctx.stats.nClones++;
        ctx.ids.push_back(note.m_strID);
        continue;
      }
    }

    const PixInfo* picture = nullptr;
    PixInfo pix;
    if (opt.nPictureEvery > 0 && i % opt.nPictureEvery == 0) {
      const int k = i / opt.nPictureEvery;
      pix.bPNG = k % 2 == 0;
      pix.strEncoded = (pix.bPNG ? ctx.pngs : ctx.jpegs)[static_cast<size_t>(k % 6)];
      pix.strName = "picture-" + std::to_string(k) + (pix.bPNG ? ".png" : ".jpg");
      if (!pix.strEncoded.empty()) picture = &pix;
    }
    FillText(note, rnd, ctx, picture);
    ctx.stats.nTextBytes += static_cast<int64_t>(note.GetText().size());

    if (opt.nAttachmentEvery > 0 && i % opt.nAttachmentEvery == 0) AddAttachments(note, rnd, ctx);
    if (i % 7 == 1) {
      AddTask(note, rnd);
      ctx.stats.nTasks++;
    }
    AddProperties(note, rnd, i);
    AddOwnLink(note, rnd, ctx, i);
    if (i % 97 == 50) AddCustomIcon(note, ctx, i);
    ctx.ids.push_back(note.m_strID);
  }

  FillDocument(doc, ctx);
  // Both hashes as the formats compute them for a note that has none (what a
  // database fills in), so every format is handed and keeps the same values.
  InstallNativeRenderer();
  for (NoteNode& n : list) {
    if (opt.stop && opt.stop()) {
      ctx.stats.bStopped = true;
      return ctx.stats;
    }
    NoteNode::CalcDataHash(n.GetText(), n.m_strHash);
    n.CalcHtmlHash(n.m_strHashHtml);
  }
  doc.RebuildMap();
  doc.RefreshCloneMaps();
  for (const NoteNode& n : doc.GetNodeList()) doc.UpdateNodeKeywordsMap(n, doc.m_mapTagUseCount, true, false);
  doc.SetModified(false);
  ctx.stats.nNotes = doc.GetNodeCount();
  return ctx.stats;
}

}  // namespace quillery
