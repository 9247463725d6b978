#include "service/engine_status.h"

#include <gtest/gtest.h>

#include <string>

namespace mfab {
namespace {

TEST(JsonStringTest, EscapesQuotesControlAndNonAsciiBytes) {
  const struct {
    std::string in;
    std::string out;
  } rows[] = {
      {"plain", "\"plain\""},
      {"a\"b\\c", "\"a\\\"b\\\\c\""},
      {"tab\there\n", "\"tab\\u0009here\\u000a\""},
      {"\xc3\xa9", "\"\\u00c3\\u00a9\""},
      {std::string("nul\0", 4), "\"nul\\u0000\""},
  };
  for (const auto& row : rows) EXPECT_EQ(JsonString(row.in), row.out) << row.in;
}

}  // namespace
}  // namespace mfab
