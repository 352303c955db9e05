#include "framework/sysutils.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <memory>
#include <typeinfo>
#include <vector>

#if defined(__GNUC__) || defined(__clang__)
#include <cxxabi.h>
#endif

std::string TObject::ClassName() const {
  std::string name = typeid(*this).name();
#if defined(__GNUC__) || defined(__clang__)
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> plain(
      abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status), std::free);
  if (status == 0 && plain) name = plain.get();
#else
  for (const char* prefix : {"class ", "struct "}) {
    if (name.rfind(prefix, 0) == 0) name.erase(0, std::char_traits<char>::length(prefix));
  }
#endif
  size_t scope = name.rfind("::");
  return scope == std::string::npos ? name : name.substr(scope + 2);
}

namespace {

[[noreturn]] void invalidFormat(const std::string& format) {
  throw EConvertError("Format '" + format + "' invalid or incompatible with argument");
}

std::string digitsOf(std::uint64_t value, unsigned base, bool upper) {
  const char* symbols = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  std::string text;
  do {
    text.insert(text.begin(), symbols[value % base]);
    value /= base;
  } while (value);
  return text;
}

// %u and %x show a negative 32-bit argument as its unsigned 32-bit pattern.
std::uint64_t unsignedView(const TVarRec& arg) {
  std::uint64_t bits = arg.Bits();
  bool fits32 = static_cast<long long>(bits) >= INT32_MIN;
  return arg.Negative() && fits32 ? bits & 0xFFFFFFFFu : bits;
}

}  // namespace

std::string Format(const std::string& format, std::initializer_list<TVarRec> args) {
  std::vector<const TVarRec*> list;
  for (const TVarRec& arg : args) list.push_back(&arg);
  size_t next = 0;
  std::string out;
  for (size_t i = 0; i < format.size(); ++i) {
    char c = format[i];
    if (c != '%') {
      out += c;
      continue;
    }
    if (++i >= format.size()) invalidFormat(format);
    if (format[i] == '%') {
      out += '%';
      continue;
    }
    bool left = false;
    if (format[i] == '-') {
      left = true;
      ++i;
    }
    size_t width = 0;
    while (i < format.size() && std::isdigit(static_cast<unsigned char>(format[i]))) {
      width = width * 10 + static_cast<size_t>(format[i++] - '0');
    }
    size_t precision = 0;
    bool hasPrecision = false;
    if (i < format.size() && format[i] == '.') {
      hasPrecision = true;
      ++i;
      while (i < format.size() && std::isdigit(static_cast<unsigned char>(format[i]))) {
        precision = precision * 10 + static_cast<size_t>(format[i++] - '0');
      }
    }
    if (i >= format.size() || next >= list.size()) invalidFormat(format);
    const TVarRec& arg = *list[next++];
    char conversion = static_cast<char>(std::tolower(static_cast<unsigned char>(format[i])));
    std::string field;
    if (conversion == 's') {
      if (!arg.IsString()) invalidFormat(format);
      field = hasPrecision ? arg.String().substr(0, precision) : arg.String();
    } else {
      if (arg.IsString()) invalidFormat(format);
      std::uint64_t bits = arg.Bits();
      bool negative = false;
      switch (conversion) {
        case 'd':
          negative = arg.Negative();
          field = digitsOf(negative ? 0 - bits : bits, 10, false);
          break;
        case 'u':
          field = digitsOf(unsignedView(arg), 10, false);
          break;
        case 'x':
          field = digitsOf(unsignedView(arg), 16, format[i] == 'X');
          break;
        default:
          invalidFormat(format);
      }
      if (hasPrecision && field.size() < precision) field.insert(0, precision - field.size(), '0');
      if (negative) field.insert(0, "-");
    }
    if (field.size() < width) {
      if (left) {
        field.append(width - field.size(), ' ');
      } else {
        field.insert(0, width - field.size(), ' ');
      }
    }
    out += field;
  }
  return out;
}

std::string IntToStr(long long value) { return Format("%d", {value}); }

std::string IntToHex(unsigned long long value, int digits) {
  std::string text = digitsOf(value, 16, true);
  if (static_cast<int>(text.size()) < digits) text.insert(0, static_cast<size_t>(digits) - text.size(), '0');
  return text;
}

std::string Trim(const std::string& text) {
  size_t first = 0;
  size_t last = text.size();
  while (first < last && static_cast<unsigned char>(text[first]) <= 32) ++first;
  while (last > first && static_cast<unsigned char>(text[last - 1]) <= 32) --last;
  return text.substr(first, last - first);
}

std::string UpperCase(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

std::string LowerCase(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

int CompareText(const std::string& a, const std::string& b) {
  std::string la = LowerCase(a);
  std::string lb = LowerCase(b);
  return la.compare(lb) < 0 ? -1 : (la == lb ? 0 : 1);
}
