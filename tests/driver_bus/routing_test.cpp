// Driver entry, unload and the routing of Plug and Play and power requests.
#include "bus_fixture.h"

namespace bustest {
namespace {

constexpr ULONG kTestTag = 0x74736554;  // "Test"

using RoutingTest = BusTest;

TEST_F(RoutingTest, EntryRegistersOnlyPnpPowerUnloadAndAddDevice) {
  ASSERT_NE(nullptr, driver_);
  EXPECT_EQ(&DispatchPnp, driver_->MajorFunction[IRP_MJ_PNP]);
  EXPECT_EQ(&DispatchPower, driver_->MajorFunction[IRP_MJ_POWER]);
  EXPECT_EQ(&DriverUnload, driver_->DriverUnload);
  EXPECT_EQ(&AddDevice, driver_->DriverExtension->AddDevice);
  for (int major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) {
    if (major == IRP_MJ_PNP || major == IRP_MJ_POWER) continue;
    EXPECT_EQ(host::DefaultDispatchRoutine(), driver_->MajorFunction[major]) << "major " << major;
  }
}

TEST_F(RoutingTest, RegistryPathCopyLivesUntilUnload) {
  const std::u16string path = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\serhub";
  // The copy has room for the path and a NUL, in paged pool, tag "Zbus".
  EXPECT_EQ(1u, host::PoolOutstanding(SERHUB_TAG_ZBUS));
  EXPECT_EQ(path.size() * sizeof(char16_t) + sizeof(char16_t),
            host::PoolOutstandingBytes(SERHUB_TAG_ZBUS));

  ASSERT_TRUE(host::UnloadDriver("serhub"));
  EXPECT_EQ(1, host::DriverUnloadCount("serhub"));
  EXPECT_EQ(0u, host::PoolOutstanding(SERHUB_TAG_ZBUS));
}

TEST_F(RoutingTest, EntryWithoutPoolRegistersNothing) {
  ASSERT_TRUE(host::UnloadDriver("serhub"));
  PDRIVER_OBJECT driver = host::CreateDriverObject(u"serhubtest");
  char16_t text[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\serhubtest";
  UNICODE_STRING path;
  RtlInitUnicodeString(&path, text);

  host::FailPoolTag(SERHUB_TAG_ZBUS);
  EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, DriverEntry(driver, &path));
  host::ClearPoolFaults();

  for (int major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) {
    EXPECT_EQ(host::DefaultDispatchRoutine(), driver->MajorFunction[major]) << "major " << major;
  }
  EXPECT_EQ(nullptr, driver->DriverUnload);
  EXPECT_EQ(nullptr, driver->DriverExtension->AddDevice);
  EXPECT_EQ(0u, host::PoolOutstanding(SERHUB_TAG_ZBUS));
  host::DeleteDriverObject(driver);
}

TEST_F(RoutingTest, EntryCopiesTheGivenPathAndUnloadFreesIt) {
  ASSERT_TRUE(host::UnloadDriver("serhub"));
  PDRIVER_OBJECT driver = host::CreateDriverObject(u"serhubtest");
  char16_t text[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\X";
  UNICODE_STRING path;
  RtlInitUnicodeString(&path, text);

  ASSERT_EQ(STATUS_SUCCESS, DriverEntry(driver, &path));
  // The caller's string may go away: the driver keeps its own copy.
  text[0] = u'?';
  EXPECT_EQ(path.Length + sizeof(char16_t), host::PoolOutstandingBytes(SERHUB_TAG_ZBUS));
  driver->DriverUnload(driver);
  EXPECT_EQ(0u, host::PoolOutstanding(SERHUB_TAG_ZBUS));
  host::DeleteDriverObject(driver);
}

TEST_F(RoutingTest, OtherMajorFunctionsFailOnBusAndPortDevices) {
  host::Card& card = host::CreateCard(host::CardModel::Ports4);
  host::DeviceNode& node = PlugAndStart(card);
  ASSERT_EQ(4u, EnumerateDirect(node));
  node.Pci()->ClearRequestLog();

  std::vector<PDEVICE_OBJECT> targets = {node.Fdo(), BusOf(node)->Children[0]};
  for (PDEVICE_OBJECT target : targets) {
    for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_SYSTEM_CONTROL, IRP_MJ_DEVICE_CONTROL, IRP_MJ_CLOSE}) {
      host::IrpResult result = host::SendIrpAndWait(target, major, 0);
      EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, result.returned) << "major " << int(major);
      EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, result.iosb.Status) << "major " << int(major);
    }
  }
  EXPECT_TRUE(node.Pci()->RequestLog().empty());
}

TEST_F(RoutingTest, PnpToDeletedBusDeviceCompletesWithDeletePending) {
  host::Card& card = host::CreateCard(host::CardModel::Ports8);
  host::DeviceNode& node = PlugAndStart(card);
  PBUS_EXTENSION bus = BusOf(node);
  ULONG saved = bus->PnpState;
  bus->PnpState = Deleted;
  node.Pci()->ClearRequestLog();

  void* marker = ExAllocatePoolWithTag(PagedPool, 16, kTestTag);
  host::PnpResult result =
      host::SendPnp(node, IRP_MN_QUERY_PNP_DEVICE_STATE, {}, reinterpret_cast<ULONG_PTR>(marker));
  EXPECT_EQ(STATUS_DELETE_PENDING, result.returned);
  EXPECT_EQ(STATUS_DELETE_PENDING, result.status);
  EXPECT_EQ(reinterpret_cast<ULONG_PTR>(marker), result.information);
  EXPECT_EQ(0, node.Pci()->RequestCount(IRP_MJ_PNP));
  EXPECT_EQ(1, bus->OutstandingIo);
  ExFreePool(marker);

  bus->PnpState = saved;
}

TEST_F(RoutingTest, PowerToDeletedDevicesCompletesWithDeletePending) {
  host::Card& card = host::CreateCard(host::CardModel::Ports2);
  host::DeviceNode& node = PlugAndStart(card);
  ASSERT_EQ(2u, EnumerateDirect(node));
  PBUS_EXTENSION bus = BusOf(node);
  auto* port = static_cast<PPORT_EXTENSION>(bus->Children[0]->DeviceExtension);
  node.Pci()->ClearRequestLog();

  POWER_STATE d0;
  d0.DeviceState = PowerDeviceD0;
  ULONG savedBus = bus->PnpState;
  bus->PnpState = Deleted;
  host::PowerResult toBus =
      host::SendPower(node.Fdo(), IRP_MN_SET_POWER, DevicePowerState, d0);
  bus->PnpState = savedBus;
  EXPECT_EQ(STATUS_DELETE_PENDING, toBus.returned);
  EXPECT_EQ(STATUS_DELETE_PENDING, toBus.status);
  EXPECT_EQ(0, node.Pci()->RequestCount(IRP_MJ_POWER));

  ULONG savedPort = port->PnpState;
  port->PnpState = Deleted;
  host::PowerResult toPort =
      host::SendPower(port->Self, IRP_MN_QUERY_POWER, DevicePowerState, d0);
  port->PnpState = savedPort;
  EXPECT_EQ(STATUS_DELETE_PENDING, toPort.returned);
  EXPECT_EQ(STATUS_DELETE_PENDING, toPort.status);
  // The power manager's check (exactly one PoStartNextPowerIrp per request)
  // runs in the fixture's verifier.
}

TEST_F(RoutingTest, PortRequestsNeverReachTheBusHandler) {
  host::Card& card = host::CreateCard(host::CardModel::Ports4);
  host::DeviceNode& node = PlugAndStart(card);
  ASSERT_EQ(4u, EnumerateDirect(node));
  PDEVICE_OBJECT port = BusOf(node)->Children[0];
  node.Pci()->ClearRequestLog();

  // Requests that a port device answers by itself; the bus device would pass
  // every one of them to the PCI bus driver.
  for (UCHAR minor : {IRP_MN_QUERY_PNP_DEVICE_STATE, IRP_MN_READ_CONFIG,
                      IRP_MN_FILTER_RESOURCE_REQUIREMENTS, IRP_MN_QUERY_INTERFACE,
                      IRP_MN_CANCEL_STOP_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE}) {
    host::SendPnpTo(port, minor);
  }
  host::PnpResult id = host::SendPnpTo(port, IRP_MN_QUERY_ID, [](PIO_STACK_LOCATION stack) {
    stack->Parameters.QueryId.IdType = BusQueryDeviceID;
  });
  ASSERT_EQ(STATUS_SUCCESS, id.status);
  EXPECT_EQ(std::u16string(u"PCIMULTI\\PCI_SER"),
            std::u16string(reinterpret_cast<const char16_t*>(id.information)));
  ExFreePool(reinterpret_cast<void*>(id.information));
  EXPECT_EQ(0, node.Pci()->RequestCount(IRP_MJ_PNP));
  EXPECT_EQ(1, BusOf(node)->OutstandingIo);

  // The same identification request to the card's stack is the PCI bus
  // driver's to answer.
  host::PnpResult cardId = host::SendPnp(node, IRP_MN_QUERY_ID, [](PIO_STACK_LOCATION stack) {
    stack->Parameters.QueryId.IdType = BusQueryDeviceID;
  });
  ASSERT_EQ(STATUS_SUCCESS, cardId.status);
  EXPECT_EQ(1, node.Pci()->RequestCount(IRP_MJ_PNP, IRP_MN_QUERY_ID));
  EXPECT_EQ(u'P', reinterpret_cast<const char16_t*>(cardId.information)[0]);
  ExFreePool(reinterpret_cast<void*>(cardId.information));
}

}  // namespace
}  // namespace bustest
