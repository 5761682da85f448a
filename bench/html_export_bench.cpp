// HTML export: a whole document as one page with a numbered table of
// contents, style-sheet classes and warning links (a branch export, so that
// every link is checked against the walk), at 10k and 100k notes; time per
// note should stay flat. And the same page with pictures and attachments
// written as files beside it.

#include <benchmark/benchmark.h>
#include <ftw.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "formats/export/FormatIOHtmlExport.h"
#include "formats/native/FormatIOHtml.h"
#include "model/NoteDocument.h"
#include "model/RecursiveTreeWalker.h"
#include "samples/SampleDocument.h"

using quillery_bench::SampleOptions;

namespace {

std::string TempDir() {
  const char* dir = getenv("TMPDIR");
  std::string tmpl = std::string(dir && *dir ? dir : "/tmp") + "/qy_export_bench_XXXXXX";
  return mkdtemp(&tmpl[0]) ? tmpl : std::string();
}

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) { return remove(path); }

void RunExport(benchmark::State& state, bool toFiles) {
  NoteDocument doc;
  SampleOptions opt;
  opt.notes = static_cast<int>(state.range(0));
  opt.pictureRate = 0.05;
  opt.attachmentRate = 0.02;
  quillery_bench::MakeSampleDocument(doc, opt);
  // One root over everything, exported as a branch.
  const int root = doc.NodeInsert("", 0);
  for (int i = 0; i < doc.GetNodeCount(); ++i) {
    NoteNode& n = doc.GetNodeByIdx(i);
    if (i != root && n.m_strParentID.empty()) n.m_strParentID = doc.GetNodeByIdx(root).m_strID;
  }
  doc.RebuildMap();
  const std::string dir = TempDir();
  const std::string css = dir + "/style.css";
  if (FILE* f = fopen(css.c_str(), "w")) {
    fputs("body { margin: 1em; }\n", f);
    fclose(f);
  }
  doc.strExportCss = css;
  doc.nExportTocDepth = 3;
  doc.bExportNumbered = true;
  doc.bExportPicturesToFiles = toFiles;
  const std::string path = dir + "/page.html";
  for (auto _ : state) {
    RecursiveTreeWalker walker(doc, WALK_BRANCH, root);
    FormatIO_HTMLExport fmt;
    fmt.SetExport(true, true);
    fmt.m_bReportProgress = false;
    if (fmt.Save(path.c_str(), walker) != 0) state.SkipWithError("export failed");
    state.PauseTiming();
    nftw((dir + "/page_files").c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * opt.notes);
  nftw(dir.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

void BM_ExportPage(benchmark::State& state) { RunExport(state, false); }
void BM_ExportWithFiles(benchmark::State& state) { RunExport(state, true); }

}  // namespace

BENCHMARK(BM_ExportPage)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ExportWithFiles)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
