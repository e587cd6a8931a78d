#include "check.h"

#include <cstring>
#include <exception>
#include <set>
#include <string_view>

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

namespace {

// Runs one case and prints its verdict; true when no check failed and
// nothing escaped it.
bool run(const Case& c) {
  const int before = g_failures;
  try {
    c.body();
  } catch (const std::exception& error) {
    ++g_failures;
    std::cerr << c.name << ": uncaught exception: " << error.what() << "\n";
  } catch (...) {
    ++g_failures;
    std::cerr << c.name << ": uncaught exception of an unknown type\n";
  }
  const bool ok = g_failures == before;
  std::cout << (ok ? "ok     " : "FAILED ") << c.name << std::endl;
  return ok;
}

const Case* find(std::string_view name) {
  for (const Case& c : registry()) {
    if (name == c.name) return &c;
  }
  return nullptr;
}

int usage() {
  std::cerr << "usage: core_tests                 run every case\n"
               "       core_tests --list          name every case, one a line\n"
               "       core_tests --run NAME...   run the named cases\n";
  return 2;
}

}  // namespace

}  // namespace check

int main(int argc, char** argv) {
  std::set<std::string_view> names;
  for (const check::Case& c : check::registry()) {
    if (!names.insert(c.name).second) {
      std::cerr << "two test cases are named " << c.name << "\n";
      return 2;
    }
  }
  std::vector<const check::Case*> chosen;
  if (argc == 1) {
    for (const check::Case& c : check::registry()) chosen.push_back(&c);
  } else if (argc == 2 && std::strcmp(argv[1], "--list") == 0) {
    for (const check::Case& c : check::registry()) std::cout << c.name << "\n";
    return 0;
  } else if (argc >= 3 && std::strcmp(argv[1], "--run") == 0) {
    for (int i = 2; i < argc; ++i) {
      const check::Case* c = check::find(argv[i]);
      if (c == nullptr) {
        std::cerr << "no test case named " << argv[i] << "\n";
        return 2;
      }
      chosen.push_back(c);
    }
  } else {
    return check::usage();
  }
  int failed_cases = 0;
  for (const check::Case* c : chosen) failed_cases += check::run(*c) ? 0 : 1;
  std::cout << (chosen.size() - failed_cases) << " passed, " << failed_cases << " failed\n";
  return failed_cases == 0 ? 0 : 1;
}
