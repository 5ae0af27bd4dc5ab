// Shared by the fuzzers: each input runs on a fresh stand-in, and anything
// the platform finds afterwards (a leak, a broken rule) or a failed check is
// a crash, so that libFuzzer keeps the input.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform_test.h"

namespace fuzz {

inline void Begin() { testsupport::ResetPlatform(); }

[[noreturn]] inline void Fail(const std::string& what) {
  std::fprintf(stderr, "fuzz check failed: %s\n", what.c_str());
  std::abort();
}

inline void Check(bool ok, const std::string& what) {
  if (!ok) Fail(what);
}

// Also frees what the stand-in keeps after a free (its quarantine), so that
// the leak checker sees only what the input really leaked.
inline void End() {
  for (const auto& finding : testsupport::PlatformFindings()) Fail("finding: " + finding);
  testsupport::ResetPlatform();
}

}  // namespace fuzz
