#include "check.h"

namespace check {

int g_failures = 0;

std::vector<Case>& registry() {
  static std::vector<Case> cases;
  return cases;
}

void fail(const char* file, int line, const std::string& what) {
  ++g_failures;
  std::cerr << file << ":" << line << ": " << what << "\n";
}

}  // namespace check

int main() {
  int failed_cases = 0;
  for (const check::Case& c : check::registry()) {
    const int before = check::g_failures;
    c.body();
    const bool ok = check::g_failures == before;
    failed_cases += ok ? 0 : 1;
    std::cout << (ok ? "ok     " : "FAILED ") << c.name << "\n";
  }
  const std::size_t total = check::registry().size();
  std::cout << (total - failed_cases) << " passed, " << failed_cases << " failed\n";
  return failed_cases == 0 ? 0 : 1;
}
