// FUZZ_CHECK(condition, what): a property a harness asserts. A failure
// prints what went wrong and aborts, which libFuzzer reports as a crash and
// saves the input that caused it.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

#define FUZZ_CHECK(condition, what)                                                           \
  do {                                                                                        \
    if (!(condition)) {                                                                       \
      std::fprintf(stderr, "%s:%d: check failed: %s\n  %s\n", __FILE__, __LINE__, #condition, \
                   std::string(what).c_str());                                                \
      std::abort();                                                                           \
    }                                                                                         \
  } while (false)
