// Fixture for the property-page DLL on the Win32 stand-in: a card whose
// instance key, card key and port keys are written straight into the host
// registry, the DLL's module made from its shipped resources, and helpers to
// run EnumPropPages into a host property sheet and look at the page.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform_test.h"
#include "registry.h"
#include "serhubpp.h"
#include "host_win32.h"

namespace propui_test {

// The card's device instance and its location text as the PCI bus reports it.
inline constexpr char kCardInstance[] = "PCI\\VEN_1B2C&DEV_0204&SUBSYS_00041B2C&REV_01\\4&1F3A9C2&0&6800";
inline constexpr char kLocation[] = "PCI bus 2, device 13, function 0";
inline constexpr char kLocationKey[] = "020D00";

// What the Change port dialog looked like while it was open.
struct ChangePortView {
  bool seen = false;
  bool radioEnabled[4] = {};
  bool radioChecked[4] = {};
  bool comboEnabled = true;
  LRESULT comboSelection = -2;
  LRESULT comboCount = 0;
  std::string comboFirst, comboLast, comboSelectedText;
  bool autoEnumEnabled = true;
  bool autoEnumChecked = true;
  LONG_PTR userSlot = 0;
  LONG_PTR dlgProcSlot = 0;
};

class PropUiTest : public testsupport::PlatformTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  static host::RegistryStore& Reg() { return host::RegistryStore::Instance(); }
  static std::string CardKey();
  static std::string CardParamsKey();
  static std::string PortKey(int index, const std::string& locationKey = kLocationKey);

  // The card's instance key with its location text, and its Device
  // Parameters key; `ports` is written as PORTS when given.
  void AddCard(std::optional<uint32_t> ports, const std::string& location = kLocation);
  // A port's Device Parameters key with the values given.
  void AddPort(int index, std::optional<std::string> name, std::optional<uint32_t> type,
               std::optional<uint32_t> mode, const std::string& locationKey = kLocationKey);

  // Calls EnumPropPages for the card as SetupAPI would, with the sheet's
  // addPage callback.
  BOOL Enumerate(host::PropertySheet& sheet,
                 DWORD pageRequested = SPPSR_ENUM_ADV_DEVICE_PROPERTIES);
  // Enumerate, expect one page, and show it.
  void OpenPage(host::PropertySheet& sheet);

  static HWND PortList(host::PropertySheet& sheet);
  static std::vector<std::string> Lines(host::PropertySheet& sheet);
  static LRESULT SelectedLine(host::PropertySheet& sheet);
  static bool ChangeEnabled(host::PropertySheet& sheet);
  // The page's record, reached through the page window's user slot.
  static PPORT_PAGE_DATA Record(host::PropertySheet& sheet);

  // Records the Change port dialog's controls when it receives the
  // WM_COMMAND that ends it (before its procedure runs).
  void WatchChangePort();

  HINSTANCE module_ = nullptr;
  HDEVINFO set_ = nullptr;
  SP_DEVINFO_DATA device_ = {};
  ChangePortView view_;
  int changePortDialogs_ = 0;
};

// The texts of line mode radio buttons 1007 + m.
inline const char* const kRadioTexts[4] = {"RS232", "RS485 HALF", "RS485 FULL", "RS422"};

}  // namespace propui_test
