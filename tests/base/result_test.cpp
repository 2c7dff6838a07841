#include "base/result.h"

#include <gtest/gtest.h>

#include <string>

namespace kd::base {
namespace {

struct TestError {
  std::string msg;
};
using R = BasicResult<int, TestError>;

R half(int v) {
  if (v % 2 != 0) return TestError{"odd"};
  return v / 2;
}

R quarter(int v) {
  R h = half(v);
  if (!h.ok()) return h.error();
  return half(h.value());
}

TEST(Result, PropagatesTheFirstError) {
  EXPECT_EQ(quarter(8).value(), 2);
  EXPECT_EQ(quarter(8).kind(), rkOk);
  R r = quarter(6);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.kind(), rkErr);
  EXPECT_EQ(r.error().msg, "odd");
}

TEST(Result, ReadingTheValueOfAnErrorIsATypedFailure) {
  R r = half(3);
  try {
    (void)r.value();
    FAIL();
  } catch (const KeldraException& e) {
    EXPECT_STREQ(e.what(),
                 "field 'value' is not accessible for type 'Result' using 'kind = rkErr'");
  }
}

}  // namespace
}  // namespace kd::base
