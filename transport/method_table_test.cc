#include "transport/method_table.h"

#include <gtest/gtest.h>

namespace transport {
namespace {

using A = ArgType;
using common::Value;

// No narrowing (a uint64 above INT64_MAX is not a pid of -1); nil only for a string or array.
TEST(MethodEncoding, ParsesVoidMethodsEndingInAReplyBlockAndArgumentsFitTheirTypesOnly) {
  const std::tuple<const char*, std::vector<A>, std::vector<A>> cases[] = {
      {"v24@0:8@?<v@?@\"NSArray\">16", {}, {A::kArray}},
      {"v32@0:8@\"NSString\"16@?<v@?B@\"NSString\">24", {A::kString}, {A::kBool, A::kString}},
      {"v60@0:8B16@\"NSArray\"20@\"NSArray\"28@\"NSArray\"36@\"NSArray\"44@?<v@?B@\"NSString\">52",
       {A::kBool, A::kArray, A::kArray, A::kArray, A::kArray},
       {A::kBool, A::kString}},
      // The x86_64 form: BOOL as a signed char.
      {"v40@0:8q16@\"NSString\"24@?<v@?c>32", {A::kInt64, A::kString}, {A::kBool}},
  };
  for (const auto& [encoding, arguments, reply] : cases) {
    auto sig = parseMethodEncoding(encoding);
    ASSERT_TRUE(sig) << encoding;
    EXPECT_EQ(std::tie(sig->arguments, sig->replyParameters), std::tie(arguments, reply))
        << encoding;
  }
  for (const char* e : {"", "v24@0:8", "i24@0:8@?<v@?B>16", "v24@0:8@?<v@?B>", "v24@0:8@?<v@?B16",
                        "v24@0:8@?<v@?B>16q24", "v24@0:8d16@?<v@?B>24",
                        "v24@0:8@\"NSData\"16@?<v@?>24", "v24@0:8@?<v@?x>16"}) {
    EXPECT_FALSE(parseMethodEncoding(e)) << e;
  }
  const Value nil{common::Nil{}}, strings{common::Array{Value("not a number")}};
  const std::tuple<Value, A, bool> fitting[] = {
      {Value(-5), A::kInt64, true},   {Value(UINT64_MAX), A::kInt64, false},
      {Value(1.0), A::kInt64, false}, {nil, A::kInt64, false},
      {Value(1), A::kBool, false},    {nil, A::kString, true},
      {strings, A::kString, false},   {nil, A::kArray, true},
      {Value("x"), A::kArray, false}};
  for (const auto& [value, type, fitsIt] : fitting) {
    EXPECT_EQ(fits(value, type), fitsIt) << static_cast<int>(type);
  }
}

}  // namespace
}  // namespace transport
