#pragma once

// A name/value property of a note or of the document.

#include <string>

class CustomProperty {
 public:
  CustomProperty() = default;
  CustomProperty(const std::string& name, const std::string& value) : strName(name), strValue(value) {}

  bool operator==(const CustomProperty& o) const { return strName == o.strName && strValue == o.strValue; }

  std::string strName;
  std::string strValue;
};
