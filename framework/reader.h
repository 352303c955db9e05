// The reader of form descriptions in their text form:
//
//   object Form1: TForm1
//     Left = 440
//     Caption = 'USB Device Demo - ' + 'x'#39's'
//     Anchors = [akLeft, akTop, akRight]
//     OnShow = pxDeviceBox1Change
//     object Memo1: TMemo
//       Lines.Strings = ( 'first' 'second' )
//     end
//   end
//
// Values: strings ('' for a quote, #nn for a character code, + to join), integers
// (decimal or $hex), True / False, identifiers (enumeration values, components,
// handler methods of the root), sets in brackets and lists of strings in parentheses.
#pragma once

#include <string>

#include "framework/typinfo.h"

// Reads `text` into `root`, described by `rootClass`. Each object the text contains
// is created, owned by the root (its parent the enclosing control), with csLoading
// set, in the order of the text; its properties are set as they come. References
// between components are resolved once all exist; then Loaded runs on the root and
// every created component in creation order. An unknown class, property, reference
// or handler, or a value of the wrong kind, raises EReadError naming it and the line.
void ReadComponent(TComponent& root, const TClassInfo& rootClass, const std::string& text);

// Reads a form class's own description, if it has one.
template <class T>
void ReadForm(T& root) {
  const TClassInfo& info = T::ClassInfo();
  if (!info.Description().empty()) ReadComponent(root, info, info.Description());
}
