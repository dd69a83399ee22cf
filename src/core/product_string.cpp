#include "core/product_string.h"

#include <cstddef>

namespace torvi {
namespace {

// Takes one field (1 to kProductFieldMax characters, none of them '-') from
// the front of `rest`; nothing when it is empty.
std::optional<std::string> take_field(std::string_view &rest) {
  std::size_t n = 0;
  while (n < rest.size() && n < kProductFieldMax && rest[n] != '-') ++n;
  if (n == 0) return std::nullopt;
  std::string field(rest.substr(0, n));
  rest.remove_prefix(n);
  return field;
}

bool take_dash(std::string_view &rest) {
  if (rest.empty() || rest.front() != '-') return false;
  rest.remove_prefix(1);
  return true;
}

}  // namespace

std::optional<ProductFields> parse_product(std::string_view text) {
  text = text.substr(0, text.find('\0'));
  ProductFields f;
  auto model = take_field(text);
  if (!model || !take_dash(text)) return std::nullopt;
  auto chip = take_field(text);
  if (!chip || !take_dash(text)) return std::nullopt;
  auto firmware = take_field(text);
  if (!firmware) return std::nullopt;
  f.model = std::move(*model);
  f.chip = std::move(*chip);
  f.firmware = std::move(*firmware);
  return f;
}

}  // namespace torvi
