// The camera's product string, "<model>-<chip>-<firmware>": the middle field
// names the chip driver, the last the firmware version.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace torvi {

struct ProductFields {
  std::string model;
  std::string chip;
  std::string firmware;
};

// Most characters a field keeps.
inline constexpr std::size_t kProductFieldMax = 16;

// Splits a product string as the scanf pattern "%16[^-]-%16[^-]-%16[^-]"
// does: three non-empty runs without '-', the first two of at most 16
// characters and each followed by '-'; the third is cut after 16 characters
// and anything after it is ignored. The text ends at its first NUL. Nothing
// when the string does not have that form.
std::optional<ProductFields> parse_product(std::string_view text);

}  // namespace torvi
