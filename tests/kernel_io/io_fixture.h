// Fixture for the I/O manager, registry-handle and HAL tests: a clean kernel,
// I/O manager and registry per test, PDO helpers, and a TearDown that fails on
// anything the verifier or the end checks report that the test did not take.
#pragma once

#include <gtest/gtest.h>
#include <wdm.h>

#include <string>
#include <vector>

#include "host/io.h"
#include "host/kernel.h"
#include "host/verifier.h"
#include "registry/registry.h"

namespace kiotest {

constexpr char kCardPath[] = "PCI\\VEN_1234&DEV_5678&SUBSYS_00084B51\\3&1a2b&0&68";
constexpr char kCardKey[] =
    "SYSTEM\\CurrentControlSet\\Enum\\PCI\\VEN_1234&DEV_5678&SUBSYS_00084B51\\3&1a2b&0&68";

class IoTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // A device object of the test's bus driver; a PDO when instancePath is given.
  PDEVICE_OBJECT NewDevice(const std::string& instancePath = "");
  // Verifier failures recorded so far; clears them.
  std::vector<std::string> TakeVerifierFailures();
  // True when exactly one verifier failure was recorded and it mentions `word`.
  bool OneFailureMentioning(const std::string& word);

  PDRIVER_OBJECT driver_ = nullptr;
  std::vector<PDEVICE_OBJECT> devices_;
};

std::u16string U16(const std::string& ascii);
std::string Narrow(const std::u16string& text);

}  // namespace kiotest
