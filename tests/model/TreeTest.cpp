#include <gtest/gtest.h>

#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "model/DocumentIterator.h"
#include "model/IdHashMap.h"
#include "model/NoteDocument.h"
#include "model/PidSibKey.h"
#include "model/RecursiveTreeWalker.h"

namespace {

// R0 (C0 (G0, G1), C1), R1, R2 (C2): built so that the vector order differs
// from the sibling order (C1 inserted at position 0 after C0).
struct Tree {
  NoteDocument doc;
  int r0, r1, r2, c0, c1, c2, g0, g1;
  Tree() {
    r0 = doc.NodeInsert("", -1);
    r1 = doc.NodeInsert("", -1);
    r2 = doc.NodeInsert("", -1);
    c1 = doc.NodeInsert(Id(r0), -1);
    c0 = doc.NodeInsert(Id(r0), 0);  // goes before c1
    g0 = doc.NodeInsert(Id(c0), -1);
    g1 = doc.NodeInsert(Id(c0), -1);
    c2 = doc.NodeInsert(Id(r2), -1);
  }
  const std::string& Id(int idx) { return doc.GetNodeByIdx(idx).m_strID; }
  std::vector<int> Walk(RecursiveTreeWalker& w) {
    std::vector<int> out;
    for (int i = w.GetNextNode(); i >= 0; i = w.GetNextNode()) out.push_back(i);
    return out;
  }
};

}  // namespace

TEST(TreeTest, InsertKeepsMapsAndSiblingPositions) {
  Tree t;
  EXPECT_EQ(t.doc.GetNodeCount(), 8);
  std::set<std::string> ids;
  for (int i = 0; i < t.doc.GetNodeCount(); ++i) {
    const std::string& id = t.Id(i);
    EXPECT_EQ(id.size(), 22u);
    EXPECT_EQ(t.doc.GetIdxFromID(id), i);
    ids.insert(id);
  }
  EXPECT_EQ(ids.size(), 8u);
  EXPECT_EQ(t.doc.GetIdxFromID(""), -1);
  EXPECT_EQ(t.doc.GetIdxFromID("absent"), -1);
  EXPECT_EQ(t.doc.GetNodeByIdx(t.c0).m_nSibling, 0);
  EXPECT_EQ(t.doc.GetNodeByIdx(t.c1).m_nSibling, 1);

  DocumentIterator it(t.doc);
  EXPECT_EQ(it.GetChildCount(""), 3);
  EXPECT_EQ(it.GetChildCount(t.Id(t.r0)), 2);
  EXPECT_EQ(it.GetChildCount(t.Id(t.g0)), 0);
  EXPECT_EQ(it.GetChildID(t.Id(t.r0), 0), t.Id(t.c0));
  EXPECT_EQ(it.GetChildID(t.Id(t.r0), 1), t.Id(t.c1));
  EXPECT_EQ(it.GetChildID(t.Id(t.r0), 2), "");
  EXPECT_EQ(it.CalcChildCount(t.Id(t.r0), false), 2);
  EXPECT_EQ(it.CalcChildCount(t.Id(t.r0), true), 4);
  EXPECT_EQ(it.CalcChildCount("", true), 8);
  EXPECT_EQ(it.CalcNodeLevel(t.g1), 2);
  EXPECT_EQ(it.CalcNodeLevel(t.r1), 0);
}

TEST(TreeTest, NodeInitIdRekeysNoteAndChildren) {
  Tree t;
  const std::string old = t.Id(t.c0);
  t.doc.NodeInitID(t.c0, "newid");
  EXPECT_EQ(t.doc.GetIdxFromID(old), -1);
  EXPECT_EQ(t.doc.GetIdxFromID("newid"), t.c0);
  DocumentIterator it(t.doc);
  EXPECT_EQ(it.GetChildCount("newid"), 2);
  EXPECT_EQ(it.GetChildCount(old), 0);
  EXPECT_EQ(t.doc.GetNodeByIdx(t.g1).m_strParentID, "newid");
  EXPECT_EQ(it.GetChildID("newid", 1), t.Id(t.g1));
}

// "Az" and "BE" give the same value of the (parent, sibling) hash: two parents
// with such IDs must still count their children apart.
TEST(TreeTest, ParentsWithCollidingIdHashesKeepTheirOwnChildCounts) {
  NoteDocument doc;
  const int a = doc.NodeInsert("", -1);
  const int b = doc.NodeInsert("", -1);
  doc.NodeInitID(a, "Az");
  doc.NodeInitID(b, "BE");
  ASSERT_EQ(PidSibKey::HashString("Az", 0), PidSibKey::HashString("BE", 0));
  const int a0 = doc.NodeInsert("Az", -1);
  const int b0 = doc.NodeInsert("BE", -1);
  const int b1 = doc.NodeInsert("BE", -1);
  EXPECT_EQ(doc.GetNodeByIdx(a0).m_nSibling, 0);
  EXPECT_EQ(doc.GetNodeByIdx(b0).m_nSibling, 0);
  EXPECT_EQ(doc.GetNodeByIdx(b1).m_nSibling, 1);
  DocumentIterator it(doc);
  EXPECT_EQ(it.GetChildCount("Az"), 1);
  EXPECT_EQ(it.GetChildCount("BE"), 2);
  doc.RebuildMap();
  EXPECT_EQ(it.GetChildCount("BE"), 2);
  EXPECT_EQ(it.GetChildID("BE", 1), doc.GetNodeByIdx(b1).m_strID);
}

// A map slot keeps only the low half of a key's hash: two keys sharing it
// (found by trying keys until two do) must still be told apart by the entry,
// also after one is erased and its entry reused by a long key.
TEST(TreeTest, MapKeysSharingTheSlotHashHalfStayApart) {
  std::unordered_map<uint32_t, std::string> seen;
  std::string a, b;
  for (int k = 0; a.empty(); ++k) {
    const std::string key = "n" + std::to_string(k);
    auto [it, added] = seen.emplace(static_cast<uint32_t>(IdHashMap::Hash(key, 0)), key);
    if (!added) a = it->second, b = key;
  }
  IdHashMap map;
  for (int k = 0; k < 100; ++k) map.Get("filler" + std::to_string(k)) = k;
  map.Get(a) = -1;
  map.Get(b) = -2;
  ASSERT_TRUE(map.Find(a) && map.Find(b));
  EXPECT_EQ(*map.Find(a), -1);
  EXPECT_EQ(*map.Find(b), -2);
  EXPECT_FALSE(map.Find(a, 1));
  EXPECT_TRUE(map.Erase(a));
  EXPECT_FALSE(map.Find(a));
  EXPECT_EQ(*map.Find(b), -2);
  const std::string longKey(40, 'L');
  map.Get(longKey) = -3;
  map.Get(a) = -4;
  EXPECT_EQ(*map.Find(longKey), -3);
  EXPECT_EQ(*map.Find(a), -4);
  EXPECT_EQ(*map.Find(b), -2);
  EXPECT_EQ(*map.Find("filler7"), 7);
  EXPECT_EQ(map.Size(), 103u);
}

TEST(TreeTest, PushNodeLeavesIdMapUntilRebuild) {
  NoteDocument doc;
  NoteNode n;
  n.m_strID = "pushed";
  doc.PushNode(n);
  EXPECT_EQ(doc.GetIdxFromID("pushed"), -1);
  DocumentIterator it(doc);
  EXPECT_EQ(it.GetChildCount(""), 1);
  doc.RebuildMap();
  EXPECT_EQ(doc.GetIdxFromID("pushed"), 0);
  EXPECT_EQ(it.GetChildID("", 0), "pushed");
}

TEST(TreeTest, WalksOfEveryType) {
  Tree t;
  RecursiveTreeWalker all(t.doc);
  EXPECT_EQ(t.Walk(all), (std::vector<int>{t.r0, t.c0, t.g0, t.g1, t.c1, t.r1, t.r2, t.c2}));
  EXPECT_EQ(all.GetTotalNoteCount(), 8);
  EXPECT_EQ(all.GetNextNode(), -1);
  all.Restart();
  EXPECT_EQ(all.GetNextNode(), t.r0);

  RecursiveTreeWalker branch(t.doc, WALK_BRANCH, t.c0);
  EXPECT_EQ(t.Walk(branch), (std::vector<int>{t.c0, t.g0, t.g1}));
  EXPECT_EQ(branch.GetStartIdxDepth(), 1);
  EXPECT_EQ(branch.CalcRelativeDepth(t.g1), 1);
  EXPECT_TRUE(branch.IsNoteWithinWalk(t.Id(t.g0)));
  EXPECT_FALSE(branch.IsNoteWithinWalk(t.Id(t.c1)));
  EXPECT_FALSE(branch.IsNoteWithinWalk("absent"));

  RecursiveTreeWalker node(t.doc, WALK_NODE, t.r1);
  EXPECT_EQ(t.Walk(node), (std::vector<int>{t.r1}));

  RecursiveTreeWalker children(t.doc, WALK_CHILDREN, t.r0);
  EXPECT_EQ(t.Walk(children), (std::vector<int>{t.c0, t.c1}));
  EXPECT_EQ(children.GetStartIdxDepth(), 0);
  EXPECT_EQ(children.CalcRelativeDepth(t.c1), 1);
  EXPECT_FALSE(children.IsNoteWithinWalk(t.Id(t.g0)));

  RecursiveTreeWalker desc(t.doc, WALK_DESCENDANTS, t.r0);
  EXPECT_EQ(t.Walk(desc), (std::vector<int>{t.c0, t.g0, t.g1, t.c1}));
  EXPECT_FALSE(desc.IsNoteWithinWalk(t.Id(t.r0)));
  EXPECT_TRUE(desc.IsNoteWithinWalk(t.Id(t.g1)));
  EXPECT_EQ(desc.CalcRelativeDepth(t.g1), 2);

  t.doc.GetNodeByIdx(t.g1).m_bMarked = true;
  t.doc.GetNodeByIdx(t.r1).m_bMarked = true;
  RecursiveTreeWalker marked(t.doc, WALK_MARKED);
  EXPECT_EQ(t.Walk(marked), (std::vector<int>{t.g1, t.r1}));
  EXPECT_TRUE(marked.IsNoteWithinWalk(t.Id(t.r1)));
  EXPECT_FALSE(marked.IsNoteWithinWalk(t.Id(t.r0)));

  RecursiveTreeWalker list(t.doc, std::vector<std::string>{t.Id(t.c2), "absent", t.Id(t.r0)});
  EXPECT_EQ(t.Walk(list), (std::vector<int>{t.c2, t.r0}));
  EXPECT_EQ(list.GetStartIdxDepth(), 0);
  EXPECT_EQ(list.CalcRelativeDepth(t.c2), 0);
  EXPECT_TRUE(list.IsNoteWithinWalk(t.Id(t.r0)));
  EXPECT_FALSE(list.IsNoteWithinWalk(t.Id(t.r1)));
}

TEST(TreeTest, NodePathAndRecursiveIndex) {
  Tree t;
  std::string path;
  EXPECT_TRUE(t.doc.CalcNodePath(t.c1, path, -1));
  EXPECT_EQ(path, "1.2.");
  EXPECT_TRUE(t.doc.CalcNodePath(t.g1, path, -1));
  EXPECT_EQ(path, "1.1.2.");
  EXPECT_TRUE(t.doc.CalcNodePath(t.g1, path, t.r0));
  EXPECT_EQ(path, "1.2.");
  EXPECT_FALSE(t.doc.CalcNodePath(99, path, -1));

  DocumentIterator it(t.doc);
  EXPECT_EQ(it.NodeIdx2RecursiveIdx(t.c1), 4);
  EXPECT_EQ(it.RecursiveIdx2NodeIdx(4), t.c1);
  EXPECT_EQ(it.NodeIdx2RecursiveIdx(t.c2), 7);
}

// A writer asks for the level of every note. In a chain of 100,000 notes, each
// the child of the one before, counting up per note would take minutes.
TEST(TreeTest, LevelsOfADeepChainStayLinearAndFollowChanges) {
  const int n = 100000;
  NoteDocument doc;
  for (int i = 0; i < n; ++i) {
    NoteNode note;
    note.m_strID = "n" + std::to_string(i);
    note.m_strParentID = i ? "n" + std::to_string(i - 1) : std::string();
    doc.PushNode(note);
  }
  doc.RebuildMap();
  DocumentIterator it(doc);
  for (int i = 0; i < n; ++i) ASSERT_EQ(it.CalcNodeLevel(i), i);
  RecursiveTreeWalker walker(doc, WALK_DESCENDANTS, 10);
  EXPECT_EQ(walker.CalcRelativeDepth(n - 1), n - 1 - 10);

  // A parent changed behind the maps' back still gives the right level.
  doc.GetNodeByIdx(50).m_strParentID = "n10";
  EXPECT_EQ(it.CalcNodeLevel(50), 11);
  // A new note under the last one (39 levels higher up now), and the maps
  // blocked during a bulk load.
  const int last = doc.NodeInsert("n" + std::to_string(n - 1), -1, true, false);
  EXPECT_EQ(it.CalcNodeLevel(last), n - 39);
  doc.BlockMapRecalc(true);
  const int blocked = doc.NodeInsert("n3", -1, true, false);
  EXPECT_EQ(it.CalcNodeLevel(blocked), 4);
  doc.BlockMapRecalc(false);
  EXPECT_EQ(it.CalcNodeLevel(blocked), 4);
  // A note whose parent is missing counts from where its chain breaks off.
  NoteNode orphan;
  orphan.m_strID = "orphan";
  orphan.m_strParentID = "nobody";
  doc.PushNode(orphan);
  doc.RebuildMap();
  EXPECT_EQ(it.CalcNodeLevel(doc.GetNodeCount() - 1), 0);
}
