// Fixture of the Win32 stand-in's tests: every test starts on an empty
// registry and a fresh Win32, and fails when it leaves anything behind.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host_win32.h"
#include "registry.h"

class Win32Test : public ::testing::Test {
 protected:
  void SetUp() override {
    host::RegistryStore::Instance().Reset();
    host::ResetWin32();
  }
  void TearDown() override {
    if (checkEnd_)
      for (const auto& finding : host::Win32EndChecks()) ADD_FAILURE() << "left behind: " << finding;
    host::ResetWin32();
  }

  // The test dialogs' module (test_dialogs.rc), loaded once.
  static HINSTANCE Module() {
    static HINSTANCE module = host::CreateResourceModuleFromFile(WIN32_TEST_RES);
    return module;
  }

  // For tests that provoke findings on purpose and check them themselves.
  void SkipEndChecks() { checkEnd_ = false; }

  static host::RegistryStore& Store() { return host::RegistryStore::Instance(); }

 private:
  bool checkEnd_ = true;
};

// Every message a dialog procedure sees, in order.
struct MessageRecord {
  HWND hwnd;
  UINT msg;
  WPARAM wParam;
  LPARAM lParam;
};
