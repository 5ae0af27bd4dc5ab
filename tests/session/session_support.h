// Support for whole sessions of the bus driver and the property page on the
// host stand-in: the driver loaded into the machine, the DLL's module, a
// property sheet opened for a card the way Device Manager opens it, and the
// registry paths both sides must agree on.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "host/io.h"
#include "host/kernel.h"
#include "host/machine.h"
#include "platform_test.h"
#include "registry.h"
#include "serhub_registry.h"
#include "win32/host_win32.h"

// The deliverables' entry points, as the loaders call them.
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
extern "C" BOOL WINAPI LibMain(HINSTANCE Module, DWORD Reason, LPVOID Reserved);
extern "C" BOOL WINAPI EnumPropPages(PSP_PROPSHEETPAGE_REQUEST Request,
                                     LPFNADDPROPSHEETPAGE AddPage, LPARAM Param);

namespace session {

constexpr int kPortList = 1000;  // list box on the "Ports" page
constexpr int kRs232Radio = 1007;  // radio button of line mode 0; mode m is 1007 + m
constexpr int kComCombo = 1002;    // COM name combo of the "Change port" dialog

// The driver's service name.
inline constexpr char kService[] = "serhub";

// Every test starts with the driver loaded and the DLL attached to its
// module, and ends with every card still present taken down, so that the
// fixture's end checks look at a machine after shutdown.
class SessionTest : public testsupport::PlatformTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  static host::RegistryStore& Reg() { return host::RegistryStore::Instance(); }
};

// The DLL's module, made once from its compiled resources.
HINSTANCE DllModule();

// Eight-digit instance ID of a port.
std::string InstanceId(ULONG bus, ULONG device, ULONG function, ULONG port);
// Key path (under HKEY_LOCAL_MACHINE) of a port's Device Parameters key,
// written out from the instance ID.
std::string PortKey(const std::string& instanceId);
// The port index in the last two digits of a port node's instance ID.
ULONG PortIndexOf(const host::DeviceNode& port);

// The driver object's device objects, counted along its list.
size_t DriverDeviceCount(const std::string& service = kService);

// Successful registry writes of one value name since the log was cleared.
std::vector<host::RegWrite> WritesOf(const std::string& valueName);

// A list line as the page formats it: the port number (1-based) padded to
// 10 characters, "COMn" padded to 20, then the mode text.
std::string ListLine(int portNumber, int comNumber, const std::string& modeText);

// The property sheet that Device Manager opens for a card: a device
// information set holding the card, EnumPropPages asked for the advanced
// pages, and the host's sheet. Destroying it closes the sheet (as Cancel
// would, if still open) and then destroys the set.
class CardSheet {
 public:
  explicit CardSheet(const host::DeviceNode& card);
  ~CardSheet();
  CardSheet(const CardSheet&) = delete;
  CardSheet& operator=(const CardSheet&) = delete;

  bool DeviceOpened() const { return opened_; }
  BOOL Offered() const { return offered_; }
  host::PropertySheet& Sheet() { return *sheet_; }

  // Shows the sheet and returns the list's lines.
  std::vector<std::string> Show();
  std::vector<std::string> Lines() const;
  // The user double-clicks list line `line`, clicks the radio button of
  // `mode` in the Change port dialog and presses OK. `comShown`, when given,
  // receives the COM name the dialog's combo shows.
  void ChangeLine(int line, int mode, std::string* comShown = nullptr);

 private:
  HDEVINFO set_ = INVALID_HANDLE_VALUE;
  SP_DEVINFO_DATA device_ = {};
  bool opened_ = false;
  BOOL offered_ = FALSE;
  std::unique_ptr<host::PropertySheet> sheet_;
};

}  // namespace session
