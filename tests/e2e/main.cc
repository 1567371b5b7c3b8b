// The end-to-end suite enters its private namespaces once, before any test runs; when it cannot,
// every test skips and says why.
#include <sys/resource.h>

#include "gtest/gtest.h"
#include "harness.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // Thousands of connections need as many descriptors as the system allows, in the daemon (which
  // inherits the limit) and in the clients.
  if (rlimit limit{}; getrlimit(RLIMIT_NOFILE, &limit) == 0) {
    limit.rlim_cur = limit.rlim_max;
    (void)setrlimit(RLIMIT_NOFILE, &limit);
  }
  (void)e2e::enter_private_namespaces();
  return RUN_ALL_TESTS();
}
