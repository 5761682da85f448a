#pragma once

// Path and folder helpers. Paths are UTF-8 byte strings handed to the file
// system unchanged. Pure string helpers never touch the disk; the folder
// helpers (CheckFileWriteAccess, EnsureDirExists) do.

#include <string>

// True when the path may be written (access W_OK); otherwise logs at level 5
// "File not writeable: %s\n" and returns false.
bool CheckFileWriteAccess(const std::string& path);

// Same device and inode: two spellings of one path are one file, two files
// with equal names in different places are not. False when either path is
// empty or does not exist.
bool SameFile(const std::string& a, const std::string& b);

// Creates the folder and every missing parent with mode 0777 (minus umask).
// True when the folder exists afterwards.
bool EnsureDirExists(const std::string& path);

// Appends sep when the path is empty or ends in neither '/' nor '\\'.
void EnsureTerminated(std::string& path, char sep);

// The folder part with sep at its end; one trailing sep of the path is
// ignored, and only sep separates. "/a/b/c.txt" -> "/a/b/", "/a/b/" -> "/a/",
// "x" -> "/", "" -> "/".
std::string GetParentDir(const std::string& path, char sep = '/');

// Up to and including the last '/' or '\\'; unchanged without either.
std::string GetFileDir(const std::string& path);

// The last component ('/' or '\\' separate; one trailing separator ignored).
std::string GetBaseName(const std::string& path);

// The last component without its last extension: "/x/y.tar.gz" -> "y.tar".
std::string GetTitleName(const std::string& path);

// The last component's extension from its last '.', dot included; "" if none.
std::string GetFileExt(const std::string& path);

// Non-empty and starting with "/".
bool IsAbsolutePath(const std::string& path);

// Longer than 7 bytes and starting with "file:///" or "lua:///".
bool IsAbsoluteLocalPathURL(const std::string& url);

// The rule for the targets of links stored in a document (never for a file
// name given to open or write: see MakeAbsolutePath). Puts base (with a slash)
// in front of a relative path, turns the path's backslashes into slashes,
// then resolves the path component by component: "." components go, ".."
// removes the component before it (never above the root of an absolute
// path). An already absolute path is only normalised. Returns true.
bool ConvertToAbsolutePath(std::string& path, const std::string& base);

// The folder part of path ("." for a bare name, "/" for the root) and its
// last component, as the kernel reads them: no folding, no separators but
// '/'.
void SplitFolderAndName(const std::string& path, std::string& folder, std::string& name);

// The absolute name of the file the kernel opens for path: its folder as
// realpath gives it (symbolic links and ".." of the folder resolved as the
// file system has them), its last component exactly as given (a backslash is
// part of a name). When the folder cannot be resolved (it does not exist),
// the working folder is put in front of a relative path and nothing else
// changes. An empty path stays empty.
std::string MakeAbsolutePath(const std::string& path);

// Rewrites an absolute path relative to the folder of the absolute base path,
// comparing whole components case-sensitively: "/d/img/a.png" against
// "/d/docs/page.html" gives "../img/a.png". False, path unchanged, when
// either path is not absolute.
bool ConvertToRelativePath(std::string& path, const std::string& base);

// .jpg, .jpeg, .png or .gif in any letter case.
bool IsImageFile(const std::string& path);

// One of this system's own document extensions (.qyd, .qye, .qydb, .qyde,
// .qyz) in any letter case.
bool is_main_format(const std::string& path);

// Reads the whole of a small file the user names for its contents (a
// password, a style sheet, a template page). It is opened without blocking
// (a FIFO would wait in open for a writer) and read only when it is a
// regular file (a device or a FIFO may never end), and only up to limit
// bytes. 0, or an errno: EINVAL when it is no regular file, EFBIG when it
// is larger than limit, else that of the failed open or read.
int ReadRegularFile(const std::string& path, size_t limit, std::string& out);

// Reads an open descriptor to its end, at most limit bytes: 0, EFBIG when
// there is more, or the errno of the failed read.
int ReadAtMost(int fd, size_t limit, std::string& out);

// Why ReadRegularFile or ReadAtMost failed with err: "not a regular file",
// "larger than 64 KB" (limit), else the system's text of the errno.
std::string ReadProblem(int err, size_t limit);
