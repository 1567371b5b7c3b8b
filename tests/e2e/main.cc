// The end-to-end suite enters its private namespaces once, before any test runs; when it cannot,
// every test skips and says why.
#include "gtest/gtest.h"
#include "harness.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  (void)e2e::enter_private_namespaces();
  return RUN_ALL_TESTS();
}
