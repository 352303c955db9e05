#include "framework/reader.h"

#include <cctype>

#include "framework/controls.h"

namespace {

[[noreturn]] void Fail(const std::string& message, int line) {
  throw EReadError(Format("%s (line %d)", {message, line}));
}

// ---- tokens ----------------------------------------------------------------------

struct Token {
  enum Kind { Ident, Integer, String, Symbol, End };
  Kind kind = End;
  std::string text;  // identifier, string value, or the symbol
  long long integer = 0;
  int line = 1;
};

class Lexer {
 public:
  explicit Lexer(const std::string& text) : text_(text) {}

  Token Next() {
    SkipSpace();
    Token token;
    token.line = line_;
    if (pos_ >= text_.size()) return token;
    char c = text_[pos_];
    if (std::isalpha(static_cast<unsigned char>(c)) || c == '_') {
      token.kind = Token::Ident;
      while (pos_ < text_.size() && (std::isalnum(static_cast<unsigned char>(text_[pos_])) ||
                                     text_[pos_] == '_' || text_[pos_] == '.')) {
        token.text += text_[pos_++];
      }
    } else if (std::isdigit(static_cast<unsigned char>(c)) || c == '$' ||
               (c == '-' && pos_ + 1 < text_.size() &&
                (std::isdigit(static_cast<unsigned char>(text_[pos_ + 1])) || text_[pos_ + 1] == '$'))) {
      token.kind = Token::Integer;
      token.integer = Number();
    } else if (c == '\'' || c == '#') {
      token.kind = Token::String;
      token.text = StringPieces();
    } else {
      token.kind = Token::Symbol;
      token.text = std::string(1, c);
      ++pos_;
    }
    return token;
  }

 private:
  void SkipSpace() {
    while (pos_ < text_.size() && static_cast<unsigned char>(text_[pos_]) <= ' ') {
      if (text_[pos_] == '\n') ++line_;
      ++pos_;
    }
  }

  long long Number() {
    bool negative = text_[pos_] == '-';
    if (negative) ++pos_;
    bool hex = text_[pos_] == '$';
    if (hex) ++pos_;
    size_t start = pos_;
    unsigned long long value = 0;
    while (pos_ < text_.size() && (hex ? std::isxdigit(static_cast<unsigned char>(text_[pos_]))
                                       : std::isdigit(static_cast<unsigned char>(text_[pos_])))) {
      char d = static_cast<char>(std::tolower(static_cast<unsigned char>(text_[pos_++])));
      value = value * (hex ? 16 : 10) + static_cast<unsigned>(d <= '9' ? d - '0' : d - 'a' + 10);
      if (value > 0xFFFFFFFFull) Fail("Integer out of range", line_);
    }
    if (pos_ == start) Fail("Invalid number", line_);
    if (pos_ < text_.size() && (text_[pos_] == '.' || std::isalpha(static_cast<unsigned char>(text_[pos_])))) {
      Fail("Invalid number", line_);
    }
    // $FFFFFFFF is -1 as a 32-bit integer, as the description's writer meant it.
    long long result = hex && value > 0x7FFFFFFF ? static_cast<long long>(value) - 0x100000000ll
                                                 : static_cast<long long>(value);
    return negative ? -result : result;
  }

  // 'quoted' runs ('' is a quote) and #nn character codes, written without space.
  std::string StringPieces() {
    std::string value;
    while (pos_ < text_.size() && (text_[pos_] == '\'' || text_[pos_] == '#')) {
      if (text_[pos_] == '#') {
        ++pos_;
        long long code = Number();
        if (code < 0 || code > 255) Fail("Invalid character code", line_);
        value += static_cast<char>(code);
        continue;
      }
      ++pos_;
      for (;;) {
        if (pos_ >= text_.size() || text_[pos_] == '\n') Fail("Unterminated string", line_);
        if (text_[pos_] == '\'') {
          if (pos_ + 1 < text_.size() && text_[pos_ + 1] == '\'') {
            value += '\'';
            pos_ += 2;
            continue;
          }
          ++pos_;
          break;
        }
        value += text_[pos_++];
      }
    }
    return value;
  }

  const std::string& text_;
  size_t pos_ = 0;
  int line_ = 1;
};

// ---- the reader ------------------------------------------------------------------

class Reader : public TReaderContext {
 public:
  Reader(TComponent& root, const TClassInfo& rootClass, const std::string& text)
      : root_(root), rootClass_(rootClass), lexer_(text) {
    Advance();
  }

  void Read() {
    RegisterClass(rootClass_);
    Expect("object");
    Token name = Take(Token::Ident, "component name");
    ExpectSymbol(":");
    Token className = Take(Token::Ident, "class name");
    if (CompareText(className.text, rootClass_.Name()) != 0) {
      Fail(Format("Class %s does not match %s", {className.text, rootClass_.Name()}), className.line);
    }
    root_.SetLoading();
    root_.SetName(name.text);
    loaded_.push_back(&root_);
    ReadBody(root_, rootClass_);
    if (token_.kind != Token::End) Fail("End of description expected", token_.line);
    ResolveReferences();
    for (TComponent* component : loaded_) component->Loaded();
  }

  void DeferReference(const std::string& name, std::function<void(TComponent*)> set) override {
    fixups_.push_back({name, where_, line_, std::move(set)});
  }

  std::any Method(const std::string& name) override {
    std::any method = rootClass_.Method(root_, name);
    if (!method.has_value()) throw EReadError(Format("Method %s not found", {name}));
    return method;
  }

 private:
  struct Fixup {
    std::string name;
    std::string where;
    int line;
    std::function<void(TComponent*)> set;
  };

  void Advance() { token_ = lexer_.Next(); }

  bool IsIdent(const char* word) const {
    return token_.kind == Token::Ident && CompareText(token_.text, word) == 0;
  }

  void Expect(const char* word) {
    if (!IsIdent(word)) Fail(Format("'%s' expected", {word}), token_.line);
    Advance();
  }

  void ExpectSymbol(const char* symbol) {
    if (token_.kind != Token::Symbol || token_.text != symbol) {
      Fail(Format("'%s' expected", {symbol}), token_.line);
    }
    Advance();
  }

  Token Take(Token::Kind kind, const char* what) {
    if (token_.kind != kind) Fail(Format("%s expected", {what}), token_.line);
    Token taken = token_;
    Advance();
    return taken;
  }

  // Properties and nested objects up to the object's `end`.
  void ReadBody(TComponent& component, const TClassInfo& info) {
    while (!IsIdent("end")) {
      if (token_.kind == Token::End) Fail("'end' expected", token_.line);
      if (IsIdent("object")) {
        ReadChild(component);
      } else {
        ReadProperty(component, info);
      }
    }
    Advance();
  }

  void ReadChild(TComponent& enclosing) {
    Advance();
    Token name = Take(Token::Ident, "component name");
    ExpectSymbol(":");
    Token className = Take(Token::Ident, "class name");
    const TClassInfo* info = FindClass(className.text);
    if (!info) Fail(Format("Class %s not found", {className.text}), className.line);
    TComponent* component = info->Create(&root_);
    if (!component) Fail(Format("Class %s cannot be created", {className.text}), className.line);
    component->SetLoading();
    try {
      component->SetName(name.text);
    } catch (const Exception& error) {
      component->Free();
      Fail(error.Message, name.line);
    }
    loaded_.push_back(component);
    // The enclosing object is a control's parent when it is a windowed control.
    auto* control = dynamic_cast<TControl*>(component);
    auto* parent = dynamic_cast<TWinControl*>(&enclosing);
    if (control && parent) control->SetParent(parent);
    rootClass_.SetField(root_, name.text, component);
    ReadBody(*component, *info);
  }

  void ReadProperty(TComponent& component, const TClassInfo& info) {
    Token name = Take(Token::Ident, "property name");
    where_ = component.Name() + "." + name.text;
    line_ = name.line;
    ExpectSymbol("=");
    const TPropInfo* property = info.FindProperty(name.text);
    if (!property) {
      Fail(Format("Error reading %s: Property %s does not exist", {where_, name.text}), name.line);
    }
    TValue value = ReadValue();
    try {
      property->Set(component, value, *this);
    } catch (const EReadError& error) {
      Fail(Format("Error reading %s: %s", {where_, error.Message}), name.line);
    }
  }

  TValue ReadValue() {
    TValue value;
    int line = token_.line;
    switch (token_.kind) {
      case Token::Integer:
        value.Integer = token_.integer;
        Advance();
        return value;
      case Token::String:
        value.Type = TValue::vaString;
        value.Text = ReadString();
        return value;
      case Token::Ident:
        value.Type = TValue::vaIdent;
        value.Text = token_.text;
        Advance();
        return value;
      case Token::Symbol:
        if (token_.text == "[") return ReadSet();
        if (token_.text == "(") return ReadList();
        break;
      case Token::End:
        break;
    }
    Fail("Property value expected", line);
  }

  // Strings joined with +, across lines too.
  std::string ReadString() {
    std::string text = Take(Token::String, "string").text;
    while (token_.kind == Token::Symbol && token_.text == "+") {
      Advance();
      text += Take(Token::String, "string").text;
    }
    return text;
  }

  TValue ReadSet() {
    TValue value;
    value.Type = TValue::vaSet;
    Advance();
    while (!(token_.kind == Token::Symbol && token_.text == "]")) {
      value.Items.push_back(Take(Token::Ident, "set element").text);
      if (token_.kind == Token::Symbol && token_.text == ",") {
        Advance();
      } else if (!(token_.kind == Token::Symbol && token_.text == "]")) {
        Fail("']' expected", token_.line);
      }
    }
    Advance();
    return value;
  }

  TValue ReadList() {
    TValue value;
    value.Type = TValue::vaList;
    Advance();
    while (!(token_.kind == Token::Symbol && token_.text == ")")) value.Items.push_back(ReadString());
    Advance();
    return value;
  }

  // References name the root or a component it owns.
  void ResolveReferences() {
    for (Fixup& fixup : fixups_) {
      TComponent* target =
          CompareText(fixup.name, root_.Name()) == 0 ? &root_ : root_.FindComponent(fixup.name);
      if (!target) {
        Fail(Format("Error reading %s: Component %s not found", {fixup.where, fixup.name}), fixup.line);
      }
      try {
        fixup.set(target);
      } catch (const EReadError& error) {
        Fail(Format("Error reading %s: %s", {fixup.where, error.Message}), fixup.line);
      }
    }
  }

  TComponent& root_;
  const TClassInfo& rootClass_;
  Lexer lexer_;
  Token token_;
  std::vector<TComponent*> loaded_;  // in creation order, the root first
  std::vector<Fixup> fixups_;
  std::string where_;  // the property being read, for messages
  int line_ = 0;
};

}  // namespace

void ReadComponent(TComponent& root, const TClassInfo& rootClass, const std::string& text) {
  Reader(root, rootClass, text).Read();
}
