#include "lib/pxwin32.h"

#include "framework/sysutils.h"

namespace {

void RemoveAll(std::string& text, const std::string& part) {
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at)) {
    text.erase(at, part.size());
  }
}

}  // namespace

void SymbolicNameToDeviceId(const std::string& Name, std::string& Id) {
  std::string text = Name;
  RemoveAll(text, "\\??\\");
  RemoveAll(text, "_??_");
  for (char& c : text) {
    if (c == '#') c = '\\';
  }
  Id = Trim(text);
}
