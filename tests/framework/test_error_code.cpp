// The report of an exception that is no error code: what was caught and where, and code
// 103 in its place.
#include "framework/error_code.h"

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>

#include "support/test_support.h"

namespace tolvo {
namespace {

class OtherExceptionTest : public test::LogFixture {};

TEST_F(OtherExceptionTest, LogsWhatWasCaughtAndRaises103) {
  const struct {
    const char* label;
    std::function<void()> fail;
    std::string entry;
  } cases[] = {
      {"std::exception", [] { throw std::runtime_error("grid buffer exhausted"); },
       "unexpected exception caught while reading the grids: grid buffer exhausted"},
      {"anything else", [] { throw 42; }, "unexpected exception caught while reading the grids: unknown exception"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    const int code = test::CodeOf([&] {
      try {
        c.fail();
      } catch (...) {
        RaiseOtherException(log_, "while reading the grids");
      }
    });
    EXPECT_EQ(code, kOtherExceptionCode);
    EXPECT_TRUE(Logged(c.entry));
  }
}

}  // namespace
}  // namespace tolvo
