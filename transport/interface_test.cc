#include "transport/interface.h"

#include <gtest/gtest.h>

namespace transport {
namespace {

using A = ArgType;

TEST(MethodEncoding, ParsesReplyBlockSignatures) {
  struct Case {
    const char* encoding;
    std::vector<ArgType> args;
    std::vector<ArgType> reply;
  };
  const Case cases[] = {
      {"v24@0:8@?<v@?@\"NSArray\">16", {}, {A::kArray}},
      {"v32@0:8q16@?<v@?B>24", {A::kInt64}, {A::kBool}},
      {"v32@0:8@\"NSString\"16@?<v@?B@\"NSString\">24", {A::kString}, {A::kBool, A::kString}},
      {"v60@0:8B16@\"NSArray\"20@\"NSArray\"28@\"NSArray\"36@\"NSArray\"44@?<v@?B@\"NSString\">52",
       {A::kBool, A::kArray, A::kArray, A::kArray, A::kArray},
       {A::kBool, A::kString}},
      {"v40@0:8q16@\"NSString\"24@?<v@?B>32", {A::kInt64, A::kString}, {A::kBool}},
      // The x86_64 form: BOOL as a signed char.
      {"v40@0:8q16@\"NSString\"24@?<v@?c>32", {A::kInt64, A::kString}, {A::kBool}},
  };
  for (const auto& c : cases) {
    auto sig = parseMethodEncoding(c.encoding);
    ASSERT_TRUE(sig) << c.encoding;
    EXPECT_EQ(sig->arguments, c.args) << c.encoding;
    EXPECT_EQ(sig->replyParameters, c.reply) << c.encoding;
  }
}

TEST(MethodEncoding, RefusesWhatIsNotAVoidMethodEndingInAReplyBlock) {
  for (const char* e : {"", "v24@0:8", "i24@0:8@?<v@?B>16", "v24@0:8@?<v@?B>", "v24@0:8@?<v@?B16",
                        "v24@0:8@?<v@?B>16q24", "v24@0:8d16@?<v@?B>24",
                        "v24@0:8@\"NSData\"16@?<v@?>24", "v24@0:8@?<v@?x>16"}) {
    EXPECT_FALSE(parseMethodEncoding(e)) << e;
  }
}

TEST(MethodEncoding, ArgumentsFitTheirDeclaredTypes) {
  using common::Value;
  const common::Value nil{common::Nil{}}, strings{common::Array{Value("not a number")}};
  const std::tuple<Value, A, bool> cases[] = {
      {Value(-5), A::kInt64, true},   {Value(UINT64_MAX), A::kInt64, false},
      {Value(1.0), A::kInt64, false}, {nil, A::kInt64, false},
      {Value(true), A::kBool, true},  {Value(1), A::kBool, false},
      {nil, A::kString, true},        {Value(""), A::kString, true},
      {strings, A::kString, false},   {nil, A::kArray, true},
      {strings, A::kArray, true},     {Value("x"), A::kArray, false}};
  for (const auto& [value, type, fitsIt] : cases) {
    EXPECT_EQ(fits(value, type), fitsIt) << static_cast<int>(type);
  }
}

}  // namespace
}  // namespace transport
