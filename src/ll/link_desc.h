// The 44-byte link descriptor (`if_type` through the reserved bytes) that the
// connection record and the public device record both carry, in the same
// layout (checked beside each record's definition).
#pragma once

#include <cstddef>
#include <cstring>

namespace torvi::ll {

inline constexpr std::size_t kLinkDescBytes = 44;

// Copies the link descriptor of `from` into `to`.
template <class To, class From>
void copy_link_desc(To &to, const From &from) {
  std::memcpy(&to.if_type, &from.if_type, kLinkDescBytes);
}

}  // namespace torvi::ll
