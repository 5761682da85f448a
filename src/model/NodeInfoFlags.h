#pragma once

// Bit mask naming the parts of a note. The model passes it to a dynamic
// (file-attached) format when it asks for note parts to be fetched or written.
// Bits 0x4000 and 0x8000 carry no meaning.

typedef unsigned int NodeInfoFlags;

constexpr unsigned int NIF_TEXT = 0x0001;               // text and both hashes
constexpr unsigned int NIF_TITLE = 0x0002;              // written only; never fetched
constexpr unsigned int NIF_ATTACHMENTS = 0x0004;        // attachments with their bytes
constexpr unsigned int NIF_PICTURES = 0x0008;           // pictures with their bytes
constexpr unsigned int NIF_LINKS = 0x0010;              // links and the note's own link
constexpr unsigned int NIF_TAGS = 0x0020;
constexpr unsigned int NIF_PROPERTIES = 0x0040;         // dates, icon, flags, colours, hashes
constexpr unsigned int NIF_FORMATTING = 0x0080;
constexpr unsigned int NIF_TREE_POSITION = 0x0100;      // written only
constexpr unsigned int NIF_TASK = 0x0200;               // written only
constexpr unsigned int NIF_CUSTOM_PROPERTIES = 0x0400;
constexpr unsigned int NIF_ATTACHMENT_INFO = 0x0800;    // without bytes; only when NIF_ATTACHMENTS is clear
constexpr unsigned int NIF_PICTURE_INFO = 0x1000;       // without bytes; only when NIF_PICTURES is clear
constexpr unsigned int NIF_ANCHORS = 0x2000;

// Everything that makes a note's rich text complete.
constexpr unsigned int NIF_RICH_TEXT =
    NIF_TEXT | NIF_PICTURES | NIF_LINKS | NIF_FORMATTING | NIF_ANCHORS;
constexpr unsigned int NIF_ALL = 0xFFFF;
// The parts a dynamic format keeps in its file until they are fetched (and
// that NoteNode::Clear frees again): rich text and attachments.
constexpr unsigned int NIF_CONTENT = NIF_RICH_TEXT | NIF_ATTACHMENTS | NIF_ATTACHMENT_INFO | NIF_PICTURE_INFO;

static_assert(NIF_RICH_TEXT == 0x2099, "rich-text mask");
static_assert((NIF_TEXT | NIF_ATTACHMENTS | NIF_PICTURES | NIF_LINKS | NIF_TAGS | NIF_FORMATTING |
               NIF_TASK | NIF_CUSTOM_PROPERTIES | NIF_ANCHORS) == 0x26BD,
              "merge mask composes from the named bits");
