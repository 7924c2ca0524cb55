#include <cstring>

#include "test_macros.hpp"

namespace orn_test {
std::vector<Case>& registry() {
  static std::vector<Case> cases;
  return cases;
}
int failures = 0;
}  // namespace orn_test

// Runs every case, or only those whose name contains argv[1].
int main(int argc, char** argv) {
  int ran = 0;
  for (const auto& c : orn_test::registry()) {
    if (argc > 1 && std::strstr(c.name, argv[1]) == nullptr) continue;
    int before = orn_test::failures;
    c.body();
    ++ran;
    if (orn_test::failures != before) std::fprintf(stderr, "FAILED: %s\n", c.name);
  }
  std::printf("%d native cases, %d failed checks\n", ran, orn_test::failures);
  return orn_test::failures == 0 ? 0 : 1;
}
