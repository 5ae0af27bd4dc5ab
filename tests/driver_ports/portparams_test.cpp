// The values every port device publishes in its Device Parameters key, the
// card's PORTS value, and the routine that writes them all.
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "ports_fixture.h"

namespace porttest {
namespace {

using host::CardModel;
using host::CardRange;

class PortParamsTest : public PortTest {
 protected:
  static std::vector<host::ZwSetValueCall> CallsFor(const std::string& path) {
    std::vector<host::ZwSetValueCall> out;
    for (auto& call : host::ZwSetValueLog()) {
      if (host::RegistryStore::NamesEqual(call.path, path)) out.push_back(call);
    }
    return out;
  }
  static ULONG DwordOf(const host::ZwSetValueCall& call) {
    ULONG value = 0;
    std::memcpy(&value, call.data.data(), std::min<size_t>(4, call.data.size()));
    return value;
  }
  static std::vector<ULONG> FieldsInOrder(PPORT_EXTENSION p) {
    return {p->BaseAddr,        p->IntcAddr,       p->ClockRate,         p->IntcIndex,
            p->PortType,        p->EchoAddr,       p->InterruptVector,   p->InterruptLevel,
            p->TrInterruptVector, p->TrInterruptLevel, p->InterruptAffinity};
  }
  static NTSTATUS QueryResources(PDEVICE_OBJECT pdo) {
    return host::SendPnpTo(pdo, IRP_MN_QUERY_RESOURCES).status;
  }
};

TEST_F(PortParamsTest, ElevenDwordsInTheirOrderUnderThePortsInstanceKey) {
  host::Card& card = host::CreateCard(CardModel::Ports8);
  host::DeviceNode& node = host::BringUpCard(card);
  host::DeviceNode* port = PortNode(node, 5);
  ASSERT_NE(nullptr, port);
  const std::string path = PortKeyPath("020D0105");
  EXPECT_EQ(path, port->DeviceParametersPath());
  host::ClearZwSetValueLog();

  EXPECT_EQ(STATUS_NOT_SUPPORTED, QueryResources(port->Pdo()));
  const auto calls = host::ZwSetValueLog();
  ASSERT_EQ(11u, calls.size());
  const std::vector<ULONG> fields = FieldsInOrder(PortOf(port));
  for (size_t i = 0; i < 11; i++) {
    SCOPED_TRACE(PortValueOrder()[i]);
    EXPECT_EQ(path, calls[i].path);
    EXPECT_EQ(PortValueOrder()[i], calls[i].name);  // exact name, no trailing NUL
    EXPECT_EQ(static_cast<ULONG>(REG_DWORD), calls[i].type);
    EXPECT_EQ(4u, calls[i].data.size());
    EXPECT_EQ(STATUS_SUCCESS, calls[i].status);
    EXPECT_EQ(fields[i], DwordOf(calls[i]));
  }
  // The key and its contents as the registry keeps them.
  auto& store = host::RegistryStore::Instance();
  const ULONG uart = static_cast<ULONG>(card.TranslatedStart(CardRange::Uart));
  const ULONG intc = static_cast<ULONG>(card.TranslatedStart(CardRange::Intc));
  const std::pair<const char*, ULONG> expected[] = {
      {"BASEADDR", uart + 40}, {"INTCADDR", intc}, {"INTCIDX", 5}, {"CLKRATE", 7372800},
      {"PORTTYPE", 0},         {"ECHOADDR", 0}};
  for (const auto& [name, value] : expected) {
    auto v = store.GetValue(path, name);
    ASSERT_TRUE(v.has_value()) << name;
    EXPECT_EQ(static_cast<uint32_t>(REG_DWORD), v->type) << name;
    EXPECT_EQ(4u, v->data.size()) << name;
    EXPECT_EQ(value, v->Dword()) << name;
  }
  EXPECT_EQ(0u, host::OpenKernelKeyCount());
  EXPECT_EQ(0u, host::PoolOutstanding(SERHUB_TAG_DDK));
}

TEST_F(PortParamsTest, EveryResourceQueryWritesTheValuesAgain) {
  host::DeviceNode& node = host::BringUpCard(host::CreateCard(CardModel::Ports4));
  PDEVICE_OBJECT pdo = PortNode(node, 2)->Pdo();
  const std::string path = PortKeyPath("020D0102");
  host::RegistryStore::Instance().SetDword(path, "CLKRATE", 1);
  host::ClearZwSetValueLog();
  EXPECT_EQ(STATUS_NOT_SUPPORTED, QueryResources(pdo));
  EXPECT_EQ(STATUS_NOT_SUPPORTED, QueryResources(pdo));
  const auto calls = CallsFor(path);
  ASSERT_EQ(22u, calls.size());
  for (size_t i = 0; i < 11; i++) {
    EXPECT_EQ(calls[i].name, calls[11 + i].name);
    EXPECT_EQ(calls[i].data, calls[11 + i].data);
  }
  EXPECT_EQ(7372800u, host::RegistryStore::Instance().GetValue(path, "CLKRATE")->Dword());
}

TEST_F(PortParamsTest, FailedThirdWriteDoesNotStopTheOthers) {
  host::DeviceNode& node = host::BringUpCard(host::CreateCard(CardModel::Ports4));
  PDEVICE_OBJECT pdo = PortNode(node, 1)->Pdo();
  const std::string path = PortKeyPath("020D0101");
  auto& store = host::RegistryStore::Instance();
  store.DeleteKey(path);
  store.CreateKey(path);
  host::ClearZwSetValueLog();

  host::FailSetValue("CLKRATE");
  EXPECT_EQ(STATUS_NOT_SUPPORTED, QueryResources(pdo));
  host::ClearIoFaults();
  const auto calls = CallsFor(path);
  ASSERT_EQ(11u, calls.size());
  for (size_t i = 0; i < 11; i++) {
    EXPECT_EQ(PortValueOrder()[i], calls[i].name);
    EXPECT_EQ(i == 2 ? STATUS_INSUFFICIENT_RESOURCES : STATUS_SUCCESS, calls[i].status) << i;
  }
  EXPECT_FALSE(store.GetValue(path, "CLKRATE").has_value());
  EXPECT_EQ(10u, store.ValueNames(path).size());
}

TEST_F(PortParamsTest, NoMemoryForOneNameSkipsOnlyThatValue) {
  host::DeviceNode& node = host::BringUpCard(host::CreateCard(CardModel::Ports4));
  PDEVICE_OBJECT pdo = PortNode(node, 3)->Pdo();
  const std::string path = PortKeyPath("020D0103");
  auto& store = host::RegistryStore::Instance();
  store.DeleteKey(path);
  store.CreateKey(path);
  host::ClearZwSetValueLog();

  host::FailPoolAllocationNth(3);  // the name buffer of CLKRATE
  EXPECT_EQ(STATUS_NOT_SUPPORTED, QueryResources(pdo));
  std::vector<std::string> names;
  for (auto& call : CallsFor(path)) names.push_back(call.name);
  std::vector<std::string> expected = PortValueOrder();
  expected.erase(expected.begin() + 2);
  EXPECT_EQ(expected, names);
  EXPECT_FALSE(store.GetValue(path, "CLKRATE").has_value());
  EXPECT_EQ(0u, host::PoolOutstanding(SERHUB_TAG_DDK));
}

TEST_F(PortParamsTest, KeyThatCannotBeOpenedWritesNothing) {
  host::DeviceNode& node = host::BringUpCard(host::CreateCard(CardModel::Ports4));
  PDEVICE_OBJECT pdo = PortNode(node, 0)->Pdo();
  host::ClearZwSetValueLog();
  host::FailIoCallNth(host::IoRoutine::OpenDeviceRegistryKey, 1, STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(STATUS_NOT_SUPPORTED, QueryResources(pdo));
  host::IrpResult r = SendFromAbove(pdo, IRP_MJ_PNP, IRP_MN_QUERY_RESOURCES, {}, STATUS_SUCCESS);
  EXPECT_EQ(STATUS_SUCCESS, r.iosb.Status);
  EXPECT_EQ(11u, host::ZwSetValueLog().size());  // only the second query wrote
  EXPECT_EQ(0u, host::OpenKernelKeyCount());
}

// What the serial port driver on each port read when it started, per model.
struct ReadingCase {
  CardModel model;
  ULONG ports;
  bool multiMode;
};

void PrintTo(const ReadingCase& c, std::ostream* os) {
  *os << c.ports << " ports" << (c.multiMode ? ", multi-mode" : "");
}

class SerialReadingTest : public PortParamsTest,
                          public ::testing::WithParamInterface<ReadingCase> {};

TEST_P(SerialReadingTest, SerialDriverFindsTheValuesOfItsPort) {
  const ReadingCase c = GetParam();
  host::Card& card = host::CreateCard(c.model);
  host::DeviceNode& node = host::BringUpCard(card, 0, 17, 0);
  ASSERT_EQ(c.ports, node.Children().size());
  const host::Card::InterruptInfo irq = card.Interrupt();
  for (ULONG i = 0; i < c.ports; i++) {
    SCOPED_TRACE("port " + std::to_string(i));
    host::DeviceNode* port = PortNode(node, i);
    ASSERT_NE(nullptr, port);
    auto reading = port->LastSerialReading();
    ASSERT_TRUE(reading.has_value());
    ASSERT_EQ(STATUS_SUCCESS, reading->openStatus);
    for (const auto& value : reading->values) {
      EXPECT_EQ(STATUS_SUCCESS, value.status) << value.name;
      EXPECT_EQ(static_cast<ULONG>(REG_DWORD), value.type) << value.name;
      EXPECT_EQ(4u, value.dataLength) << value.name;
    }
    const ExpectedPort e = ExpectedFor(card, c.ports, c.multiMode, i);
    EXPECT_EQ(e.baseAddr, reading->Dword("BASEADDR"));
    EXPECT_EQ(e.intcAddr, reading->Dword("INTCADDR"));
    EXPECT_EQ(e.intcIndex, reading->Dword("INTCIDX"));
    EXPECT_EQ(7372800u, reading->Dword("CLKRATE"));
    EXPECT_EQ(e.portType, reading->Dword("PORTTYPE"));
    EXPECT_EQ(e.echoAddr, reading->Dword("ECHOADDR"));
    EXPECT_EQ(irq.vector, reading->Dword("VECTOR"));
    EXPECT_EQ(irq.level, reading->Dword("LEVEL"));
    EXPECT_EQ(reading->Dword("VECTOR"), reading->Dword("TRVECTOR"));
    EXPECT_EQ(reading->Dword("LEVEL"), reading->Dword("TRLEVEL"));
    EXPECT_EQ(static_cast<ULONG>(irq.affinity), reading->Dword("AFFINITY"));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Models, SerialReadingTest,
    ::testing::Values(ReadingCase{CardModel::Ports2, 2, false},
                      ReadingCase{CardModel::Ports4, 4, false},
                      ReadingCase{CardModel::Ports4MultiMode, 4, true},
                      ReadingCase{CardModel::Ports16, 16, false},
                      ReadingCase{CardModel::Ports32, 32, false}),
    [](const ::testing::TestParamInfo<ReadingCase>& info) {
      return std::to_string(info.param.ports) + (info.param.multiMode ? "PortsMultiMode" : "Ports");
    });

TEST_F(PortParamsTest, SpotValuesNamedByTheRegistryContract) {
  host::Card& multi = host::CreateCard(CardModel::Ports4MultiMode);
  host::DeviceNode& multiNode = host::BringUpCard(multi, 1, 1, 0);
  const ULONG multiIntc = static_cast<ULONG>(multi.TranslatedStart(CardRange::Intc));
  for (host::DeviceNode* port : multiNode.Children()) {
    EXPECT_EQ(1u, port->LastSerialReading()->Dword("PORTTYPE"));
    EXPECT_EQ(multiIntc + 17, port->LastSerialReading()->Dword("ECHOADDR"));
  }
  host::Card& two = host::CreateCard(CardModel::Ports2);
  host::DeviceNode& twoNode = host::BringUpCard(two, 1, 2, 0);
  EXPECT_EQ(0u, PortNode(twoNode, 1)->LastSerialReading()->Dword("INTCADDR"));
  EXPECT_EQ(1u, PortNode(twoNode, 1)->LastSerialReading()->Dword("INTCIDX"));

  host::Card& big = host::CreateCard(CardModel::Ports32);
  host::DeviceNode& bigNode = host::BringUpCard(big, 1, 3, 0);
  const ULONG uart = static_cast<ULONG>(big.TranslatedStart(CardRange::Uart));
  auto r17 = PortNode(bigNode, 17)->LastSerialReading();
  EXPECT_EQ(uart + 136, r17->Dword("BASEADDR"));
  EXPECT_EQ(uart + 172, r17->Dword("INTCADDR"));
  EXPECT_EQ(1u, r17->Dword("INTCIDX"));

  host::Card& sixteen = host::CreateCard(CardModel::Ports16);
  host::DeviceNode& sixteenNode = host::BringUpCard(sixteen, 2, 3, 0);
  const ULONG uart16 = static_cast<ULONG>(sixteen.TranslatedStart(CardRange::Uart));
  const ULONG intc16 = static_cast<ULONG>(sixteen.TranslatedStart(CardRange::Intc));
  auto r9 = PortNode(sixteenNode, 9)->LastSerialReading();
  EXPECT_EQ(uart16 + 72, r9->Dword("BASEADDR"));
  EXPECT_EQ(intc16 + 1, r9->Dword("INTCADDR"));
  EXPECT_EQ(1u, r9->Dword("INTCIDX"));
  // Port 10 of the card at bus 2, device 3, function 0 lives under 0203000A.
  auto v = host::RegistryStore::Instance().GetValue(PortKeyPath("0203000A"), "BASEADDR");
  ASSERT_TRUE(v.has_value());
  EXPECT_EQ(uart16 + 80, v->Dword());
}

// ---------------------------------------------------------------------------
// PORTS in the card's key.

TEST_F(PortParamsTest, PortsHoldsTheModelsCountEvenWithModulesMissing) {
  host::CardSetup setup = host::SetupFor(CardModel::Ports32);
  setup.modules = {true, false, false, false};
  host::Card& card = host::CreateCard(setup);
  host::DeviceNode& node = host::BringUpCard(card, 0, 17, 0);
  ASSERT_EQ(8u, node.Children().size());
  auto ports = host::RegistryStore::Instance().GetValue(node.DeviceParametersPath(), "PORTS");
  ASSERT_TRUE(ports.has_value());
  EXPECT_EQ(static_cast<uint32_t>(REG_DWORD), ports->type);
  EXPECT_EQ(4u, ports->data.size());
  EXPECT_EQ(32u, ports->Dword());
  auto& store = host::RegistryStore::Instance();
  EXPECT_TRUE(store.GetValue(PortKeyPath("00110007"), "BASEADDR").has_value());
  EXPECT_FALSE(store.KeyExists(PortKeyPath("00110008")));
}

TEST_F(PortParamsTest, UnrecognisedCardPublishesZeroPorts) {
  host::CardSetup setup = host::SetupFor(CardModel::Ports8);
  setup.subsystem = 0x12345678;
  host::Card& card = host::CreateCard(setup);
  host::DeviceNode& node = host::BringUpCard(card);
  EXPECT_EQ(STATUS_DEVICE_CONFIGURATION_ERROR, node.startStatus);
  auto ports = host::RegistryStore::Instance().GetValue(node.DeviceParametersPath(), "PORTS");
  ASSERT_TRUE(ports.has_value());
  EXPECT_EQ(static_cast<uint32_t>(REG_DWORD), ports->type);
  EXPECT_EQ(4u, ports->data.size());
  EXPECT_EQ(0u, ports->Dword());
}

// ---------------------------------------------------------------------------
// WriteRegistryValue itself.

TEST_F(PortParamsTest, WriteRegistryValueNamesTheValueExactly) {
  const std::string path = "SYSTEM\\CurrentControlSet\\Enum\\Test\\Key";
  auto& store = host::RegistryStore::Instance();
  store.CreateKey(path);
  HANDLE key = host::OpenKernelKey(path, STANDARD_RIGHTS_WRITE);
  ASSERT_NE(nullptr, key);
  ULONG value = 0xA1B2C3D4;
  EXPECT_EQ(STATUS_SUCCESS,
            WriteRegistryValue(key, SERHUB_WIDE("PORTS"), 12, REG_DWORD, &value, sizeof value));
  auto v = store.GetValue(path, "PORTS");
  ASSERT_TRUE(v.has_value());
  EXPECT_EQ("PORTS", v->name);
  EXPECT_EQ(std::vector<uint8_t>({0xD4, 0xC3, 0xB2, 0xA1}), v->data);
  EXPECT_EQ(0u, host::PoolOutstanding(SERHUB_TAG_DDK));

  // No memory for the name: nothing reaches the registry.
  host::ClearZwSetValueLog();
  host::FailPoolAllocationNth(1);
  EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES,
            WriteRegistryValue(key, SERHUB_WIDE("OTHER"), 12, REG_DWORD, &value, sizeof value));
  EXPECT_TRUE(host::ZwSetValueLog().empty());

  // The registry's own failure is handed back.
  host::FailIoCallNth(host::IoRoutine::SetValueKey, 1, STATUS_ACCESS_DENIED);
  EXPECT_EQ(STATUS_ACCESS_DENIED,
            WriteRegistryValue(key, SERHUB_WIDE("OTHER"), 12, REG_DWORD, &value, sizeof value));
  EXPECT_FALSE(store.GetValue(path, "OTHER").has_value());
  EXPECT_EQ(0u, host::PoolOutstanding(SERHUB_TAG_DDK));
  ZwClose(key);
}

}  // namespace
}  // namespace porttest
