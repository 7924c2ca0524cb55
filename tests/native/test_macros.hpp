// A few assertion macros for the native tests: a failed check reports and counts, and the run
// goes on, so one broken case does not hide the others.
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace orn_test {

struct Case {
  const char* name;
  std::function<void()> body;
};

std::vector<Case>& registry();
extern int failures;

struct Register {
  Register(const char* name, std::function<void()> body) {
    registry().push_back({name, std::move(body)});
  }
};

}  // namespace orn_test

#define ORN_CONCAT_INNER(a, b) a##b
#define ORN_CONCAT(a, b) ORN_CONCAT_INNER(a, b)

#define TEST_CASE(name)                                                                            \
  static void ORN_CONCAT(test_fn_, __LINE__)();                                                    \
  static orn_test::Register ORN_CONCAT(test_reg_, __LINE__)(name, ORN_CONCAT(test_fn_, __LINE__)); \
  static void ORN_CONCAT(test_fn_, __LINE__)()

#define CHECK(cond)                                                                 \
  do {                                                                              \
    if (!(cond)) {                                                                  \
      std::fprintf(stderr, "%s:%d: CHECK failed: %s\n", __FILE__, __LINE__, #cond); \
      ++orn_test::failures;                                                         \
    }                                                                               \
  } while (0)

#define CHECK_EQ(a, b)                                                                        \
  do {                                                                                        \
    const auto& orn_a_ = (a);                                                                 \
    const auto& orn_b_ = (b);                                                                 \
    if (!(orn_a_ == orn_b_)) {                                                                \
      std::fprintf(stderr, "%s:%d: CHECK_EQ failed: %s == %s\n", __FILE__, __LINE__, #a, #b); \
      ++orn_test::failures;                                                                   \
    }                                                                                         \
  } while (0)

#define REQUIRE(cond)                                                                 \
  do {                                                                                \
    if (!(cond)) {                                                                    \
      std::fprintf(stderr, "%s:%d: REQUIRE failed: %s\n", __FILE__, __LINE__, #cond); \
      ++orn_test::failures;                                                           \
      return;                                                                         \
    }                                                                                 \
  } while (0)
