// A Result asked for what it does not hold stops the process with a message, whatever the build.
#include "helper_ipc/result.h"

#include <cerrno>
#include <string>

#include "gtest/gtest.h"
#include "helper_ipc/codec.h"

namespace helper_ipc {
namespace {

TEST(ResultDeathTest, AbortsOnTheWrongSide) {
  const Result<int> io_error = IoError::from_errno(ENOENT);
  const Result<std::string, DecodeError> decode_error = DecodeError{"expected value at line 1"};
  Result<int> value = 7;
  const Status success;
  EXPECT_DEATH((void)io_error.value(), "value\\(\\) called on an error: No such file or directory");
  EXPECT_DEATH((void)*io_error, "value\\(\\) called on an error");
  EXPECT_DEATH((void)decode_error->size(),
               "value\\(\\) called on an error: expected value at line 1");
  EXPECT_DEATH((void)std::move(value).error(), "error\\(\\) called on a value");
  EXPECT_DEATH((void)success.error(), "error\\(\\) called on a success");
  // The right side is simply there.
  EXPECT_EQ(*value, 7);
  EXPECT_EQ(io_error.error().kind(), IoErrorKind::Os);
}

}  // namespace
}  // namespace helper_ipc
