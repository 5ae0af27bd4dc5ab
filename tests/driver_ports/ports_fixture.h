// Fixture and helpers for the port-device tests: the driver loaded into the
// emulated machine, access to the bus and port extensions, expected port
// settings per card model, direct bus-relations queries, and an observation
// point on the kernel's waits.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "host/io.h"
#include "host/kernel.h"
#include "host/machine.h"
#include "host/verifier.h"
#include "platform_test.h"
#include "registry/registry.h"
#include "serhub.h"

namespace porttest {

// ---------------------------------------------------------------------------
// Observation point (ports_fixture.cpp wraps KeWaitForSingleObject).
void ResetWaits();
// Blocks until some thread has entered KeWaitForSingleObject on `object`;
// false after a safety limit of 10 s.
bool WaitUntilWaitedOn(const void* object);
// PoStartNextPowerIrp calls (it is wrapped too), counted by the device whose
// stack location was current at the call.
void ResetPowerStarts();
int PowerStartsBy(PDEVICE_OBJECT device);

// ---------------------------------------------------------------------------
// What a port should publish, computed from the card as the machine set it up.
struct ExpectedPort {
  ULONG baseAddr;
  ULONG intcAddr;
  ULONG intcIndex;
  ULONG portType;
  ULONG echoAddr;
};
ExpectedPort ExpectedFor(const host::Card& card, ULONG ports, bool multiMode, ULONG index);

// The eleven port values in the order the driver writes them.
const std::vector<std::string>& PortValueOrder();

// "SYSTEM\CurrentControlSet\Enum\PCIMULTI\PCI_SER\<id>\Device Parameters".
std::string PortKeyPath(const std::string& instanceId);
// Eight-digit instance ID as the driver forms it.
std::string InstanceIdFor(ULONG bus, ULONG device, ULONG function, ULONG port);

// Wide text of a WCHAR buffer, narrowed (ASCII only).
std::string Narrow(const WCHAR* text, size_t count);

// ---------------------------------------------------------------------------
class PortTest : public testsupport::PlatformTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  static PBUS_EXTENSION BusOf(host::DeviceNode& node);
  static PPORT_EXTENSION PortOf(PDEVICE_OBJECT pdo);
  static PPORT_EXTENSION PortOf(host::DeviceNode* node) { return PortOf(node->Pdo()); }

  // AddDevice, resource requirements and start; no bus relations.
  host::DeviceNode& PlugAndStart(host::Card& card, ULONG bus = 2, ULONG device = 13,
                                 ULONG function = 1);
  // The card's present child whose instance ID ends in the port index.
  static host::DeviceNode* PortNode(host::DeviceNode& card, ULONG index);

  // Sends IRP_MN_QUERY_DEVICE_RELATIONS / BusRelations straight to the top
  // of the card's stack with `above` (may be NULL) as the list from drivers
  // above; returns the final status and the list in *list.
  static NTSTATUS QueryBusRelationsDirect(host::DeviceNode& node, PDEVICE_RELATIONS above,
                                          PDEVICE_RELATIONS* list);
  // Drops the references of a returned list and frees it.
  static void ReleaseRelations(PDEVICE_RELATIONS list);
  // A list from "drivers above": `count` new device objects of a test driver,
  // each referenced once for the list.
  PDEVICE_RELATIONS ListFromAbove(ULONG count);
  // Deletes the devices made by ListFromAbove and SendFromAbove.
  void DeleteDevicesFromAbove();
  // Sends a request, started with STATUS_NOT_SUPPORTED as the system starts
  // it, to a device of a test driver standing for a driver above `target`:
  // it sets IoStatus.Status to `status` and passes the request down to
  // `target` (PoStartNextPowerIrp first for power requests).
  host::IrpResult SendFromAbove(PDEVICE_OBJECT target, UCHAR major, UCHAR minor,
                                const std::function<void(PIO_STACK_LOCATION)>& fill,
                                NTSTATUS status);

  PDRIVER_OBJECT driver_ = nullptr;
  PDRIVER_OBJECT aboveDriver_ = nullptr;
  std::vector<PDEVICE_OBJECT> aboveDevices_;
};

}  // namespace porttest
