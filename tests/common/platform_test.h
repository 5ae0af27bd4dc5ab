// Test fixture for everything that runs on the host stand-in: each test starts
// on an empty registry and a fresh kernel, machine and Win32, and fails when
// the verifier found a fault or something was left behind (pool, IRPs, device
// objects, references, key handles, mappings, windows, local memory).
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace testsupport {

// Resets every part of the stand-in that is linked into the test.
void ResetPlatform();
// Runs the end-of-test checks of every part; returns what they found,
// including every verifier failure recorded during the test.
std::vector<std::string> PlatformFindings();

class PlatformTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetPlatform(); }
  void TearDown() override {
    for (const auto& finding : PlatformFindings()) ADD_FAILURE() << "verifier: " << finding;
    ResetPlatform();
  }
};

}  // namespace testsupport
