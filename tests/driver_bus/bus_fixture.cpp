#include "bus_fixture.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>

#include "buffer_contract.h"
// ---------------------------------------------------------------------------
// Observation points. The test executable is linked with --wrap for these two
// routines, so the driver's calls arrive here first and go on to the kernel
// stand-in unchanged.
extern "C" NTSTATUS __real_IoGetDeviceProperty(PDEVICE_OBJECT DeviceObject,
                                               DEVICE_REGISTRY_PROPERTY DeviceProperty,
                                               ULONG BufferLength, PVOID PropertyBuffer,
                                               PULONG ResultLength);
extern "C" VOID FASTCALL __real_IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost);
extern "C" NTSTATUS __real_KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason,
                                                 KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                                 PLARGE_INTEGER Timeout);

namespace {

struct Observed {
  std::mutex mutex;
  std::condition_variable changed;
  bool fillBeyond = false;
  std::vector<ULONG> locationLengths;
  std::map<const void*, int> waits;
  std::optional<host::PoolBlockInfo> lastWaitBlock;
  int completing = 0;  // IofCompleteRequest calls under way
};

Observed& Obs() {
  static Observed observed;
  return observed;
}

}  // namespace

extern "C" NTSTATUS __wrap_IoGetDeviceProperty(PDEVICE_OBJECT DeviceObject,
                                               DEVICE_REGISTRY_PROPERTY DeviceProperty,
                                               ULONG BufferLength, PVOID PropertyBuffer,
                                               PULONG ResultLength) {
  NTSTATUS status = __real_IoGetDeviceProperty(DeviceObject, DeviceProperty, BufferLength,
                                               PropertyBuffer, ResultLength);
  if (DeviceProperty != DevicePropertyLocationInformation) return status;
  bool fill;
  {
    std::lock_guard<std::mutex> lock(Obs().mutex);
    Obs().locationLengths.push_back(BufferLength);
    fill = Obs().fillBeyond;
  }
  if (fill && PropertyBuffer != nullptr && BufferLength != 0) {
    auto block = host::PoolBlock(PropertyBuffer);
    if (block && block->size >= 2 * static_cast<size_t>(BufferLength)) {
      auto* bytes = static_cast<unsigned char*>(PropertyBuffer);
      for (ULONG i = BufferLength; i + 1 < 2 * BufferLength; i += 2) {
        bytes[i] = '7';
        bytes[i + 1] = 0;
      }
    }
  }
  return status;
}

extern "C" NTSTATUS __wrap_KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason,
                                                 KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                                 PLARGE_INTEGER Timeout) {
  auto block = host::PoolBlock(Object);
  {
    std::lock_guard<std::mutex> lock(Obs().mutex);
    Obs().waits[Object]++;
    Obs().lastWaitBlock = block;
  }
  Obs().changed.notify_all();
  return __real_KeWaitForSingleObject(Object, WaitReason, WaitMode, Alertable, Timeout);
}

extern "C" VOID FASTCALL __wrap_IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
  {
    std::lock_guard<std::mutex> lock(Obs().mutex);
    Obs().completing++;
  }
  __real_IofCompleteRequest(Irp, PriorityBoost);
  {
    std::lock_guard<std::mutex> lock(Obs().mutex);
    Obs().completing--;
  }
  Obs().changed.notify_all();
}

namespace bustest {

bool WaitForCompletionsToFinish() {
  std::unique_lock<std::mutex> lock(Obs().mutex);
  return Obs().changed.wait_for(lock, std::chrono::seconds(10),
                                [] { return Obs().completing == 0; });
}

void SetFillBeyondLocation(bool on) {
  std::lock_guard<std::mutex> lock(Obs().mutex);
  Obs().fillBeyond = on;
}

std::vector<ULONG> LocationQueryLengths() {
  std::lock_guard<std::mutex> lock(Obs().mutex);
  return Obs().locationLengths;
}

void ResetWaits() {
  std::lock_guard<std::mutex> lock(Obs().mutex);
  Obs().waits.clear();
  Obs().lastWaitBlock.reset();
}

std::optional<host::PoolBlockInfo> LastWaitPoolBlock() {
  std::lock_guard<std::mutex> lock(Obs().mutex);
  return Obs().lastWaitBlock;
}

bool WaitUntilWaitedOn(const void* object, int count) {
  std::unique_lock<std::mutex> lock(Obs().mutex);
  return Obs().changed.wait_for(lock, std::chrono::seconds(10),
                                [&] { return Obs().waits[object] >= count; });
}

int TotalWaits() {
  std::lock_guard<std::mutex> lock(Obs().mutex);
  int total = 0;
  for (const auto& entry : Obs().waits) total += entry.second;
  return total;
}

int WaitCount(const void* object) {
  std::lock_guard<std::mutex> lock(Obs().mutex);
  auto it = Obs().waits.find(object);
  return it == Obs().waits.end() ? 0 : it->second;
}

// ---------------------------------------------------------------------------
// Register sequences.

std::vector<RegWrite> SetupWrites(ULONG ports, bool multiMode) {
  UCHAR a = 0xFE, b = 0xFF, c = 0xFF;
  switch (ports) {
    case 2:
      if (multiMode) {
        a = 0xFC, b = 0xFF, c = 0xFF;
      } else {
        a = 0xFF, b = 0xFF, c = 0xF3;
      }
      break;
    case 4: a = 0xF0, b = 0xFF, c = 0xFF; break;
    case 8: a = 0x00, b = 0xFF, c = 0xFF; break;
    case 16: a = 0x00, b = 0x00, c = 0xFF; break;
    default: break;
  }
  std::vector<RegWrite> writes = {{0, 0x00}, {1, 0x00}, {2, 0x00}};
  if (multiMode) writes.push_back({17, 0x00});
  writes.insert(writes.end(), {{4, a}, {5, b}, {6, c}, {8, 0xFF}, {9, 0xFF}, {10, 0xFF},
                               {12, 0x00}, {13, 0x00}, {14, 0x00}});
  return writes;
}

std::vector<RegWrite> ShutdownWrites() {
  return {{0, 0x00}, {1, 0x00}, {2, 0x00}, {4, 0xFF}, {5, 0xFF}, {6, 0xFF},
          {8, 0xFF}, {9, 0xFF}, {10, 0xFF}, {12, 0x00}, {13, 0x00}, {14, 0x00}};
}

std::vector<RegWrite> WritesOf(const host::Card& card, host::CardRange range) {
  std::vector<RegWrite> out;
  for (const auto& access : card.AccessLog()) {
    if (access.range == range && access.write) out.push_back({access.offset, access.value});
  }
  return out;
}

std::string Describe(const std::vector<RegWrite>& writes) {
  std::string text;
  for (const auto& w : writes) {
    char item[24];
    std::snprintf(item, sizeof item, "%s%lu<-%02X", text.empty() ? "" : " ",
                  static_cast<unsigned long>(w.offset), w.value);
    text += item;
  }
  return "[" + text + "]";
}

void PrintTo(const RegWrite& w, std::ostream* os) { *os << Describe({w}); }

UCHAR RegisterFile::Read(ULONG offset) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++reads_;
  return offset < bytes_.size() ? bytes_[offset] : 0xFF;
}

void RegisterFile::Write(ULONG offset, UCHAR value) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (offset < bytes_.size()) bytes_[offset] = value;
  writes_.push_back({offset, value});
}

std::vector<RegWrite> RegisterFile::Writes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return writes_;
}

int RegisterFile::Reads() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return reads_;
}

// ---------------------------------------------------------------------------
// Fixture.

void BusTest::SetUp() {
  PlatformTest::SetUp();
  testsupport::ExpectBufferContract();
  SetFillBeyondLocation(false);
  ResetWaits();
  {
    std::lock_guard<std::mutex> lock(Obs().mutex);
    Obs().locationLengths.clear();
  }
  ASSERT_EQ(STATUS_SUCCESS, host::LoadDriver(DriverEntry, "serhub", &driver_));
}

void BusTest::TearDown() {
  SetFillBeyondLocation(false);
  // A completion running in a thread of the PCI bus driver's may still be on
  // its way out of IoCompleteRequest after the driver's completion routine
  // let the waiting thread go.
  EXPECT_TRUE(WaitForCompletionsToFinish());
  host::TearDownMachine();
  PlatformTest::TearDown();
}

PBUS_EXTENSION BusTest::BusOf(PDEVICE_OBJECT fdo) {
  return static_cast<PBUS_EXTENSION>(fdo->DeviceExtension);
}

PBUS_EXTENSION BusTest::BusOf(host::DeviceNode& node) { return BusOf(node.Fdo()); }

std::optional<uint32_t> BusTest::PortsValue(host::DeviceNode& node) {
  auto value = host::RegistryStore::Instance().GetValue(node.DeviceParametersPath(), "PORTS");
  if (!value) return std::nullopt;
  EXPECT_EQ(static_cast<uint32_t>(REG_DWORD), value->type);
  EXPECT_EQ(4u, value->data.size());
  return value->Dword();
}

host::DeviceNode& BusTest::PlugAndStart(host::Card& card, ULONG bus, ULONG device,
                                        ULONG function) {
  host::DeviceNode& node = host::PlugCard(card, bus, device, function);
  EXPECT_EQ(STATUS_SUCCESS, node.addStatus);
  EXPECT_EQ(STATUS_SUCCESS, host::FilterResourceRequirements(node));
  EXPECT_EQ(STATUS_SUCCESS, host::StartDevice(node));
  return node;
}

ULONG BusTest::EnumerateDirect(host::DeviceNode& node) {
  host::PnpResult result = host::SendPnpTo(node.Fdo(), IRP_MN_QUERY_DEVICE_RELATIONS,
                                           [](PIO_STACK_LOCATION stack) {
                                             stack->Parameters.QueryDeviceRelations.Type =
                                                 BusRelations;
                                           });
  EXPECT_EQ(STATUS_SUCCESS, result.status);
  auto* relations = reinterpret_cast<PDEVICE_RELATIONS>(result.information);
  if (relations == nullptr) return 0;
  ULONG count = relations->Count;
  for (ULONG i = 0; i < count; ++i) ObDereferenceObject(relations->Objects[i]);
  ExFreePool(relations);
  return count;
}

}  // namespace bustest
