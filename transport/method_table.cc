#include "transport/method_table.h"

#include <cassert>
#include <cctype>

namespace transport {
namespace {

class EncodingParser {
 public:
  explicit EncodingParser(std::string_view s) : s_(s) {}

  std::optional<MethodSignature> method() {
    if (!literal("v") || !offset() || !literal("@") || !offset() || !literal(":") || !offset()) {
      return std::nullopt;
    }
    MethodSignature sig;
    bool sawBlock = false;
    while (pos_ < s_.size()) {
      if (sawBlock) return std::nullopt;  // the reply block comes last
      if (literal("@?<")) {
        if (!blockSignature(sig.replyParameters) || !offset()) return std::nullopt;
        sawBlock = true;
        continue;
      }
      auto t = argType();
      if (!t || !offset()) return std::nullopt;
      sig.arguments.push_back(*t);
    }
    if (!sawBlock) return std::nullopt;
    return sig;
  }

 private:
  bool literal(std::string_view lit) {
    if (s_.substr(pos_, lit.size()) != lit) return false;
    pos_ += lit.size();
    return true;
  }

  bool offset() {
    const std::size_t start = pos_;
    while (pos_ < s_.size() && std::isdigit(static_cast<unsigned char>(s_[pos_]))) ++pos_;
    return pos_ > start;
  }

  std::optional<ArgType> argType() {
    if (literal("q")) return ArgType::kInt64;
    if (literal("B") || literal("c")) return ArgType::kBool;
    if (literal("@\"NSString\"")) return ArgType::kString;
    if (literal("@\"NSArray\"")) return ArgType::kArray;
    return std::nullopt;
  }

  // After "@?<": "v@?" then the parameter types, then ">".
  bool blockSignature(std::vector<ArgType>& params) {
    if (!literal("v@?")) return false;
    while (!literal(">")) {
      auto t = argType();
      if (!t) return false;
      params.push_back(*t);
    }
    return true;
  }

  std::string_view s_;
  std::size_t pos_ = 0;
};

}  // namespace

std::optional<MethodSignature> parseMethodEncoding(std::string_view encoding) {
  return EncodingParser(encoding).method();
}

bool fits(const common::Value& value, ArgType type) {
  switch (type) {
    case ArgType::kInt64:
      return value.asInt64().has_value();
    case ArgType::kBool:
      return value.isBool();
    case ArgType::kString:
      return value.isNil() || value.isString();
    case ArgType::kArray:
      return value.isNil() || value.isArray();
  }
  return false;
}

std::shared_ptr<const MethodTable> MethodTable::withMethods(
    const std::vector<std::pair<std::string, std::string>>& methods) {
  auto table = std::make_shared<MethodTable>();
  for (const auto& [selector, encoding] : methods) {
    auto sig = parseMethodEncoding(encoding);
    assert(sig && "malformed type encoding in a method table");
    if (!sig) continue;
    table->methods_.push_back({selector, encoding, std::move(*sig)});
  }
  return table;
}

const MethodDescription* MethodTable::find(std::string_view selector) const {
  for (const auto& m : methods_) {
    if (m.selector == selector) return &m;
  }
  return nullptr;
}

const MethodDescription* MethodTable::methodFor(std::string_view selector,
                                                std::string_view typeEncoding,
                                                const common::Array& arguments,
                                                std::string* err) const {
  const MethodDescription* method = find(selector);
  if (method == nullptr || method->typeEncoding != typeEncoding ||
      arguments.size() != method->signature.arguments.size()) {
    *err = "request for an unknown selector or with a wrong encoding";
    return nullptr;
  }
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    if (!fits(arguments[i], method->signature.arguments[i])) {
      *err = "request arguments do not fit " + method->selector;
      return nullptr;
    }
  }
  return method;
}

}  // namespace transport
