#include "model/FileFormatFactory.h"

#include "model/FormatIO_Base.h"

FileFormatFactory& FileFormatFactory::Get() {
  static FileFormatFactory instance;
  return instance;
}

void FileFormatFactory::Register(int id, Creator creator) {
  if (creator) m_map[id] = creator;
  else m_map.erase(id);
}

FormatIO_Base* FileFormatFactory::CreateFileFormat(int id) const {
  auto it = m_map.find(id);
  return it == m_map.end() ? nullptr : it->second();
}
