#include "text/numbers.h"

#include <gtest/gtest.h>

using namespace nv;

TEST(IntegerReading, Forms) {
  struct Case {
    const char* text;
    int32_t expected;  // -999: no value
  } cases[] = {
      {"8080", 8080},
      {" \t12", 12},
      {"+7", 7},
      {"-1", -1},
      {"$1F90", 8080},
      {"x1f90", 8080},
      {"0X1F90", 8080},
      {"%101", 5},
      {"&17", 15},
      {"2147483647", 2147483647},
      {"-2147483648", INT32_MIN},
      {"2147483648", -999},
      {"$FFFFFFFF", -1},
      {"$100000000", -999},
      {"", -999},
      {"web", -999},
      {"12 ", -999},
      {"1\\app", -999},
      {"$", -999},
      {"0x", -999},
      {"-", -999},
      {"%102", -999},
      {"&8", -999},
      {"0", 0},
      {"-$10", -16},
      {"12a", -999},
  };
  for (const auto& c : cases) EXPECT_EQ(ReadIntegerDef(c.text, -999), c.expected) << c.text;
}
