#include "host/faults.h"

#include <mutex>

namespace host {
namespace {

struct Plan {
  std::mutex lock;
  bool running = false;
  std::u16string driverName;  // "\Driver\<service>"
  int failAt = 0;
  std::string phase;
  std::vector<FaultPoint> points;
  std::optional<FaultPoint> fired;
};

Plan& P() {
  static Plan plan;
  return plan;
}

thread_local std::vector<PDRIVER_OBJECT> t_drivers;

bool IsLowerRequest(FaultKind kind) {
  return kind == FaultKind::LowerStart || kind == FaultKind::LowerConfigRead ||
         kind == FaultKind::LowerCapabilities || kind == FaultKind::LowerFilter;
}

bool NameIs(PDRIVER_OBJECT driver, const std::u16string& name) {
  if (driver == nullptr || driver->DriverName.Buffer == nullptr) return false;
  return std::u16string_view(reinterpret_cast<const char16_t*>(driver->DriverName.Buffer),
                             driver->DriverName.Length / sizeof(WCHAR)) == name;
}

}  // namespace

const char* FaultKindName(FaultKind kind) {
  switch (kind) {
    case FaultKind::Pool: return "ExAllocatePoolWithTag";
    case FaultKind::Irp: return "IRP allocation";
    case FaultKind::CreateDevice: return "IoCreateDevice";
    case FaultKind::AttachDevice: return "IoAttachDeviceToDeviceStack";
    case FaultKind::DeviceProperty: return "IoGetDeviceProperty";
    case FaultKind::RegisterInterface: return "IoRegisterDeviceInterface";
    case FaultKind::InterfaceState: return "IoSetDeviceInterfaceState";
    case FaultKind::OpenDeviceKey: return "IoOpenDeviceRegistryKey";
    case FaultKind::SetValueKey: return "ZwSetValueKey";
    case FaultKind::QueryValueKey: return "ZwQueryValueKey";
    case FaultKind::MapIoSpace: return "MmMapIoSpace";
    case FaultKind::LowerStart: return "lower IRP_MN_START_DEVICE";
    case FaultKind::LowerConfigRead: return "lower IRP_MN_READ_CONFIG";
    case FaultKind::LowerCapabilities: return "lower IRP_MN_QUERY_CAPABILITIES";
    case FaultKind::LowerFilter: return "lower IRP_MN_FILTER_RESOURCE_REQUIREMENTS";
    case FaultKind::UserLocalAlloc: return "LocalAlloc";
    case FaultKind::UserSetupDiProperty: return "SetupDiGetDeviceRegistryPropertyA";
    case FaultKind::UserSetupDiOpenKey: return "SetupDiOpenDevRegKey";
    case FaultKind::UserRegOpenKey: return "RegOpenKeyA";
    case FaultKind::UserRegQueryValue: return "RegQueryValueExA";
    case FaultKind::UserRegSetValue: return "RegSetValueExA";
    case FaultKind::UserCreatePage: return "CreatePropertySheetPageA";
    case FaultKind::UserDialogBox: return "DialogBoxParamA";
  }
  return "?";
}

bool IsUserModeFault(FaultKind kind) {
  return static_cast<int>(kind) >= static_cast<int>(FaultKind::UserLocalAlloc);
}

void StartFaultPlan(const std::string& service, int failAt) {
  Plan& p = P();
  std::lock_guard<std::mutex> lock(p.lock);
  p.running = true;
  g_faultPlanArmed.store(true, std::memory_order_release);
  p.driverName = u"\\Driver\\";
  for (char c : service) p.driverName += static_cast<char16_t>(c);
  p.failAt = failAt;
  p.phase.clear();
  p.points.clear();
  p.fired.reset();
}

void StopFaultPlan() {
  Plan& p = P();
  std::lock_guard<std::mutex> lock(p.lock);
  p.running = false;
  g_faultPlanArmed.store(false, std::memory_order_release);
}

bool FaultPlanRunning() {
  Plan& p = P();
  std::lock_guard<std::mutex> lock(p.lock);
  return p.running;
}

void SetFaultPhase(const std::string& phase) {
  Plan& p = P();
  std::lock_guard<std::mutex> lock(p.lock);
  p.phase = phase;
}

std::vector<FaultPoint> FaultPoints() {
  Plan& p = P();
  std::lock_guard<std::mutex> lock(p.lock);
  return p.points;
}

std::optional<FaultPoint> FiredFault() {
  Plan& p = P();
  std::lock_guard<std::mutex> lock(p.lock);
  return p.fired;
}

bool FaultDueArmed(FaultKind kind, std::string_view detail) {
  Plan& p = P();
  std::lock_guard<std::mutex> lock(p.lock);
  if (!p.running) return false;
  if (!IsUserModeFault(kind)) {
    PDRIVER_OBJECT who = IsLowerRequest(kind) ? CallingDriver() : CurrentDriver();
    if (!NameIs(who, p.driverName)) return false;
  }
  FaultPoint point{static_cast<int>(p.points.size()) + 1, kind, std::string(detail), p.phase};
  p.points.push_back(point);
  if (point.number != p.failAt) return false;
  p.fired = point;
  return true;
}

DriverScope::DriverScope(PDRIVER_OBJECT driver) { t_drivers.push_back(driver); }
DriverScope::~DriverScope() { t_drivers.pop_back(); }

PDRIVER_OBJECT CurrentDriver() { return t_drivers.empty() ? nullptr : t_drivers.back(); }

PDRIVER_OBJECT CallingDriver() {
  return t_drivers.size() < 2 ? nullptr : t_drivers[t_drivers.size() - 2];
}

}  // namespace host
