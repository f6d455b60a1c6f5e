#pragma once

#include <cstdio>
#include <cstdlib>

// A property every input must keep; its failure is a finding, like a crash.
#define FUZZ_REQUIRE(condition)                                                          \
  do {                                                                                   \
    if (!(condition)) {                                                                  \
      std::fprintf(stderr, "%s:%d: %s does not hold\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                      \
    }                                                                                    \
  } while (false)
