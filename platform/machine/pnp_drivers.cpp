// The Plug and Play manager's driver loading: driver objects, DriverEntry
// with the service key path, unloading once a driver's last device is gone.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <set>

#include "host/faults.h"
#include "host/io.h"
#include "host/kernel.h"
#include "host/verifier.h"
#include "pnp_internal.h"
#include "registry.h"

#ifndef STATUS_IMAGE_ALREADY_LOADED
#define STATUS_IMAGE_ALREADY_LOADED ((NTSTATUS)0xC000010EL)
#endif

namespace host {

namespace machine {

// --- Drivers ---------------------------------------------------------------

namespace {

NTSTATUS LoadRecord(LoadedDriverRecord& record) {
  PDRIVER_OBJECT driver = CreateDriverObject(u"\\Driver\\" + Widen(record.service));
  RegistryStore::Instance().CreateKey("SYSTEM\\CurrentControlSet\\Services\\" + record.service);
  std::u16string path = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + Widen(record.service);
  // The I/O manager's copy of the path lives only while DriverEntry runs.
  std::vector<char16_t> buffer(path.begin(), path.end());
  buffer.push_back(u'\0');
  UNICODE_STRING registryPath;
  registryPath.Length = static_cast<USHORT>(path.size() * sizeof(char16_t));
  registryPath.MaximumLength = static_cast<USHORT>(registryPath.Length + sizeof(char16_t));
  registryPath.Buffer = buffer.data();
  record.loads++;
  NTSTATUS status;
  {
    DriverScope scope(driver);
    status = record.entry(driver, &registryPath);
  }
  std::fill(buffer.begin(), buffer.end(), u'\xDDDD');
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
    VerifierFail("pnp.irql-on-return", "DriverEntry of " + record.service + " returned at IRQL " +
                 std::to_string(KeGetCurrentIrql()));
  }
  if (!NT_SUCCESS(status)) {
    DeleteDriverObject(driver);
    record.object = nullptr;
  } else {
    record.object = driver;
  }
  return status;
}

}  // namespace

PDRIVER_OBJECT EnsureDriverLoaded(const std::string& service) {
  auto& state = State();
  LoadedDriverRecord* record;
  {
    std::lock_guard<std::recursive_mutex> lock(state.mutex);
    auto it = state.drivers.find(Upper(service));
    if (it == state.drivers.end()) {
      if (Upper(service) != Upper(kSerialService)) return nullptr;
      LoadedDriverRecord serial;
      serial.service = kSerialService;
      serial.entry = SerialDriverEntry;
      it = state.drivers.emplace(Upper(service), serial).first;
    }
    record = &it->second;
    if (record->object != nullptr) return record->object;
  }
  LoadRecord(*record);
  return record->object;
}

void UnloadIfIdle(const std::string& service) {
  auto& state = State();
  {
    std::lock_guard<std::recursive_mutex> lock(state.mutex);
    if (!state.autoUnload) return;
    auto it = state.drivers.find(Upper(service));
    if (it == state.drivers.end() || it->second.object == nullptr) return;
    if (it->second.object->DeviceObject != nullptr) return;
  }
  UnloadDriver(service);
}

}  // namespace machine

using namespace machine;

NTSTATUS LoadDriver(PDRIVER_INITIALIZE entry, const std::string& service, PDRIVER_OBJECT* driver) {
  auto& state = State();
  machine::LoadedDriverRecord* record;
  {
    std::lock_guard<std::recursive_mutex> lock(state.mutex);
    record = &state.drivers[Upper(service)];
    state.lastService = service;
    if (record->object != nullptr) {
      if (driver) *driver = record->object;
      return STATUS_IMAGE_ALREADY_LOADED;
    }
    record->service = service;
    record->entry = entry;
  }
  NTSTATUS status = machine::LoadRecord(*record);
  if (driver) *driver = record->object;
  return status;
}

PDRIVER_OBJECT LoadedDriver(const std::string& service) {
  auto& state = State();
  std::lock_guard<std::recursive_mutex> lock(state.mutex);
  auto it = state.drivers.find(Upper(service));
  return it == state.drivers.end() ? nullptr : it->second.object;
}

bool UnloadDriver(const std::string& service) {
  auto& state = State();
  PDRIVER_OBJECT driver;
  {
    std::lock_guard<std::recursive_mutex> lock(state.mutex);
    auto it = state.drivers.find(Upper(service));
    if (it == state.drivers.end() || it->second.object == nullptr) return false;
    driver = it->second.object;
    if (driver->DeviceObject != nullptr) {
      VerifierFail("obj.unload-with-devices", "machine: driver " + service + " cannot be unloaded: it still has device objects");
      return false;
    }
    it->second.object = nullptr;
    it->second.unloads++;
  }
  if (driver->DriverUnload != nullptr) {
    DriverScope scope(driver);
    driver->DriverUnload(driver);
  }
  DeleteDriverObject(driver);
  return true;
}

int DriverLoadCount(const std::string& service) {
  auto& state = State();
  std::lock_guard<std::recursive_mutex> lock(state.mutex);
  auto it = state.drivers.find(Upper(service));
  return it == state.drivers.end() ? 0 : it->second.loads;
}

int DriverUnloadCount(const std::string& service) {
  auto& state = State();
  std::lock_guard<std::recursive_mutex> lock(state.mutex);
  auto it = state.drivers.find(Upper(service));
  return it == state.drivers.end() ? 0 : it->second.unloads;
}

void SetAutoUnload(bool on) {
  auto& state = State();
  std::lock_guard<std::recursive_mutex> lock(state.mutex);
  state.autoUnload = on;
}


}  // namespace host
