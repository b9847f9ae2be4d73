#include "codesign/requirement.h"

namespace codesign {
namespace {

struct Token {
  enum class Kind { kWord, kString, kPunct, kEnd, kError };
  Kind kind = Kind::kEnd;
  std::string text;  // the word, the unescaped string, or the punctuation mark
};

class Lexer {
 public:
  explicit Lexer(std::string_view text) : text_(text) {}

  Token next() {
    while (pos_ < text_.size() && isSpace(text_[pos_])) ++pos_;
    if (pos_ == text_.size()) return {Token::Kind::kEnd, {}};
    const char c = text_[pos_];
    if (c == '[' || c == ']' || c == '=') {
      ++pos_;
      return {Token::Kind::kPunct, std::string(1, c)};
    }
    if (c == '"') return string();
    if (isWordChar(c)) {
      const std::size_t start = pos_;
      while (pos_ < text_.size() && isWordChar(text_[pos_])) ++pos_;
      return {Token::Kind::kWord, std::string(text_.substr(start, pos_ - start))};
    }
    return {Token::Kind::kError, {}};
  }

 private:
  static bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
  static bool isWordChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '_';
  }

  Token string() {
    std::string value;
    for (++pos_; pos_ < text_.size(); ++pos_) {
      const auto c = static_cast<unsigned char>(text_[pos_]);
      if (c == '"') {
        ++pos_;
        return {Token::Kind::kString, std::move(value)};
      }
      if (c < 0x20 || c == 0x7f) break;
      if (c == '\\') {
        if (++pos_ == text_.size() || (text_[pos_] != '"' && text_[pos_] != '\\')) break;
        value.push_back(text_[pos_]);
        continue;
      }
      value.push_back(static_cast<char>(c));
    }
    return {Token::Kind::kError, {}};
  }

  std::string_view text_;
  std::size_t pos_ = 0;
};

class Parser {
 public:
  explicit Parser(std::string_view text) : lexer_(text) { advance(); }

  std::optional<Requirement> requirement() {
    Requirement result;
    do {
      std::optional<RequirementClause> c = clause();
      if (!c) return std::nullopt;
      result.clauses.push_back(std::move(*c));
    } while (acceptWord("and"));
    if (current_.kind != Token::Kind::kEnd) return std::nullopt;
    return result;
  }

 private:
  void advance() { current_ = lexer_.next(); }

  bool accept(Token::Kind kind, std::string_view text) {
    if (current_.kind != kind || current_.text != text) return false;
    advance();
    return true;
  }
  bool acceptWord(std::string_view word) { return accept(Token::Kind::kWord, word); }
  bool acceptPunct(std::string_view mark) { return accept(Token::Kind::kPunct, mark); }

  std::optional<std::string> string() {
    if (current_.kind != Token::Kind::kString || current_.text.empty()) return std::nullopt;
    std::string value = std::move(current_.text);
    advance();
    return value;
  }

  std::optional<RequirementClause> clause() {
    using Kind = RequirementClause::Kind;
    if (acceptWord("anchor")) {
      if (!acceptWord("apple") || !acceptWord("generic")) return std::nullopt;
      return RequirementClause{Kind::kAnchorAppleGeneric, {}};
    }
    if (acceptWord("identifier")) {
      std::optional<std::string> value = string();
      if (!value) return std::nullopt;
      return RequirementClause{Kind::kIdentifier, std::move(*value)};
    }
    if (acceptWord("certificate")) {
      if (!acceptWord("leaf") || !acceptPunct("[") || !acceptWord("subject.OU") ||
          !acceptPunct("]") || !acceptPunct("=")) {
        return std::nullopt;
      }
      std::optional<std::string> value = string();
      if (!value) return std::nullopt;
      return RequirementClause{Kind::kLeafSubjectOU, std::move(*value)};
    }
    return std::nullopt;
  }

  Lexer lexer_;
  Token current_;
};

}  // namespace

std::optional<Requirement> compileRequirement(std::string_view text) {
  return Parser(text).requirement();
}

}  // namespace codesign
