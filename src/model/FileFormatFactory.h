#pragma once

// Process-wide registry of format creators, keyed by FileFormatId. A host
// registers one creator per identifier at start-up. The factory owns only its
// map; every object CreateFileFormat returns belongs to the caller.

#include <map>

class FormatIO_Base;

class FileFormatFactory {
 public:
  typedef FormatIO_Base* (*Creator)();

  static FileFormatFactory& Get();

  // Sets or replaces the creator for id; a null creator unregisters it.
  void Register(int id, Creator creator);
  // A new format object, or null when nothing is registered for id.
  FormatIO_Base* CreateFileFormat(int id) const;
  bool IsRegistered(int id) const { return m_map.count(id) != 0; }

  ~FileFormatFactory() { m_map.clear(); }

 private:
  FileFormatFactory() = default;
  std::map<int, Creator> m_map;
};
