#pragma once

// The formats this host registers with the engine's factory, their names,
// and the one-line meanings of the load and save result codes.

#include <string>
#include <vector>

class FormatIO_Base;

namespace quillery_host {

// Registers every format the host supports, and the native writer as the
// model's note renderer (once per process).
void RegisterFormats();

// "native HTML document (.qyd)" and the like; "format N" for others.
std::string FormatName(int formatId);
// The identifiers registered, in ascending order.
std::vector<int> RegisteredFormats();
// The usual extension of a registered format, with its dot (".qyd").
std::string FormatExtension(int formatId);
// False for a format that is written as an export and read back as something
// else (.html: one note), true for one that stores a whole document.
bool StoresDocument(int formatId);

// Whether the registered format encrypts its files (.qye, .qyde).
bool IsEncryptedFormat(int formatId);

// The format version of the database at path (read-only, keyed with
// password when one is given), when it is older than the one this program
// writes; 0 when it is not older, or when its schema cannot be read.
int OlderDatabaseVersion(const std::string& path, const char* password);

// What the load by loader left out of its document because no document can
// hold it (pictures that are not embedded PNG or JPEG pictures), as the end
// of a line; empty when it left out nothing.
std::string LeftOutText(const FormatIO_Base* loader);

// "wrong or empty password" and the like, for DocLoadResult and DocSaveResult.
std::string LoadResultText(int result);
std::string SaveResultText(int result);

// A failure line ends with a number in parentheses that names its cause on
// its own, whether a load or a save failed: the load result itself, and for
// a save result the number of the same cause (cancelled 1, unsupported
// format 4) or one of its own (10 and up).
int SaveCauseNumber(int result);
// Every cause number with its meaning, one per line, for --help.
std::string CauseNumbersHelp();

}  // namespace quillery_host
