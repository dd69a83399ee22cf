// Transports besides USB: a link whose kind names a registered transport
// opens through that transport's table and keeps it for every later call.
#include "ll/transports.h"

#include <gtest/gtest.h>
#include <torvi/torvi_ll.h>

namespace {

int g_opens = 0;
int g_param_gets = 0;
char g_link_priv;

torvi_ll_t *other_open(torvi_ll_t *ll);
bool other_param_get(torvi_ll_t *, torvi_ll_param_t *, uint32_t) {
  ++g_param_gets;
  return true;
}

torvi_ll_op_t make_ops() {
  torvi_ll_op_t ops{};
  ops.dev_open = other_open;
  ops.param_get = other_param_get;
  return ops;
}
const torvi_ll_op_t kOther = make_ops();

torvi_ll_t *other_open(torvi_ll_t *ll) {
  ++g_opens;
  ll->priv = &g_link_priv;
  ll->ops = &kOther;
  return ll;
}

TEST(Transports, ARegisteredKindOpensThroughItsTable) {
  ASSERT_TRUE(torvi::ll::register_transport(5, &kOther));
  torvi_ll_t ll{};
  ll.if_type = 5;
  ASSERT_EQ(torvi_ll_dev_open(&ll), &ll);
  EXPECT_EQ(g_opens, 1);
  EXPECT_EQ(ll.ops, &kOther);
  torvi_ll_param_t rec{};
  EXPECT_TRUE(torvi_ll_param_get(&ll, &rec, 1));
  EXPECT_EQ(g_param_gets, 1);
  ASSERT_TRUE(torvi::ll::register_transport(5, nullptr));
}

TEST(Transports, UsbAndOutOfRangeKindsCannotBeTaken) {
  EXPECT_FALSE(torvi::ll::register_transport(TORVI_LL_IF_USB, &kOther));
  EXPECT_FALSE(torvi::ll::register_transport(torvi::ll::kMaxIfType + 1, &kOther));
}

TEST(Transports, AnUnregisteredKindStaysWithUsbWhichRefusesIt) {
  torvi_ll_t ll{};
  ll.if_type = 6;
  const int before = g_opens;
  EXPECT_EQ(torvi_ll_dev_open(&ll), nullptr);
  EXPECT_EQ(g_opens, before);
  EXPECT_EQ(ll.priv, nullptr);
}

}  // namespace
