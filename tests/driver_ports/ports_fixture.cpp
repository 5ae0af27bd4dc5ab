#include "ports_fixture.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>

#include "buffer_contract.h"
// ---------------------------------------------------------------------------
// Observation point: the test executable is linked with
// --wrap=KeWaitForSingleObject, so every wait arrives here first and goes on
// to the kernel stand-in unchanged.
extern "C" NTSTATUS __real_KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason,
                                                 KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                                 PLARGE_INTEGER Timeout);
extern "C" VOID __real_PoStartNextPowerIrp(PIRP Irp);

namespace {

struct Waits {
  std::mutex mutex;
  std::condition_variable changed;
  std::map<const void*, int> count;
  std::map<PDEVICE_OBJECT, int> powerStarts;
};

Waits& W() {
  static Waits waits;
  return waits;
}

}  // namespace

extern "C" NTSTATUS __wrap_KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason,
                                                 KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                                 PLARGE_INTEGER Timeout) {
  {
    std::lock_guard<std::mutex> lock(W().mutex);
    W().count[Object]++;
  }
  W().changed.notify_all();
  return __real_KeWaitForSingleObject(Object, WaitReason, WaitMode, Alertable, Timeout);
}

extern "C" VOID __wrap_PoStartNextPowerIrp(PIRP Irp) {
  PDEVICE_OBJECT device = nullptr;
  if (Irp != nullptr && Irp->CurrentLocation <= Irp->StackCount) {
    device = IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
  }
  {
    std::lock_guard<std::mutex> lock(W().mutex);
    W().powerStarts[device]++;
  }
  __real_PoStartNextPowerIrp(Irp);
}

namespace porttest {

void ResetPowerStarts() {
  std::lock_guard<std::mutex> lock(W().mutex);
  W().powerStarts.clear();
}

int PowerStartsBy(PDEVICE_OBJECT device) {
  std::lock_guard<std::mutex> lock(W().mutex);
  auto it = W().powerStarts.find(device);
  return it == W().powerStarts.end() ? 0 : it->second;
}

void ResetWaits() {
  std::lock_guard<std::mutex> lock(W().mutex);
  W().count.clear();
}

bool WaitUntilWaitedOn(const void* object) {
  std::unique_lock<std::mutex> lock(W().mutex);
  return W().changed.wait_for(lock, std::chrono::seconds(10),
                              [&] { return W().count[object] > 0; });
}

ExpectedPort ExpectedFor(const host::Card& card, ULONG ports, bool multiMode, ULONG index) {
  ULONG uart = static_cast<ULONG>(card.TranslatedStart(host::CardRange::Uart));
  ULONG intc = static_cast<ULONG>(card.TranslatedStart(host::CardRange::Intc));
  ExpectedPort e{};
  e.baseAddr = uart + 8 * index;
  switch (ports) {
    case 2:
      e.intcAddr = 0;
      e.intcIndex = index;
      break;
    case 16:
      e.intcAddr = index < 8 ? intc : intc + 1;
      e.intcIndex = index % 8;
      break;
    case 32:
      e.intcAddr = uart + 64 * (index / 8) + 44;
      e.intcIndex = index % 8;
      break;
    default:
      e.intcAddr = intc;
      e.intcIndex = index;
      break;
  }
  e.portType = multiMode ? 1 : 0;
  e.echoAddr = multiMode ? intc + 17 : 0;
  return e;
}

const std::vector<std::string>& PortValueOrder() {
  static const std::vector<std::string> order = {
      "BASEADDR", "INTCADDR", "CLKRATE", "INTCIDX",  "PORTTYPE", "ECHOADDR",
      "VECTOR",   "LEVEL",    "TRVECTOR", "TRLEVEL", "AFFINITY"};
  return order;
}

std::string PortKeyPath(const std::string& instanceId) {
  return "SYSTEM\\CurrentControlSet\\Enum\\PCIMULTI\\PCI_SER\\" + instanceId +
         "\\Device Parameters";
}

std::string InstanceIdFor(ULONG bus, ULONG device, ULONG function, ULONG port) {
  char text[16];
  std::snprintf(text, sizeof text, "%02X%02X%02X%02X", static_cast<unsigned>(bus),
                static_cast<unsigned>(device), static_cast<unsigned>(function),
                static_cast<unsigned>(port));
  return text;
}

std::string Narrow(const WCHAR* text, size_t count) {
  std::string out;
  for (size_t i = 0; i < count; i++) out.push_back(static_cast<char>(text[i]));
  return out;
}

// ---------------------------------------------------------------------------

void PortTest::SetUp() {
  PlatformTest::SetUp();
  testsupport::ExpectBufferContract();
  ResetWaits();
  ResetPowerStarts();
  ASSERT_EQ(STATUS_SUCCESS, host::LoadDriver(DriverEntry, "serhub", &driver_));
}

void PortTest::TearDown() {
  host::TearDownMachine();
  DeleteDevicesFromAbove();
  if (aboveDriver_ != nullptr) {
    host::DeleteDriverObject(aboveDriver_);
    aboveDriver_ = nullptr;
  }
  PlatformTest::TearDown();
}

PBUS_EXTENSION PortTest::BusOf(host::DeviceNode& node) {
  return static_cast<PBUS_EXTENSION>(node.Fdo()->DeviceExtension);
}

PPORT_EXTENSION PortTest::PortOf(PDEVICE_OBJECT pdo) {
  return static_cast<PPORT_EXTENSION>(pdo->DeviceExtension);
}

host::DeviceNode& PortTest::PlugAndStart(host::Card& card, ULONG bus, ULONG device,
                                         ULONG function) {
  host::DeviceNode& node = host::PlugCard(card, bus, device, function);
  EXPECT_EQ(STATUS_SUCCESS, node.addStatus);
  EXPECT_EQ(STATUS_SUCCESS, host::FilterResourceRequirements(node));
  EXPECT_EQ(STATUS_SUCCESS, host::StartDevice(node));
  return node;
}

host::DeviceNode* PortTest::PortNode(host::DeviceNode& card, ULONG index) {
  char suffix[4];
  std::snprintf(suffix, sizeof suffix, "%02X", static_cast<unsigned>(index));
  for (host::DeviceNode* child : card.Children()) {
    const std::string& id = child->instanceId;
    if (id.size() == 8 && id.compare(6, 2, suffix) == 0) return child;
  }
  return nullptr;
}

NTSTATUS PortTest::QueryBusRelationsDirect(host::DeviceNode& node, PDEVICE_RELATIONS above,
                                           PDEVICE_RELATIONS* list) {
  host::PnpResult result = host::SendPnpTo(
      node.Top(), IRP_MN_QUERY_DEVICE_RELATIONS,
      [](PIO_STACK_LOCATION stack) { stack->Parameters.QueryDeviceRelations.Type = BusRelations; },
      reinterpret_cast<ULONG_PTR>(above));
  *list = reinterpret_cast<PDEVICE_RELATIONS>(result.information);
  return result.status;
}

void PortTest::ReleaseRelations(PDEVICE_RELATIONS list) {
  if (list == nullptr) return;
  for (ULONG i = 0; i < list->Count; i++) ObDereferenceObject(list->Objects[i]);
  ExFreePool(list);
}

namespace {

struct AboveExtension {
  PDEVICE_OBJECT below;
  NTSTATUS status;
};

NTSTATUS NTAPI AbovePassDown(PDEVICE_OBJECT device, PIRP irp) {
  auto* ext = static_cast<AboveExtension*>(device->DeviceExtension);
  irp->IoStatus.Status = ext->status;
  if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_POWER) {
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(ext->below, irp);
  }
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(ext->below, irp);
}

}  // namespace

host::IrpResult PortTest::SendFromAbove(PDEVICE_OBJECT target, UCHAR major, UCHAR minor,
                                        const std::function<void(PIO_STACK_LOCATION)>& fill,
                                        NTSTATUS status) {
  if (aboveDriver_ == nullptr) aboveDriver_ = host::CreateDriverObject(u"testabove");
  aboveDriver_->MajorFunction[IRP_MJ_PNP] = AbovePassDown;
  aboveDriver_->MajorFunction[IRP_MJ_POWER] = AbovePassDown;
  PDEVICE_OBJECT device = nullptr;
  EXPECT_EQ(STATUS_SUCCESS, IoCreateDevice(aboveDriver_, sizeof(AboveExtension), nullptr,
                                           FILE_DEVICE_UNKNOWN, 0, FALSE, &device));
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  device->StackSize = static_cast<CCHAR>(target->StackSize + 1);
  auto* ext = static_cast<AboveExtension*>(device->DeviceExtension);
  ext->below = target;
  ext->status = status;
  aboveDevices_.push_back(device);
  return host::SendIrpAndWait(device, major, minor, fill, STATUS_NOT_SUPPORTED);
}

PDEVICE_RELATIONS PortTest::ListFromAbove(ULONG count) {
  if (aboveDriver_ == nullptr) aboveDriver_ = host::CreateDriverObject(u"testabove");
  auto* list = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(
      PagedPool, sizeof(DEVICE_RELATIONS) + count * sizeof(PDEVICE_OBJECT), 0x65766241UL));
  list->Count = count;
  for (ULONG i = 0; i < count; i++) {
    PDEVICE_OBJECT device = nullptr;
    EXPECT_EQ(STATUS_SUCCESS, IoCreateDevice(aboveDriver_, 0, nullptr, FILE_DEVICE_UNKNOWN, 0,
                                             FALSE, &device));
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    ObReferenceObject(device);
    list->Objects[i] = device;
    aboveDevices_.push_back(device);
  }
  return list;
}

void PortTest::DeleteDevicesFromAbove() {
  for (PDEVICE_OBJECT device : aboveDevices_) {
    if (host::IsDeviceAlive(device)) IoDeleteDevice(device);
  }
  aboveDevices_.clear();
}

}  // namespace porttest
