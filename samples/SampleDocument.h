#pragma once

// Deterministic sample documents for benchmarks: the same seed and options
// give the same notes, IDs, texts and formatting on every run and machine.
//
// Texts mix ASCII words, multibyte characters and line breaks; formatting
// ranges are properly nested (disjoint ranges, ends before begins at one
// offset), as the model keeps them.

#include <cstdint>
#include <random>
#include <string>

class NoteDocument;
class NoteNode;

namespace quillery_bench {

struct SampleOptions {
  int notes = 1000;            // notes in the document
  int maxDepth = 4;            // deepest level (0 = top level only)
  int textBytes = 200;         // about this many bytes of text per note
  int tagsPerNote = 4;         // formatting tags per note (begin and end count one each)
  int linksPerNote = 1;        // links per note (internal, to an earlier note)
  double pictureRate = 0.0;    // share of notes holding one small picture
  double attachmentRate = 0.0; // share of notes holding one 1 KB attachment
  uint32_t seed = 1;
};

// Fills an empty document: note i gets the ID "n<i>", a title, a text and
// its formatting, links, pictures and attachments; each note goes under a
// random earlier note whose depth allows it (or the top level).
void MakeSampleDocument(NoteDocument& doc, const SampleOptions& opt);

// About `bytes` bytes of text: words, some multibyte characters, line breaks.
std::string SampleText(std::mt19937& rng, size_t bytes);

// Adds `tags` formatting tags (tags / 2 disjoint ranges of bold, italic,
// colour and font) over the note's text.
void AddSampleFormatting(NoteNode& note, int tags, std::mt19937& rng);

}  // namespace quillery_bench
