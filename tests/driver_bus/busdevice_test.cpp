// AddDevice, the card's PCI location, and the outstanding-request counter.
#include <cctype>
#include <ostream>

#include "bus_fixture.h"

namespace bustest {
namespace {

using BusDeviceTest = BusTest;

std::string Lower(const std::u16string& text) {
  std::string out;
  for (char16_t c : text) out += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

// Nothing of the driver's is left on the PDO: no device object, no
// attachment, no pool. (The Plug and Play manager may have unloaded the
// driver after a failed AddDevice.)
void ExpectNothingLeft(PDEVICE_OBJECT pdo) {
  PDRIVER_OBJECT driver = host::LoadedDriver("serhub");
  if (driver != nullptr) {
    EXPECT_EQ(nullptr, driver->DeviceObject);
  }
  EXPECT_EQ(nullptr, pdo->AttachedDevice);
  EXPECT_EQ(0u, host::PoolOutstanding(SERHUB_TAG_DDK));
  EXPECT_EQ(0u, host::PoolOutstanding(host::kRtlStringTag)) << "interface name not freed";
}

TEST_F(BusDeviceTest, AddDeviceBuildsTheBusDevice) {
  host::Card& card = host::CreateCard(host::CardModel::Ports8);
  host::DeviceNode& node = host::PlugCard(card, 2, 13, 1);
  ASSERT_EQ(STATUS_SUCCESS, node.addStatus);
  PDEVICE_OBJECT fdo = node.Fdo();
  ASSERT_NE(nullptr, fdo);
  PBUS_EXTENSION bus = BusOf(fdo);

  EXPECT_EQ(static_cast<DEVICE_TYPE>(FILE_DEVICE_BUS_EXTENDER), fdo->DeviceType);
  EXPECT_NE(0u, fdo->Characteristics & FILE_DEVICE_SECURE_OPEN);
  EXPECT_EQ(0u, fdo->Flags & DO_DEVICE_INITIALIZING);
  EXPECT_NE(0u, fdo->Flags & DO_POWER_PAGABLE);

  EXPECT_EQ(fdo, bus->Self);
  EXPECT_TRUE(bus->IsBus);
  EXPECT_EQ(static_cast<ULONG>(NotStarted), bus->PnpState);
  EXPECT_EQ(static_cast<ULONG>(NotStarted), bus->PreviousPnpState);
  EXPECT_EQ(PowerSystemWorking, bus->SystemPowerState);
  EXPECT_EQ(PowerDeviceD0, bus->DevicePowerState);
  EXPECT_EQ(node.Pdo(), bus->UnderlyingPdo);
  EXPECT_EQ(node.Pdo(), bus->NextLowerDriver);
  EXPECT_EQ(node.Pdo(), host::AttachedTo(fdo));
  EXPECT_EQ(1, bus->OutstandingIo);
  EXPECT_EQ(1, KeReadStateEvent(&bus->StopEvent));
  EXPECT_EQ(0, KeReadStateEvent(&bus->RemoveEvent));
  EXPECT_EQ(0x269u, bus->Location);
  EXPECT_EQ(0u, bus->PortCount);
  for (PDEVICE_OBJECT child : bus->Children) EXPECT_EQ(nullptr, child);

  // The card's interface is registered on the PDO but not yet enabled.
  auto interfaces = host::RegisteredInterfaces(node.Pdo());
  ASSERT_EQ(1u, interfaces.size());
  std::u16string name(bus->InterfaceName.Buffer, bus->InterfaceName.Length / sizeof(WCHAR));
  EXPECT_EQ(interfaces[0], name);
  EXPECT_NE(std::string::npos, Lower(name).find("{af5b4200-6d32-11d3-b89c-00c04fad5171}"));
  EXPECT_FALSE(host::IsInterfaceEnabled(name));

  // The power manager is told the device is in D0.
  bool toldD0 = false;
  for (const auto& call : host::PoSetPowerStateLog()) {
    if (call.device == fdo && call.type == DevicePowerState &&
        call.state.DeviceState == PowerDeviceD0) {
      toldD0 = true;
    }
  }
  EXPECT_TRUE(toldD0);
}

TEST_F(BusDeviceTest, InterfaceGuidValue) {
  EXPECT_EQ(0xAF5B4200u, GUID_SERIAL_CARD_BUS.Data1);
  EXPECT_EQ(0x6D32, GUID_SERIAL_CARD_BUS.Data2);
  EXPECT_EQ(0x11D3, GUID_SERIAL_CARD_BUS.Data3);
  const UCHAR tail[8] = {0xB8, 0x9C, 0x00, 0xC0, 0x4F, 0xAD, 0x51, 0x71};
  EXPECT_EQ(0, std::memcmp(tail, GUID_SERIAL_CARD_BUS.Data4, 8));
}

// ---------------------------------------------------------------------------
// Location text.

struct LocationCase {
  const char* text;
  ULONG location;
};

void PrintTo(const LocationCase& c, std::ostream* os) {
  *os << '"' << c.text << "\" -> 0x" << std::hex << c.location;
}

class LocationTest : public BusTest, public ::testing::WithParamInterface<LocationCase> {};

TEST_P(LocationTest, FirstThreeNumbersGiveTheLocation) {
  host::Card& card = host::CreateCard(host::CardModel::Ports8);
  host::PlugOptions options;
  options.locationText = GetParam().text;
  host::DeviceNode& node = host::PlugCard(card, 2, 13, 1, options);
  ASSERT_EQ(STATUS_SUCCESS, node.addStatus);
  EXPECT_EQ(GetParam().location, BusOf(node)->Location);
  EXPECT_EQ(0u, host::PoolOutstanding(SERHUB_TAG_DDK));
}

INSTANTIATE_TEST_SUITE_P(
    Texts, LocationTest,
    ::testing::Values(LocationCase{"PCI bus 2, device 13, function 1", 0x269},
                      LocationCase{"PCI bus 0, device 15, function 0", 0x78},
                      LocationCase{"x12y34z56", 0xD38},
                      LocationCase{"002,013,001", 0x269},
                      LocationCase{"bus 1, device 2, function 3, slot 9", 0x113},
                      LocationCase{"bus 300, device 40, function 9", 0x12D49},
                      LocationCase{"PCI bus 2, device 13", 0},
                      LocationCase{"slot 7", 0}));

TEST_F(BusDeviceTest, TextWithoutDigitsFailsAndUndoesEverything) {
  host::Card& card = host::CreateCard(host::CardModel::Ports8);
  host::PlugOptions options;
  options.locationText = "PCI bus, device, function";
  host::DeviceNode& node = host::PlugCard(card, 2, 13, 1, options);
  EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, node.addStatus);
  ExpectNothingLeft(node.Pdo());
}

// Plugs the card without AddDevice and gives the location value raw bytes.
host::DeviceNode& PlugWithRawLocation(host::Card& card, const std::u16string& text,
                                      bool withNul) {
  host::PlugOptions options;
  options.addDevice = false;
  host::DeviceNode& node = host::PlugCard(card, 2, 13, 1, options);
  size_t bytes = (text.size() + (withNul ? 1 : 0)) * sizeof(char16_t);
  EXPECT_TRUE(host::RegistryStore::Instance().SetValue(node.KeyPath(), "LocationInformation",
                                                       REG_SZ, text.c_str(), bytes));
  return node;
}

// Takes down a bus device that AddDevice made outside the Plug and Play
// manager's bookkeeping.
void RemoveDirect(PDEVICE_OBJECT fdo) {
  host::PnpResult result = host::SendPnpTo(fdo, IRP_MN_REMOVE_DEVICE);
  EXPECT_EQ(STATUS_SUCCESS, result.status);
}

TEST_F(BusDeviceTest, EmptyPropertyFails) {
  host::Card& card = host::CreateCard(host::CardModel::Ports8);
  host::DeviceNode& node = PlugWithRawLocation(card, u"", false);
  EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, AddDevice(driver_, node.Pdo()));
  ExpectNothingLeft(node.Pdo());
}

TEST_F(BusDeviceTest, MissingPropertyFails) {
  host::Card& card = host::CreateCard(host::CardModel::Ports8);
  host::PlugOptions options;
  options.addDevice = false;
  host::DeviceNode& node = host::PlugCard(card, 2, 13, 1, options);
  host::RegistryStore::Instance().DeleteValue(node.KeyPath(), "LocationInformation");
  EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, AddDevice(driver_, node.Pdo()));
  ExpectNothingLeft(node.Pdo());
}

TEST_F(BusDeviceTest, FailedSecondQueryEndsWithItsStatus) {
  host::Card& card = host::CreateCard(host::CardModel::Ports8);
  host::PlugOptions options;
  options.addDevice = false;
  host::DeviceNode& node = host::PlugCard(card, 2, 13, 1, options);
  host::FailIoCallNth(host::IoRoutine::GetDeviceProperty, 2, STATUS_ACCESS_DENIED);
  EXPECT_EQ(STATUS_ACCESS_DENIED, AddDevice(driver_, node.Pdo()));
  ExpectNothingLeft(node.Pdo());
}

TEST_F(BusDeviceTest, NoPoolForTheLocationBuffer) {
  host::Card& card = host::CreateCard(host::CardModel::Ports8);
  host::PlugOptions options;
  options.addDevice = false;
  host::DeviceNode& node = host::PlugCard(card, 2, 13, 1, options);
  host::FailPoolTag(SERHUB_TAG_DDK);
  EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, AddDevice(driver_, node.Pdo()));
  host::ClearPoolFaults();
  ExpectNothingLeft(node.Pdo());
}

TEST_F(BusDeviceTest, DeviceCreationFailureRegistersNothing) {
  host::Card& card = host::CreateCard(host::CardModel::Ports8);
  host::PlugOptions options;
  options.addDevice = false;
  host::DeviceNode& node = host::PlugCard(card, 2, 13, 1, options);
  host::FailDeviceCreationNth(1);
  EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, AddDevice(driver_, node.Pdo()));
  EXPECT_TRUE(host::RegisteredInterfaces(node.Pdo()).empty());
  EXPECT_TRUE(LocationQueryLengths().empty());
  ExpectNothingLeft(node.Pdo());
}

TEST_F(BusDeviceTest, InterfaceRegistrationFailureDeletesTheDevice) {
  host::Card& card = host::CreateCard(host::CardModel::Ports8);
  host::PlugOptions options;
  options.addDevice = false;
  host::DeviceNode& node = host::PlugCard(card, 2, 13, 1, options);
  host::FailIoCallNth(host::IoRoutine::RegisterDeviceInterface, 1, STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(STATUS_OBJECT_NAME_COLLISION, AddDevice(driver_, node.Pdo()));
  EXPECT_TRUE(LocationQueryLengths().empty());
  ExpectNothingLeft(node.Pdo());
}

TEST_F(BusDeviceTest, AttachFailureGivesNoSuchDeviceAndFreesTheInterfaceName) {
  // A PDO of a test bus driver whose stack is being torn down: the PDO has
  // been deleted while a device is still attached above it, so the stack
  // takes no new devices. Its device node is given back so that the
  // interface can still be registered.
  const std::string path = "PCI\\VEN_7A5E&DEV_0C40\\teardown";
  PDRIVER_OBJECT busDriver = host::CreateDriverObject(u"testbus");
  PDEVICE_OBJECT pdo = nullptr;
  PDEVICE_OBJECT upper = nullptr;
  ASSERT_EQ(STATUS_SUCCESS,
            IoCreateDevice(busDriver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &pdo));
  ASSERT_EQ(STATUS_SUCCESS,
            IoCreateDevice(busDriver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &upper));
  pdo->Flags &= ~DO_DEVICE_INITIALIZING;
  upper->Flags &= ~DO_DEVICE_INITIALIZING;
  ASSERT_EQ(pdo, IoAttachDeviceToDeviceStack(upper, pdo));
  IoDeleteDevice(pdo);
  host::SetDeviceInstancePath(pdo, path);
  host::RegistryStore::Instance().SetString("SYSTEM\\CurrentControlSet\\Enum\\" + path,
                                            "LocationInformation",
                                            "PCI bus 1, device 2, function 3");

  EXPECT_EQ(STATUS_NO_SUCH_DEVICE, AddDevice(driver_, pdo));
  // The platform never offers such a PDO; the attach is a finding of its own.
  ASSERT_EQ(1u, host::VerifierFailures().size());
  EXPECT_NE(std::string::npos, host::VerifierFailures()[0].find("being deleted"));
  host::ClearVerifierFailures();
  EXPECT_EQ(nullptr, driver_->DeviceObject);
  EXPECT_EQ(upper, pdo->AttachedDevice);
  EXPECT_EQ(1u, host::RegisteredInterfaces(pdo).size());
  EXPECT_EQ(0u, host::PoolOutstanding(host::kRtlStringTag)) << "interface name not freed";
  EXPECT_TRUE(LocationQueryLengths().empty());

  host::RemoveDeviceNode(pdo);
  IoDetachDevice(pdo);
  IoDeleteDevice(upper);
  host::DeleteDriverObject(busDriver);
}

// The scan reads only the characters the property query filled: the rest of
// the doubled buffer is filled with digits here, which must not count.
TEST_F(BusDeviceTest, ScanNeverReadsPastTheTextWithTerminator) {
  host::Card& card = host::CreateCard(host::CardModel::Ports8);
  host::DeviceNode& node = PlugWithRawLocation(card, u"PCI bus 2, device 13", true);
  SetFillBeyondLocation(true);
  ASSERT_EQ(STATUS_SUCCESS, AddDevice(driver_, node.Pdo()));
  SetFillBeyondLocation(false);
  PDEVICE_OBJECT fdo = node.Pdo()->AttachedDevice;
  ASSERT_NE(nullptr, fdo);
  EXPECT_EQ(0u, BusOf(fdo)->Location);
  // First the size, then the property with exactly that size.
  const ULONG size = (20 + 1) * sizeof(char16_t);
  EXPECT_EQ((std::vector<ULONG>{0, size}), LocationQueryLengths());
  EXPECT_EQ(0u, host::PoolOutstanding(SERHUB_TAG_DDK));
  RemoveDirect(fdo);
}

TEST_F(BusDeviceTest, NumberEndingTheTextWithoutTerminatorStopsThere) {
  host::Card& card = host::CreateCard(host::CardModel::Ports8);
  host::DeviceNode& node = PlugWithRawLocation(card, u"2,13,1", false);
  SetFillBeyondLocation(true);
  ASSERT_EQ(STATUS_SUCCESS, AddDevice(driver_, node.Pdo()));
  SetFillBeyondLocation(false);
  PDEVICE_OBJECT fdo = node.Pdo()->AttachedDevice;
  ASSERT_NE(nullptr, fdo);
  // 1, not 17777...: the function number ends with the text. The pool's
  // guard bytes show that the terminator went inside the buffer.
  EXPECT_EQ(0x269u, BusOf(fdo)->Location);
  RemoveDirect(fdo);
}

TEST_F(BusDeviceTest, TwoNumbersWithoutTerminatorLeaveLocationZero) {
  host::Card& card = host::CreateCard(host::CardModel::Ports8);
  host::DeviceNode& node = PlugWithRawLocation(card, u"2,13", false);
  SetFillBeyondLocation(true);
  ASSERT_EQ(STATUS_SUCCESS, AddDevice(driver_, node.Pdo()));
  SetFillBeyondLocation(false);
  PDEVICE_OBJECT fdo = node.Pdo()->AttachedDevice;
  ASSERT_NE(nullptr, fdo);
  EXPECT_EQ(0u, BusOf(fdo)->Location);
  RemoveDirect(fdo);
}

TEST_F(BusDeviceTest, OddSizedPropertyIsScannedByWholeCharacters) {
  host::Card& card = host::CreateCard(host::CardModel::Ports8);
  host::PlugOptions options;
  options.addDevice = false;
  host::DeviceNode& node = host::PlugCard(card, 2, 13, 1, options);
  // "4 5 6" plus one stray byte: the stray byte is no character.
  const char16_t text[] = u"4 5 6";
  std::vector<uint8_t> data(reinterpret_cast<const uint8_t*>(text),
                            reinterpret_cast<const uint8_t*>(text) + 5 * sizeof(char16_t));
  data.push_back('9');
  ASSERT_TRUE(host::RegistryStore::Instance().SetValue(node.KeyPath(), "LocationInformation",
                                                       REG_SZ, data.data(), data.size()));
  ASSERT_EQ(STATUS_SUCCESS, AddDevice(driver_, node.Pdo()));
  PDEVICE_OBJECT fdo = node.Pdo()->AttachedDevice;
  ASSERT_NE(nullptr, fdo);
  EXPECT_EQ((4u << 8) | (5u << 3) | 6u, BusOf(fdo)->Location);
  RemoveDirect(fdo);
}

// ---------------------------------------------------------------------------
// The counter and its events.

TEST_F(BusDeviceTest, CounterDrivesStopEventAndRemoveEvent) {
  host::Card& card = host::CreateCard(host::CardModel::Ports8);
  host::DeviceNode& node = host::PlugCard(card, 2, 13, 1);
  PBUS_EXTENSION bus = BusOf(node);

  IncrementOutstandingIo(bus);  // 1 -> 2: a request is inside
  EXPECT_EQ(2, bus->OutstandingIo);
  EXPECT_EQ(0, KeReadStateEvent(&bus->StopEvent));
  IncrementOutstandingIo(bus);  // 2 -> 3
  DecrementOutstandingIo(bus);  // 3 -> 2: still one inside
  EXPECT_EQ(0, KeReadStateEvent(&bus->StopEvent));
  DecrementOutstandingIo(bus);  // 2 -> 1
  EXPECT_EQ(1, bus->OutstandingIo);
  EXPECT_EQ(1, KeReadStateEvent(&bus->StopEvent));
  EXPECT_EQ(0, KeReadStateEvent(&bus->RemoveEvent));

  IncrementOutstandingIo(bus);  // 1 -> 2
  DecrementOutstandingIo(bus);  // 2 -> 1: StopEvent
  KeClearEvent(&bus->StopEvent);
  DecrementOutstandingIo(bus);  // 1 -> 0: RemoveEvent, not StopEvent
  EXPECT_EQ(0, bus->OutstandingIo);
  EXPECT_EQ(0, KeReadStateEvent(&bus->StopEvent));
  EXPECT_EQ(1, KeReadStateEvent(&bus->RemoveEvent));
  // From 0 no count is taken any more: the device is being removed.
  EXPECT_FALSE(IncrementOutstandingIo(bus));
  EXPECT_EQ(0, bus->OutstandingIo);

  // Back to the state between requests for the removal at the end.
  bus->OutstandingIo = 1;
  KeClearEvent(&bus->RemoveEvent);
  KeSetEvent(&bus->StopEvent, IO_NO_INCREMENT, FALSE);
}

TEST_F(BusDeviceTest, CounterWorksAtDispatchLevel) {
  host::Card& card = host::CreateCard(host::CardModel::Ports8);
  host::DeviceNode& node = host::PlugCard(card, 2, 13, 1);
  PBUS_EXTENSION bus = BusOf(node);
  host::RunAtIrql(DISPATCH_LEVEL, [bus] {
    IncrementOutstandingIo(bus);
    DecrementOutstandingIo(bus);
  });
  EXPECT_EQ(1, bus->OutstandingIo);
  EXPECT_EQ(1, KeReadStateEvent(&bus->StopEvent));
}

}  // namespace
}  // namespace bustest
