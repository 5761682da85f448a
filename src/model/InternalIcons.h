#pragma once

// Built-in note icons, known by index (stored in a note's icon type) and by
// name (stored in files). The table is fixed: indices and names never change
// once written, new icons are only appended.

#include <string>

// Index of the built-in icon with that name, -1 when there is none.
int InternalIcon_Name2Index(const std::string& name);
// Name of the built-in icon with that index, empty when there is none.
std::string InternalIcon_Index2Name(int index);
// Number of built-in icons.
int InternalIcon_Count();
