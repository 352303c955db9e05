// Exceptions and string formatting of the component framework.
#pragma once

#include <cstdint>
#include <exception>
#include <initializer_list>
#include <string>

class TObject {
 public:
  virtual ~TObject() = default;
  // The class's own name without namespace ("TpxUSB"). It is the dynamic type, so it
  // names the base class while a base constructor or destructor runs.
  std::string ClassName() const;
};

// The framework's general error class: every error the framework or the library
// raises is one of these, with a message meant for the user.
class Exception : public std::exception, public TObject {
 public:
  explicit Exception(std::string message) : Message(std::move(message)) {}
  const char* what() const noexcept override { return Message.c_str(); }
  std::string Message;
};

class EListError : public Exception {
 public:
  using Exception::Exception;
};

class EStringListError : public Exception {
 public:
  using Exception::Exception;
};

class EAbstractError : public Exception {
 public:
  EAbstractError() : Exception("Abstract Error") {}
};

class EConvertError : public Exception {
 public:
  using Exception::Exception;
};

class EComponentError : public Exception {
 public:
  using Exception::Exception;
};

// One argument of Format: an integer (signed or unsigned) or a string.
class TVarRec {
 public:
  TVarRec(int v) : kind_(kSigned), signed_(v) {}
  TVarRec(long v) : kind_(kSigned), signed_(v) {}
  TVarRec(long long v) : kind_(kSigned), signed_(v) {}
  TVarRec(unsigned v) : kind_(kUnsigned), unsigned_(v) {}
  TVarRec(unsigned long v) : kind_(kUnsigned), unsigned_(v) {}
  TVarRec(unsigned long long v) : kind_(kUnsigned), unsigned_(v) {}
  TVarRec(const char* v) : kind_(kString), string_(v ? v : "") {}
  TVarRec(std::string v) : kind_(kString), string_(std::move(v)) {}

  bool IsString() const { return kind_ == kString; }
  const std::string& String() const { return string_; }
  // The integer's 64-bit two's-complement pattern.
  std::uint64_t Bits() const { return kind_ == kSigned ? static_cast<std::uint64_t>(signed_) : unsigned_; }
  bool Negative() const { return kind_ == kSigned && signed_ < 0; }

 private:
  enum Kind { kSigned, kUnsigned, kString } kind_;
  long long signed_ = 0;
  unsigned long long unsigned_ = 0;
  std::string string_;
};

// The framework's Format: %d %u %x %X %s with optional '-', width and precision
// (for integers: at least that many digits, "%.2u" gives "07"), and %%.
// A conversion that does not fit its argument, or a missing argument, raises
// EConvertError.
std::string Format(const std::string& format, std::initializer_list<TVarRec> args);

std::string IntToStr(long long value);
std::string IntToHex(unsigned long long value, int digits);
// Leading and trailing characters of code 32 or less removed.
std::string Trim(const std::string& text);
std::string UpperCase(std::string text);
std::string LowerCase(std::string text);
// Case-insensitive comparison (<0, 0, >0), as the string lists order and search.
int CompareText(const std::string& a, const std::string& b);
