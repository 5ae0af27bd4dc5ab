// Plug and Play requests to a port device: its states, identifiers, text,
// capabilities, target relation, bus information and removal.
#include <cstring>
#include <string>
#include <vector>

#include "ports_fixture.h"
#include "test_filter.h"

namespace porttest {
namespace {

using host::CardModel;

// Flag word of a DEVICE_CAPABILITIES (the 32 bits after Size and Version).
ULONG Flags(const DEVICE_CAPABILITIES& caps) {
  ULONG flags;
  std::memcpy(&flags, reinterpret_cast<const UCHAR*>(&caps) + 4, sizeof flags);
  return flags;
}

void SetFlags(DEVICE_CAPABILITIES& caps, ULONG flags) {
  std::memcpy(reinterpret_cast<UCHAR*>(&caps) + 4, &flags, sizeof flags);
}

DEVICE_CAPABILITIES FreshCaps(ULONG flags) {
  DEVICE_CAPABILITIES caps;
  std::memset(&caps, 0x5C, sizeof caps);
  caps.Size = sizeof(DEVICE_CAPABILITIES);
  caps.Version = 1;
  SetFlags(caps, flags);
  caps.Address = 0xFFFFFFFF;
  caps.UINumber = 0xFFFFFFFF;
  caps.D1Latency = 7;
  caps.D2Latency = 8;
  caps.D3Latency = 9;
  return caps;
}

class PortPnpTest : public PortTest {
 protected:
  // A started 8-port card at PCI bus 2, device 13, function 1.
  host::DeviceNode& Card8() {
    host::Card& card = host::CreateCard(CardModel::Ports8);
    host::DeviceNode& node = host::BringUpCard(card);
    EXPECT_EQ(8u, node.Children().size());
    return node;
  }

  static host::PnpResult QueryId(PDEVICE_OBJECT pdo, BUS_QUERY_ID_TYPE type, ULONG_PTR info = 0) {
    return host::SendPnpTo(pdo, IRP_MN_QUERY_ID,
                           [type](PIO_STACK_LOCATION s) { s->Parameters.QueryId.IdType = type; }, info);
  }
  static host::PnpResult QueryText(PDEVICE_OBJECT pdo, DEVICE_TEXT_TYPE type, ULONG_PTR info = 0) {
    return host::SendPnpTo(pdo, IRP_MN_QUERY_DEVICE_TEXT, [type](PIO_STACK_LOCATION s) {
      s->Parameters.QueryDeviceText.DeviceTextType = type;
      s->Parameters.QueryDeviceText.LocaleId = 0x409;
    }, info);
  }
  static host::PnpResult QueryRelations(PDEVICE_OBJECT pdo, DEVICE_RELATION_TYPE type,
                                        ULONG_PTR info = 0) {
    return host::SendPnpTo(pdo, IRP_MN_QUERY_DEVICE_RELATIONS, [type](PIO_STACK_LOCATION s) {
      s->Parameters.QueryDeviceRelations.Type = type;
    }, info);
  }
  static host::PnpResult QueryCaps(PDEVICE_OBJECT pdo, DEVICE_CAPABILITIES* caps) {
    return host::SendPnpTo(pdo, IRP_MN_QUERY_CAPABILITIES, [caps](PIO_STACK_LOCATION s) {
      s->Parameters.DeviceCapabilities.Capabilities = caps;
    });
  }
  static NTSTATUS Send(PDEVICE_OBJECT pdo, UCHAR minor) {
    return host::SendPnpTo(pdo, minor).status;
  }
  // A pool block standing for a buffer some driver above already put in Information.
  static ULONG_PTR Marker(size_t size = 16) {
    return reinterpret_cast<ULONG_PTR>(ExAllocatePoolWithTag(PagedPool, size, 0x6B72614DUL));
  }
};

// ---------------------------------------------------------------------------
// Identifiers and text.

TEST_F(PortPnpTest, IdentifiersHaveExactSizesTagsAndBytes) {
  host::Card& card = host::CreateCard(CardModel::Ports16);
  host::DeviceNode& node = host::BringUpCard(card, 2, 3, 0);
  host::DeviceNode* port10 = PortNode(node, 10);
  ASSERT_NE(nullptr, port10);

  struct Case {
    BUS_QUERY_ID_TYPE type;
    std::u16string bytes;  // the expected contents, NULs included
  };
  const Case cases[] = {
      {BusQueryDeviceID, std::u16string(u"PCIMULTI\\PCI_SER", 17)},
      {BusQueryHardwareIDs, std::u16string(u"PCIMULTI\\PCI_SER\0", 18)},
      {BusQueryCompatibleIDs, std::u16string(u"PCIMULTI\\PCI_SER\0", 18)},
      {BusQueryInstanceID, std::u16string(u"0203000A", 9)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("IdType " + std::to_string(c.type));
    host::PnpResult r = QueryId(port10->Pdo(), c.type);
    ASSERT_EQ(STATUS_SUCCESS, r.status);
    ASSERT_NE(0u, r.information);
    auto block = host::PoolBlock(reinterpret_cast<void*>(r.information));
    ASSERT_TRUE(block.has_value());
    EXPECT_EQ(c.bytes.size() * 2, block->size);
    EXPECT_EQ(SERHUB_TAG_DDK, block->tag);
    EXPECT_EQ(PagedPool, block->type);
    EXPECT_EQ(0, std::memcmp(c.bytes.data(), reinterpret_cast<void*>(r.information), block->size));
    ExFreePool(reinterpret_cast<void*>(r.information));
  }
  // What the Plug and Play manager took from the answers.
  EXPECT_EQ("PCIMULTI\\PCI_SER", port10->deviceId);
  EXPECT_EQ(std::vector<std::string>{"PCIMULTI\\PCI_SER"}, port10->hardwareIds);
  EXPECT_EQ(port10->hardwareIds, port10->compatibleIds);
  EXPECT_EQ("PCIMULTI\\PCI_SER\\0203000A", port10->InstancePath());
}

TEST_F(PortPnpTest, OtherIdTypesKeepStatusAndInformation) {
  host::DeviceNode& node = Card8();
  PDEVICE_OBJECT pdo = PortNode(node, 0)->Pdo();
  ULONG_PTR marker = Marker();
  for (BUS_QUERY_ID_TYPE type : {BusQueryDeviceSerialNumber, BusQueryContainerID,
                                 static_cast<BUS_QUERY_ID_TYPE>(9)}) {
    host::PnpResult r = QueryId(pdo, type, marker);
    EXPECT_EQ(STATUS_NOT_SUPPORTED, r.status) << type;
    EXPECT_EQ(marker, r.information) << type;
    host::IrpResult s = SendFromAbove(pdo, IRP_MJ_PNP, IRP_MN_QUERY_ID, [type](PIO_STACK_LOCATION st) {
      st->Parameters.QueryId.IdType = type;
    }, STATUS_SUCCESS);
    EXPECT_EQ(STATUS_SUCCESS, s.iosb.Status) << type;
    EXPECT_EQ(STATUS_SUCCESS, s.returned) << type;
    EXPECT_EQ(0u, s.iosb.Information) << type;
  }
  EXPECT_EQ(0u, host::PoolOutstanding(SERHUB_TAG_DDK));
  ExFreePool(reinterpret_cast<void*>(marker));
}

TEST_F(PortPnpTest, NoMemoryForAnIdentifierOrTheText) {
  host::DeviceNode& node = Card8();
  PDEVICE_OBJECT pdo = PortNode(node, 2)->Pdo();
  host::FailPoolTag(SERHUB_TAG_DDK);
  for (BUS_QUERY_ID_TYPE type :
       {BusQueryDeviceID, BusQueryHardwareIDs, BusQueryCompatibleIDs, BusQueryInstanceID}) {
    host::PnpResult r = QueryId(pdo, type);
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, r.status) << type;
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, r.returned) << type;
    EXPECT_EQ(0u, r.information) << type;
  }
  host::PnpResult text = QueryText(pdo, DeviceTextDescription);
  EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, text.status);
  EXPECT_EQ(0u, text.information);
  host::ClearPoolFaults();
}

TEST_F(PortPnpTest, DescriptionIsTheOnlyTextGiven) {
  host::DeviceNode& node = Card8();
  host::DeviceNode* port = PortNode(node, 4);
  EXPECT_EQ("PCI serial port", port->description);
  EXPECT_EQ("", port->location);

  host::PnpResult r = QueryText(port->Pdo(), DeviceTextDescription);
  ASSERT_EQ(STATUS_SUCCESS, r.status);
  auto block = host::PoolBlock(reinterpret_cast<void*>(r.information));
  ASSERT_TRUE(block.has_value());
  EXPECT_EQ(32u, block->size);
  EXPECT_EQ(SERHUB_TAG_DDK, block->tag);
  EXPECT_EQ(PagedPool, block->type);
  EXPECT_EQ(0, std::memcmp(u"PCI serial port", reinterpret_cast<void*>(r.information), 32));
  ExFreePool(reinterpret_cast<void*>(r.information));

  // Location text: whatever the request arrived with.
  for (NTSTATUS initial : {STATUS_SUCCESS, STATUS_NOT_SUPPORTED}) {
    host::IrpResult s = SendFromAbove(port->Pdo(), IRP_MJ_PNP, IRP_MN_QUERY_DEVICE_TEXT,
                                             [](PIO_STACK_LOCATION st) {
                                               st->Parameters.QueryDeviceText.DeviceTextType =
                                                   DeviceTextLocationInformation;
                                             },
                                             initial);
    EXPECT_EQ(initial, s.iosb.Status);
    EXPECT_EQ(0u, s.iosb.Information);
  }

  // A description that a driver above already gave is kept.
  ULONG_PTR marker = Marker();
  r = QueryText(port->Pdo(), DeviceTextDescription, marker);
  EXPECT_EQ(STATUS_SUCCESS, r.status);
  EXPECT_EQ(marker, r.information);
  EXPECT_EQ(0u, host::PoolOutstanding(SERHUB_TAG_DDK));
  ExFreePool(reinterpret_cast<void*>(marker));
}

// ---------------------------------------------------------------------------
// Relations and bus information.

TEST_F(PortPnpTest, TargetRelationNamesThePortWithAReference) {
  host::DeviceNode& node = Card8();
  PDEVICE_OBJECT pdo = PortNode(node, 6)->Pdo();
  const LONG base = host::ReferenceCount(pdo);

  host::PnpResult r = QueryRelations(pdo, TargetDeviceRelation);
  ASSERT_EQ(STATUS_SUCCESS, r.status);
  auto* list = reinterpret_cast<PDEVICE_RELATIONS>(r.information);
  auto block = host::PoolBlock(list);
  ASSERT_TRUE(block.has_value());
  EXPECT_EQ(sizeof(DEVICE_RELATIONS), block->size);
  EXPECT_EQ(SERHUB_TAG_DDK, block->tag);
  EXPECT_EQ(PagedPool, block->type);
  ASSERT_EQ(1u, list->Count);
  EXPECT_EQ(pdo, list->Objects[0]);
  EXPECT_EQ(base + 1, host::ReferenceCount(pdo));

  // The list is replaced on a second query: the old one is freed, its
  // reference given back.
  host::PnpResult again = QueryRelations(pdo, TargetDeviceRelation, r.information);
  ASSERT_EQ(STATUS_SUCCESS, again.status);
  EXPECT_NE(r.information, again.information);
  EXPECT_FALSE(host::PoolBlock(list).has_value());
  EXPECT_EQ(base + 1, host::ReferenceCount(pdo));
  ReleaseRelations(reinterpret_cast<PDEVICE_RELATIONS>(again.information));
  EXPECT_EQ(base, host::ReferenceCount(pdo));
}

TEST_F(PortPnpTest, NoMemoryForTheTargetRelationLeavesNoFreedList) {
  host::DeviceNode& node = Card8();
  PDEVICE_OBJECT pdo = PortNode(node, 1)->Pdo();
  const LONG base = host::ReferenceCount(pdo);
  auto* old = static_cast<PDEVICE_RELATIONS>(
      ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), SERHUB_TAG_DDK));
  old->Count = 1;
  old->Objects[0] = pdo;
  ObReferenceObject(pdo);

  host::FailPoolTag(SERHUB_TAG_DDK);
  host::PnpResult r = QueryRelations(pdo, TargetDeviceRelation, reinterpret_cast<ULONG_PTR>(old));
  host::ClearPoolFaults();
  EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, r.status);
  EXPECT_EQ(0u, r.information);
  EXPECT_FALSE(host::PoolBlock(old).has_value());
  EXPECT_EQ(base, host::ReferenceCount(pdo));

  host::FailPoolTag(SERHUB_TAG_DDK);
  r = QueryRelations(pdo, TargetDeviceRelation);
  host::ClearPoolFaults();
  EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, r.status);
  EXPECT_EQ(0u, r.information);
}

TEST_F(PortPnpTest, OtherRelationTypesKeepStatusAndInformation) {
  host::DeviceNode& node = Card8();
  PDEVICE_OBJECT pdo = PortNode(node, 7)->Pdo();
  const LONG base = host::ReferenceCount(pdo);
  ULONG_PTR marker = Marker();
  for (DEVICE_RELATION_TYPE type :
       {BusRelations, EjectionRelations, PowerRelations, RemovalRelations}) {
    host::PnpResult r = QueryRelations(pdo, type, marker);
    EXPECT_EQ(STATUS_NOT_SUPPORTED, r.status) << type;
    EXPECT_EQ(marker, r.information) << type;
    host::IrpResult s = SendFromAbove(pdo, IRP_MJ_PNP, IRP_MN_QUERY_DEVICE_RELATIONS,
                                             [type](PIO_STACK_LOCATION st) {
                                               st->Parameters.QueryDeviceRelations.Type = type;
                                             },
                                             STATUS_SUCCESS);
    EXPECT_EQ(STATUS_SUCCESS, s.iosb.Status) << type;
    EXPECT_EQ(0u, s.iosb.Information) << type;
  }
  EXPECT_EQ(base, host::ReferenceCount(pdo));
  EXPECT_TRUE(host::PoolBlock(reinterpret_cast<void*>(marker)).has_value());
  ExFreePool(reinterpret_cast<void*>(marker));
}

TEST_F(PortPnpTest, BusInformationIsTheSameForEveryPortOfEveryCard) {
  const GUID expected = {0xAF5B4200, 0x6D32, 0x11D3, {0xB8, 0x9C, 0x00, 0xC0, 0x4F, 0xAD, 0x51, 0x71}};
  host::DeviceNode& first = host::BringUpCard(host::CreateCard(CardModel::Ports2), 0, 4, 0);
  host::DeviceNode& second = host::BringUpCard(host::CreateCard(CardModel::Ports8), 3, 9, 2);
  size_t seen = 0;
  for (host::DeviceNode* card : {&first, &second}) {
    for (host::DeviceNode* port : card->Children()) {
      ASSERT_TRUE(port->busInformation.has_value()) << port->instanceId;
      EXPECT_EQ(0, std::memcmp(&expected, &port->busInformation->BusTypeGuid, sizeof(GUID)));
      EXPECT_EQ(PNPBus, port->busInformation->LegacyBusType);
      EXPECT_EQ(0u, port->busInformation->BusNumber);
      seen++;
    }
  }
  EXPECT_EQ(10u, seen);

  PDEVICE_OBJECT pdo = PortNode(second, 3)->Pdo();
  host::PnpResult r = host::SendPnpTo(pdo, IRP_MN_QUERY_BUS_INFORMATION);
  ASSERT_EQ(STATUS_SUCCESS, r.status);
  auto block = host::PoolBlock(reinterpret_cast<void*>(r.information));
  ASSERT_TRUE(block.has_value());
  EXPECT_EQ(sizeof(PNP_BUS_INFORMATION), block->size);
  EXPECT_EQ(SERHUB_TAG_ZBUS, block->tag);
  EXPECT_EQ(PagedPool, block->type);
  ExFreePool(reinterpret_cast<void*>(r.information));

  host::FailPoolTag(SERHUB_TAG_ZBUS);
  r = host::SendPnpTo(pdo, IRP_MN_QUERY_BUS_INFORMATION);
  host::ClearPoolFaults();
  EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, r.status);
  EXPECT_EQ(0u, r.information);
}

// ---------------------------------------------------------------------------
// Capabilities.

TEST_F(PortPnpTest, CapabilitiesEditTheFlagsAndTakeTheCardsPowerMapping) {
  host::Card& card = host::CreateCard(CardModel::Ports8);
  host::DeviceNode& node = host::BringUpCard(card);
  DEVICE_CAPABILITIES& parent = node.Pci()->Capabilities();
  const DEVICE_POWER_STATE mapping[PowerSystemMaximum] = {
      PowerDeviceUnspecified, PowerDeviceD0, PowerDeviceD1, PowerDeviceD2,
      PowerDeviceD3,          PowerDeviceD3, PowerDeviceD2};
  for (int s = 0; s < PowerSystemMaximum; s++) parent.DeviceState[s] = mapping[s];
  parent.SystemWake = PowerSystemSleeping2;
  parent.DeviceWake = PowerDeviceD1;
  parent.D1Latency = 11;
  parent.UINumber = 77;
  SetFlags(parent, 0xFFFFFFFF);
  PDEVICE_OBJECT pdo = PortNode(node, 5)->Pdo();

  const std::pair<ULONG, ULONG> flagCases[] = {
      {0x00000000, 0x00000040}, {0xFFFFFFFF, 0xFFFFBC43}, {0x0003FC03, 0x0003BC43}};
  for (const auto& [in, out] : flagCases) {
    SCOPED_TRACE("flags in " + std::to_string(in));
    DEVICE_CAPABILITIES caps = FreshCaps(in);
    const int before = node.Pci()->RequestCount(IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES);
    host::PnpResult r = QueryCaps(pdo, &caps);
    ASSERT_EQ(STATUS_SUCCESS, r.status);
    EXPECT_EQ(before + 1, node.Pci()->RequestCount(IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES));
    EXPECT_EQ(out, Flags(caps));
    EXPECT_EQ(sizeof(DEVICE_CAPABILITIES), caps.Size);
    EXPECT_EQ(1, caps.Version);
    EXPECT_EQ(0xFFFFFFFFu, caps.Address);
    EXPECT_EQ(5u, caps.UINumber);
    for (int s = 0; s < PowerSystemMaximum; s++) EXPECT_EQ(mapping[s], caps.DeviceState[s]) << s;
    EXPECT_EQ(PowerSystemSleeping2, caps.SystemWake);
    EXPECT_EQ(PowerDeviceD1, caps.DeviceWake);
    EXPECT_EQ(0u, caps.D1Latency);
    EXPECT_EQ(0u, caps.D2Latency);
    EXPECT_EQ(0u, caps.D3Latency);
  }

  DEVICE_CAPABILITIES caps = FreshCaps(0);
  caps.Address = 0x1234;
  ASSERT_EQ(STATUS_SUCCESS, QueryCaps(pdo, &caps).status);
  EXPECT_EQ(0x1234u, caps.Address);
  // What the Plug and Play manager received when it installed the port.
  ASSERT_TRUE(PortNode(node, 5)->capabilities.has_value());
  EXPECT_TRUE(PortNode(node, 5)->capabilities->UniqueID);
  EXPECT_EQ(5u, PortNode(node, 5)->capabilities->UINumber);
}

TEST_F(PortPnpTest, CapabilitiesOfVersionZeroAreRefusedUntouched) {
  host::DeviceNode& node = Card8();
  PDEVICE_OBJECT pdo = PortNode(node, 1)->Pdo();
  DEVICE_CAPABILITIES caps = FreshCaps(0xFFFFFFFF);
  caps.Version = 0;
  const DEVICE_CAPABILITIES original = caps;
  const int before = node.Pci()->RequestCount(IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES);
  host::PnpResult r = QueryCaps(pdo, &caps);
  EXPECT_EQ(STATUS_UNSUCCESSFUL, r.status);
  EXPECT_EQ(STATUS_UNSUCCESSFUL, r.returned);
  EXPECT_EQ(0, std::memcmp(&original, &caps, sizeof caps));
  EXPECT_EQ(before, node.Pci()->RequestCount(IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES));
}

TEST_F(PortPnpTest, CardStackFailureOrNoRequestLeavesCapabilitiesUntouched) {
  host::DeviceNode& node = Card8();
  PDEVICE_OBJECT pdo = PortNode(node, 2)->Pdo();
  DEVICE_CAPABILITIES caps = FreshCaps(0xFFFFFFFF);
  const DEVICE_CAPABILITIES original = caps;

  node.Pci()->FailRequests(IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES, STATUS_DEVICE_NOT_READY);
  host::PnpResult r = QueryCaps(pdo, &caps);
  EXPECT_EQ(STATUS_DEVICE_NOT_READY, r.status);
  EXPECT_EQ(0, std::memcmp(&original, &caps, sizeof caps));

  host::FailIrpAllocationNth(1);
  r = QueryCaps(pdo, &caps);
  EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, r.status);
  EXPECT_EQ(0, std::memcmp(&original, &caps, sizeof caps));
  host::FailIrpAllocationNth(0);
}

TEST_F(PortPnpTest, CardStackAnsweringLaterIsWaitedFor) {
  host::DeviceNode& node = Card8();
  PDEVICE_OBJECT pdo = PortNode(node, 3)->Pdo();
  node.Pci()->Capabilities().DeviceState[PowerSystemSleeping1] = PowerDeviceD2;
  node.Pci()->DeliverRequests(IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES, host::Delivery::FromThread, 1);
  DEVICE_CAPABILITIES caps = FreshCaps(0);
  host::PnpResult r = QueryCaps(pdo, &caps);
  EXPECT_EQ(STATUS_SUCCESS, r.status);
  EXPECT_EQ(PowerDeviceD2, caps.DeviceState[PowerSystemSleeping1]);
  EXPECT_EQ(3u, caps.UINumber);
  const auto log = node.Pci()->RequestLog();
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(IRP_MN_QUERY_CAPABILITIES, log.back().minor);
  EXPECT_TRUE(log.back().pended);
}

TEST_F(PortPnpTest, CardStackIsAskedWithAddressAndUINumberUnknown) {
  host::DeviceNode& node = Card8();
  PDEVICE_OBJECT pdo = PortNode(node, 2)->Pdo();
  std::vector<DEVICE_CAPABILITIES> asked;
  {
    // Seen at the top of the card's stack, before any driver there answers.
    testsupport::TestFilter filter(node.Fdo(), [&](PIRP, PIO_STACK_LOCATION s, NTSTATUS*) {
      if (s->MinorFunction == IRP_MN_QUERY_CAPABILITIES) {
        asked.push_back(*s->Parameters.DeviceCapabilities.Capabilities);
      }
      return false;
    });
    DEVICE_CAPABILITIES caps = FreshCaps(0);
    EXPECT_EQ(STATUS_SUCCESS, QueryCaps(pdo, &caps).status);
  }
  ASSERT_EQ(1u, asked.size());
  EXPECT_EQ(0xFFFFFFFFu, asked[0].Address);
  EXPECT_EQ(0xFFFFFFFFu, asked[0].UINumber);
  EXPECT_EQ(sizeof(DEVICE_CAPABILITIES), asked[0].Size);
  EXPECT_EQ(1, asked[0].Version);
  EXPECT_EQ(0u, Flags(asked[0]));
}

// ---------------------------------------------------------------------------
// States and removal.

TEST_F(PortPnpTest, StateTransitionsAndCancels) {
  host::DeviceNode& node = Card8();
  PDEVICE_OBJECT pdo = PortNode(node, 0)->Pdo();
  PPORT_EXTENSION port = PortOf(pdo);
  ASSERT_EQ(static_cast<ULONG>(Started), port->PnpState);
  const int pciRequests = node.Pci()->RequestCount(IRP_MJ_PNP);

  // A cancel without its query changes nothing.
  EXPECT_EQ(STATUS_SUCCESS, Send(pdo, IRP_MN_CANCEL_STOP_DEVICE));
  EXPECT_EQ(static_cast<ULONG>(Started), port->PnpState);
  EXPECT_EQ(STATUS_SUCCESS, Send(pdo, IRP_MN_CANCEL_REMOVE_DEVICE));
  EXPECT_EQ(static_cast<ULONG>(Started), port->PnpState);

  EXPECT_EQ(STATUS_SUCCESS, Send(pdo, IRP_MN_QUERY_STOP_DEVICE));
  EXPECT_EQ(static_cast<ULONG>(StopPending), port->PnpState);
  EXPECT_EQ(static_cast<ULONG>(Started), port->PreviousPnpState);
  EXPECT_EQ(STATUS_SUCCESS, Send(pdo, IRP_MN_CANCEL_REMOVE_DEVICE));  // not the matching cancel
  EXPECT_EQ(static_cast<ULONG>(StopPending), port->PnpState);
  EXPECT_EQ(STATUS_SUCCESS, Send(pdo, IRP_MN_CANCEL_STOP_DEVICE));
  EXPECT_EQ(static_cast<ULONG>(Started), port->PnpState);

  EXPECT_EQ(STATUS_SUCCESS, Send(pdo, IRP_MN_QUERY_REMOVE_DEVICE));
  EXPECT_EQ(static_cast<ULONG>(RemovePending), port->PnpState);
  EXPECT_EQ(STATUS_SUCCESS, Send(pdo, IRP_MN_CANCEL_STOP_DEVICE));
  EXPECT_EQ(static_cast<ULONG>(RemovePending), port->PnpState);
  EXPECT_EQ(STATUS_SUCCESS, Send(pdo, IRP_MN_CANCEL_REMOVE_DEVICE));
  EXPECT_EQ(static_cast<ULONG>(Started), port->PnpState);

  EXPECT_EQ(STATUS_SUCCESS, Send(pdo, IRP_MN_QUERY_STOP_DEVICE));
  EXPECT_EQ(STATUS_SUCCESS, Send(pdo, IRP_MN_STOP_DEVICE));
  EXPECT_EQ(static_cast<ULONG>(Stopped), port->PnpState);
  EXPECT_EQ(static_cast<ULONG>(StopPending), port->PreviousPnpState);

  port->DevicePowerState = PowerDeviceD3;
  EXPECT_EQ(STATUS_SUCCESS, Send(pdo, IRP_MN_START_DEVICE));
  EXPECT_EQ(static_cast<ULONG>(Started), port->PnpState);
  EXPECT_EQ(static_cast<ULONG>(Stopped), port->PreviousPnpState);
  EXPECT_EQ(PowerDeviceD0, port->DevicePowerState);

  // None of it went to the card.
  EXPECT_EQ(pciRequests, node.Pci()->RequestCount(IRP_MJ_PNP));
}

TEST_F(PortPnpTest, UsageNotificationsAreRefused) {
  host::DeviceNode& node = Card8();
  PDEVICE_OBJECT pdo = PortNode(node, 0)->Pdo();
  for (NTSTATUS initial : {STATUS_SUCCESS, STATUS_NOT_SUPPORTED}) {
    host::IrpResult r = SendFromAbove(pdo, IRP_MJ_PNP, IRP_MN_DEVICE_USAGE_NOTIFICATION,
                                             [](PIO_STACK_LOCATION s) {
                                               s->Parameters.UsageNotification.InPath = TRUE;
                                               s->Parameters.UsageNotification.Type =
                                                   DeviceUsageTypePaging;
                                             },
                                             initial);
    EXPECT_EQ(STATUS_NOT_IMPLEMENTED, r.iosb.Status);
    EXPECT_EQ(STATUS_NOT_IMPLEMENTED, r.returned);
  }
}

TEST_F(PortPnpTest, UnhandledMinorCodesKeepStatusAndInformation) {
  host::DeviceNode& node = Card8();
  PDEVICE_OBJECT pdo = PortNode(node, 5)->Pdo();
  const int pciRequests = node.Pci()->RequestCount(IRP_MJ_PNP);
  const ULONG before = PortOf(pdo)->PnpState;
  ULONG_PTR marker = Marker();
  const UCHAR minors[] = {IRP_MN_QUERY_INTERFACE,       IRP_MN_QUERY_RESOURCE_REQUIREMENTS,
                          IRP_MN_FILTER_RESOURCE_REQUIREMENTS, IRP_MN_READ_CONFIG,
                          IRP_MN_WRITE_CONFIG,          IRP_MN_EJECT,
                          IRP_MN_SET_LOCK,              IRP_MN_QUERY_PNP_DEVICE_STATE,
                          0x18};
  for (UCHAR minor : minors) {
    SCOPED_TRACE(host::PnpMinorName(minor));
    host::PnpResult r = host::SendPnpTo(pdo, minor, {}, marker);
    EXPECT_EQ(STATUS_NOT_SUPPORTED, r.status);
    EXPECT_EQ(marker, r.information);
    for (NTSTATUS initial : {STATUS_SUCCESS, static_cast<NTSTATUS>(0xC0000123)}) {
      host::IrpResult s = SendFromAbove(pdo, IRP_MJ_PNP, minor, {}, initial);
      EXPECT_EQ(initial, s.iosb.Status);
      EXPECT_EQ(initial, s.returned);
    }
  }
  EXPECT_EQ(before, PortOf(pdo)->PnpState);
  EXPECT_EQ(pciRequests, node.Pci()->RequestCount(IRP_MJ_PNP));
  EXPECT_EQ(0u, host::PoolOutstanding(SERHUB_TAG_DDK));
  ExFreePool(reinterpret_cast<void*>(marker));
}

TEST_F(PortPnpTest, ResourceQueryKeepsStatusAndInformation) {
  host::DeviceNode& node = Card8();
  PDEVICE_OBJECT pdo = PortNode(node, 5)->Pdo();
  EXPECT_EQ(STATUS_NOT_SUPPORTED, PortNode(node, 5)->queryResourcesStatus);
  EXPECT_FALSE(PortNode(node, 5)->bootResources.has_value());
  for (NTSTATUS initial : {STATUS_SUCCESS, STATUS_NOT_SUPPORTED}) {
    host::IrpResult r = SendFromAbove(pdo, IRP_MJ_PNP, IRP_MN_QUERY_RESOURCES, {}, initial);
    EXPECT_EQ(initial, r.iosb.Status);
    EXPECT_EQ(initial, r.returned);
    EXPECT_EQ(0u, r.iosb.Information);
  }
  ULONG_PTR marker = Marker();
  host::PnpResult r = host::SendPnpTo(pdo, IRP_MN_QUERY_RESOURCES, {}, marker);
  EXPECT_EQ(marker, r.information);
  ExFreePool(reinterpret_cast<void*>(marker));
}

// A port that is still on its card keeps its device through surprise
// removal and removal; the card's surprise removal lets the ports go.
TEST_F(PortPnpTest, RemovalKeepsAPortThatIsStillThere) {
  host::DeviceNode& node = Card8();
  PBUS_EXTENSION bus = BusOf(node);
  host::DeviceNode* port = PortNode(node, 3);
  PDEVICE_OBJECT pdo = port->Pdo();
  std::vector<PDEVICE_OBJECT> before(bus->Children, bus->Children + SERHUB_CHILD_SLOTS);

  ASSERT_EQ(STATUS_SUCCESS, host::SurpriseRemove(*port));
  ASSERT_TRUE(host::IsDeviceAlive(pdo));
  EXPECT_EQ(static_cast<ULONG>(SurpriseRemovePending), PortOf(pdo)->PnpState);
  EXPECT_EQ(static_cast<ULONG>(Started), PortOf(pdo)->PreviousPnpState);

  ASSERT_EQ(STATUS_SUCCESS, host::RemoveDevice(*port));
  ASSERT_TRUE(host::IsDeviceAlive(pdo));
  EXPECT_EQ(static_cast<ULONG>(NotStarted), PortOf(pdo)->PnpState);
  EXPECT_EQ(static_cast<ULONG>(SurpriseRemovePending), PortOf(pdo)->PreviousPnpState);
  for (ULONG i = 0; i < SERHUB_CHILD_SLOTS; i++) EXPECT_EQ(before[i], bus->Children[i]) << i;
  EXPECT_EQ(8u, node.Children().size());

  // The bus device's removal deletes the ports it still holds.
  ASSERT_EQ(STATUS_SUCCESS, host::QueryAndRemove(node));
  for (ULONG i = 0; i < 8; i++) EXPECT_FALSE(host::IsDeviceAlive(before[i])) << i;
}

TEST_F(PortPnpTest, SurpriseRemovalOfTheCardDeletesThePortsAtTheirRemoval) {
  host::DeviceNode& node = Card8();
  PBUS_EXTENSION bus = BusOf(node);
  std::vector<PDEVICE_OBJECT> ports(bus->Children, bus->Children + 8);
  ASSERT_EQ(STATUS_SUCCESS, host::SurpriseRemove(node));
  for (PDEVICE_OBJECT pdo : ports) {
    ASSERT_TRUE(host::IsDeviceAlive(pdo));
    EXPECT_EQ(static_cast<ULONG>(SurpriseRemovePending), PortOf(pdo)->PnpState);
  }
  // The first port's removal finds the bus surprise-removed: deleted at once.
  ASSERT_EQ(STATUS_SUCCESS, host::RemoveDevice(*PortNode(node, 0)));
  EXPECT_FALSE(host::IsDeviceAlive(ports[0]));
  EXPECT_EQ(nullptr, bus->Children[0]);
  EXPECT_EQ(ports[1], bus->Children[1]);
  ASSERT_EQ(STATUS_SUCCESS, host::RemoveDevice(node));
  for (PDEVICE_OBJECT pdo : ports) EXPECT_FALSE(host::IsDeviceAlive(pdo));
}

}  // namespace
}  // namespace porttest
