// Table-driven tests: each case carries its name (a Label field, or else a
// Name field), and the test listing shows that name both as the test's own
// and as its parameter, instead of the case's raw bytes.
//
//   struct TMyCase { const char* Name; ... };
//   using test::PrintTo;  // in the namespace of the case type
//   INSTANTIATE_TEST_SUITE_P(Cases, MyTest, ::testing::Values(...), test::TCaseName());
#pragma once

#include <gtest/gtest.h>

#include <ostream>
#include <string>

namespace qv::test {

template <class T>
concept NamedCase = requires(const T& c) {
  std::string(c.Label);
}
|| requires(const T& c) {
  std::string(c.Name);
};

template <NamedCase T>
std::string NameOf(const T& c) {
  if constexpr (requires { std::string(c.Label); })
    return std::string(c.Label);
  else
    return std::string(c.Name);
}

// The name generator of INSTANTIATE_TEST_SUITE_P.
struct TCaseName {
  template <class T>
  std::string operator()(const ::testing::TestParamInfo<T>& info) const {
    return NameOf(info.param);
  }
};

// Found by GoogleTest through the using-declaration in the case's namespace.
template <NamedCase T>
void PrintTo(const T& c, std::ostream* os) {
  *os << NameOf(c);
}

}  // namespace qv::test
