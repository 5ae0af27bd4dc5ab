// Fault plans: every call that can fail on the platform, made by the code
// under test, is a failure point. A plan counts them (a clean run) or fails
// exactly one of them (the n-th), so that a test can walk every failure point
// of a scenario in turn. Each stand-in routine that can fail asks FaultDue;
// what it then returns is the failure the platform itself gives (NULL from the
// pool, STATUS_INSUFFICIENT_RESOURCES from the I/O manager, and so on; each
// call site says which).
//
// Kernel-mode points are counted only for calls made by the watched driver
// (the driver whose dispatch, AddDevice, DriverEntry or DriverUnload routine
// is running on the thread); requests that the driver's device sends to the
// driver below are counted when that lower driver answers them. User-mode
// points (the Win32 stand-in) are counted for every call while a plan runs.
// Independent of the routines' own FailXxxNth counters.
#pragma once

#include <wdm.h>

#include <atomic>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace host {

enum class FaultKind : int {
  // Kernel mode, called by the watched driver.
  Pool,               // ExAllocatePool*: NULL
  Irp,                // IoAllocateIrp, IoBuildSynchronousFsdRequest: NULL
  CreateDevice,       // IoCreateDevice
  AttachDevice,       // IoAttachDeviceToDeviceStack: NULL
  DeviceProperty,     // IoGetDeviceProperty
  RegisterInterface,  // IoRegisterDeviceInterface
  InterfaceState,     // IoSetDeviceInterfaceState
  OpenDeviceKey,      // IoOpenDeviceRegistryKey
  SetValueKey,        // ZwSetValueKey
  QueryValueKey,      // ZwQueryValueKey
  MapIoSpace,         // MmMapIoSpace: NULL
  // Requests of the watched driver's device that the bus driver below fails.
  LowerStart,         // IRP_MN_START_DEVICE
  LowerConfigRead,    // IRP_MN_READ_CONFIG
  LowerCapabilities,  // IRP_MN_QUERY_CAPABILITIES
  LowerFilter,        // IRP_MN_FILTER_RESOURCE_REQUIREMENTS
  // User mode.
  UserLocalAlloc,       // LocalAlloc: NULL
  UserSetupDiProperty,  // SetupDiGetDeviceRegistryPropertyA: FALSE
  UserSetupDiOpenKey,   // SetupDiOpenDevRegKey: INVALID_HANDLE_VALUE
  UserRegOpenKey,       // RegOpenKeyExA (and RegOpenKeyA through it)
  UserRegQueryValue,    // RegQueryValueExA
  UserRegSetValue,      // RegSetValueExA
  UserCreatePage,       // CreatePropertySheetPageA: NULL
  UserDialogBox,        // DialogBoxParamA: -1
};
const char* FaultKindName(FaultKind kind);
bool IsUserModeFault(FaultKind kind);

struct FaultPoint {
  int number;          // 1-based, in call order
  FaultKind kind;
  std::string detail;  // pool tag, value name, ... as the call site gives it
  std::string phase;   // the plan's phase when the call was made
};

// Starts a plan for the driver of this service ("serhub"): failAt 0 only
// counts; failAt n fails the n-th failure point. Points and phase start empty.
void StartFaultPlan(const std::string& service, int failAt);
// Ends the plan; nothing is counted or failed afterwards.
void StopFaultPlan();
bool FaultPlanRunning();
// Labels the points counted from now on (e.g. "start", "page").
void SetFaultPhase(const std::string& phase);
// Every point counted since StartFaultPlan, in order.
std::vector<FaultPoint> FaultPoints();
// The point the plan failed, once it has.
std::optional<FaultPoint> FiredFault();

// True while a plan runs. Read without a lock: the stand-ins ask on every
// call that can fail, and almost always no plan runs.
inline std::atomic<bool> g_faultPlanArmed{false};
inline bool FaultPlanArmed() { return g_faultPlanArmed.load(std::memory_order_acquire); }
// The counting part of FaultDue, for when a plan runs.
bool FaultDueArmed(FaultKind kind, std::string_view detail);
// For the stand-ins: counts this call as a failure point if the plan covers
// it, and returns true if it is the one to fail.
inline bool FaultDue(FaultKind kind, std::string_view detail = {}) {
  return FaultPlanArmed() && FaultDueArmed(kind, detail);
}

// For the stand-ins: the driver whose routine runs on this thread. The I/O
// manager sets it around a dispatch routine, the Plug and Play manager around
// DriverEntry, AddDevice and DriverUnload.
class DriverScope {
 public:
  explicit DriverScope(PDRIVER_OBJECT driver);
  ~DriverScope();
  DriverScope(const DriverScope&) = delete;
  DriverScope& operator=(const DriverScope&) = delete;
};
// The driver running on this thread, and the one that called into it (NULL
// when none).
PDRIVER_OBJECT CurrentDriver();
PDRIVER_OBJECT CallingDriver();

}  // namespace host
