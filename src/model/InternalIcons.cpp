#include "model/InternalIcons.h"

#include <unordered_map>

namespace {

const char* const kIconNames[] = {
    "note",     "folder",   "folder_open", "document", "book",     "bookmark", "calendar",
    "clock",    "check",    "star",        "flag",     "important", "warning", "error",
    "info",     "help",     "idea",        "home",     "user",     "contact",  "email",
    "phone",    "globe",    "link",        "image",    "music",    "video",    "computer",
    "key",      "lock",     "paperclip",   "pen",      "search",   "settings", "tag",
    "task",     "trash",    "wrench",      "chart",    "money",
};

constexpr int kIconCount = static_cast<int>(sizeof(kIconNames) / sizeof(kIconNames[0]));

const std::unordered_map<std::string, int>& NameMap() {
  static const std::unordered_map<std::string, int> map = [] {
    std::unordered_map<std::string, int> m;
    for (int i = 0; i < kIconCount; ++i) m.emplace(kIconNames[i], i);
    return m;
  }();
  return map;
}

}  // namespace

int InternalIcon_Name2Index(const std::string& name) {
  auto it = NameMap().find(name);
  return it == NameMap().end() ? -1 : it->second;
}

std::string InternalIcon_Index2Name(int index) {
  if (index < 0 || index >= kIconCount) return std::string();
  return kIconNames[index];
}

int InternalIcon_Count() { return kIconCount; }
