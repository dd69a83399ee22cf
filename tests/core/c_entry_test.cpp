#include "core/c_entry.h"

#include <gtest/gtest.h>

#include <new>
#include <stdexcept>
#include <string>

#include "core/log_internal.h"

namespace {

// Captures the console sink while fn runs, at ERR threshold and above.
template <typename Fn>
std::string console_of(Fn fn) {
  kx_log_enable(0, KX_LOG_TRC, nullptr);
  ::testing::internal::CaptureStdout();
  fn();
  std::fflush(stdout);
  std::string out = ::testing::internal::GetCapturedStdout();
  kx_log_enable(0, KX_LOG_WRN, nullptr);
  return out;
}

int fake_export(int n) {
  return torvi::c_entry(__func__, -1, [&] {
    torvi::check_arg(n >= 0, "n=%d", n);
    if (n == 1) throw std::runtime_error("camera said no");
    if (n == 2) throw std::bad_alloc();
    if (n == 3) throw 42;
    return n * 10;
  });
}

void logs_under_fixed_name() {
  KX_LOG_NAME("torvi_fixed");
  KX_WRN("plain %d\n", 1);
  [] { KX_ERR("from a lambda\n"); }();
}

void logs_under_own_name() { KX_INF("own\n"); }

TEST(CEntry, SuccessPassesTheResultThrough) { EXPECT_EQ(fake_export(5), 50); }

TEST(CEntry, EveryFailureBecomesTheFailureResultWithOneErrLine) {
  struct Case {
    int n;
    const char *line;
  } cases[] = {{-4, "[ERR] [fake_export] bad argument: n=-4\n"},
               {1, "[ERR] [fake_export] camera said no\n"},
               {2, "[ERR] [fake_export] out of memory\n"},
               {3, "[ERR] [fake_export] unexpected failure\n"}};
  for (const auto &c : cases) {
    int r = 0;
    const std::string out = console_of([&] { r = fake_export(c.n); });
    EXPECT_EQ(r, -1) << c.n;
    ASSERT_NE(out.find(c.line), std::string::npos) << out;
    EXPECT_EQ(out.find('\n'), out.size() - 1) << "one line: " << out;
  }
}

TEST(LogMacros, TagFollowsLevelAndNameIsFixedOncePerFunction) {
  const std::string out = console_of([] {
    logs_under_fixed_name();
    logs_under_own_name();
  });
  EXPECT_NE(out.find("[WRN] [torvi_fixed] plain 1\n"), std::string::npos) << out;
  EXPECT_NE(out.find("[ERR] [torvi_fixed] from a lambda\n"), std::string::npos) << out;
  EXPECT_NE(out.find("[INF] [logs_under_own_name] own\n"), std::string::npos) << out;
}

}  // namespace
