// Stand-in for the transport's binding switch while the transport is not
// part of the build: weak definitions that the transport's own (strong)
// definitions replace at link time. They only remember the binding; without
// one bound, active_backend() names "none" and has no slots.
#include <atomic>

#include "ll/usb/usb_backend.h"

namespace torvi::usb {
namespace {
std::atomic<const Backend *> g_fallback_active{nullptr};
const Backend kNone{"none",  nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
}  // namespace

__attribute__((weak)) void set_active_backend(const Backend *backend) {
  g_fallback_active.store(backend);
}

__attribute__((weak)) const Backend &active_backend() {
  const Backend *b = g_fallback_active.load();
  return b ? *b : kNone;
}

}  // namespace torvi::usb
