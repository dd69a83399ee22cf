// The product-string split agrees with the scanf pattern it stands for.
#include "core/product_string.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>

namespace {

// The reference: the scanf pattern itself.
std::optional<torvi::ProductFields> scanf_split(const std::string &s) {
  char a[17] = {}, b[17] = {}, c[17] = {};
  if (std::sscanf(s.c_str(), "%16[^-]-%16[^-]-%16[^-]", a, b, c) != 3) return std::nullopt;
  return torvi::ProductFields{a, b, c};
}

void expect_same(const std::string &s) {
  const auto got = torvi::parse_product(s);
  const auto want = scanf_split(s);
  ASSERT_EQ(got.has_value(), want.has_value()) << '"' << s << '"';
  if (!got) return;
  EXPECT_EQ(got->model, want->model) << s;
  EXPECT_EQ(got->chip, want->chip) << s;
  EXPECT_EQ(got->firmware, want->firmware) << s;
}

TEST(ProductString, SplitsTheThreeFields) {
  const auto f = torvi::parse_product("VCAM-E2-1.4.3");
  ASSERT_TRUE(f.has_value());
  EXPECT_EQ(f->model, "VCAM");
  EXPECT_EQ(f->chip, "E2");
  EXPECT_EQ(f->firmware, "1.4.3");
}

TEST(ProductString, RefusesMissingOrEmptyFieldsAndOverlongLeadingFields) {
  for (const char *s : {"", "ABC", "ABC-E2", "ABC-E2-", "-E2-1.0", "ABC--1.0",
                        "ABCDEFGHIJKLMNOPQ-E2-1.0", "ABC-E2345678901234567-1.0"})
    EXPECT_FALSE(torvi::parse_product(s).has_value()) << s;
}

TEST(ProductString, CutsTheLastFieldAndIgnoresWhatFollows) {
  const auto f = torvi::parse_product("A-B-0123456789abcdefXYZ");
  ASSERT_TRUE(f.has_value());
  EXPECT_EQ(f->firmware, "0123456789abcdef");
  const auto g = torvi::parse_product("A-B-C-D");
  ASSERT_TRUE(g.has_value());
  EXPECT_EQ(g->firmware, "C");
  // The text ends at its first NUL, as a C string does.
  const auto h = torvi::parse_product(std::string_view("A-B-C\0D", 7));
  ASSERT_TRUE(h.has_value());
  EXPECT_EQ(h->firmware, "C");
  EXPECT_FALSE(torvi::parse_product(std::string_view("A-\0B-C", 6)).has_value());
}

TEST(ProductString, AgreesWithTheScanfPatternOnRandomStrings) {
  std::mt19937 rng(11);
  const std::string alphabet = "-ab1 .-";
  std::uniform_int_distribution<size_t> len(0, 40), pick(0, alphabet.size() - 1);
  for (int i = 0; i < 20000; ++i) {
    std::string s(len(rng), 'x');
    for (char &ch : s) ch = alphabet[pick(rng)];
    expect_same(s);
  }
  for (const char *s :
       {"ABCDEFGHIJKLMNOP-E2-1.0", "ABCDEFGHIJKLMNOP-0123456789abcdef-x", " A-B-C", "A -B- C"})
    expect_same(s);
}

}  // namespace
