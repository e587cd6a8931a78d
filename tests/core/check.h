// A minimal test harness for the core: TEST(name) { CHECK(...); CHECK_EQ(a, b); }
// Each test registers itself under its name (unique across the binary);
// main() in check.cpp runs them all, or lists them (--list), or runs the
// named ones (--run NAME...), and exits non-zero when any check failed.
// A failed check prints file:line and what it compared to stderr and lets
// the case go on; an exception escaping a case fails that case.
#pragma once

#include <functional>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace check {

struct Case {
  const char* name;
  std::function<void()> body;
};

extern int g_failures;
std::vector<Case>& registry();
void fail(const char* file, int line, const std::string& what);

struct Register {
  Register(const char* name, std::function<void()> body) {
    registry().push_back({name, std::move(body)});
  }
};

template <class T>
std::string show(const T& value) {
  if constexpr (requires(std::ostream& os) { os << value; }) {
    std::ostringstream os;
    os << value;
    return os.str();
  } else {
    std::string out = "[";
    for (const auto& item : value) out += (out.size() > 1 ? ", " : "") + show(item);
    return out + "]";
  }
}

}  // namespace check

#define CHECK_CONCAT_(a, b) a##b
#define CHECK_CONCAT(a, b) CHECK_CONCAT_(a, b)
#define TEST(name)                                                          \
  static void name();                                                       \
  static const check::Register CHECK_CONCAT(register_, name)(#name, &name); \
  static void name()
#define CHECK(cond) ((cond) ? void() : check::fail(__FILE__, __LINE__, "CHECK(" #cond ")"))
#define CHECK_EQ(a, b)                   \
  (((a) == (b))                          \
       ? void()                          \
       : check::fail(__FILE__, __LINE__, \
                     "CHECK_EQ(" #a ", " #b "): " + check::show(a) + " != " + check::show(b)))
