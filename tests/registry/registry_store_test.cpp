// The registry store shared by the kernel and Win32 stand-ins: the property
// page reads what the driver wrote only if names, paths, types and bytes
// survive exactly.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "registry.h"

namespace {

const char kPortKey[] = "SYSTEM\\CurrentControlSet\\Enum\\PCIMULTI\\PCI_SER\\020D0105\\Device Parameters";

class RegistryStoreTest : public ::testing::Test {
 protected:
  void SetUp() override { store().Reset(); }
  void TearDown() override { store().Reset(); }
  host::RegistryStore& store() { return host::RegistryStore::Instance(); }
};

TEST_F(RegistryStoreTest, KeysAndValueNamesCompareWithoutCase) {
  ASSERT_TRUE(store().CreateKey(kPortKey));
  EXPECT_FALSE(store().CreateKey("system\\currentcontrolset\\enum\\pcimulti\\pci_ser\\020d0105\\device parameters"));
  ASSERT_TRUE(store().SetDword(kPortKey, "PORTS", 8));
  auto v = store().GetValue(kPortKey, "Ports");
  ASSERT_TRUE(v.has_value());
  EXPECT_EQ(v->name, "PORTS");  // the case of the first write is kept
  EXPECT_EQ(v->type, 4u);
  EXPECT_EQ(v->Dword(), 8u);
  // Rewriting under another case replaces, it does not add a second value.
  ASSERT_TRUE(store().SetDword(kPortKey, "ports", 16));
  EXPECT_EQ(store().ValueNames(kPortKey).size(), 1u);
  EXPECT_EQ(store().GetValue(kPortKey, "PORTS")->Dword(), 16u);
}

TEST_F(RegistryStoreTest, CreatingAKeyCreatesEveryKeyAboveIt) {
  store().CreateKey(kPortKey);
  EXPECT_TRUE(store().KeyExists("SYSTEM\\CurrentControlSet\\Enum\\PCIMULTI"));
  auto subkeys = store().SubKeys("SYSTEM\\CurrentControlSet\\Enum\\PCIMULTI\\PCI_SER");
  ASSERT_EQ(subkeys.size(), 1u);
  EXPECT_EQ(subkeys[0], "020D0105");
}

TEST_F(RegistryStoreTest, ValueInMissingKeyIsRefused) {
  EXPECT_FALSE(store().SetDword(kPortKey, "BASEADDR", 0x300));
  EXPECT_FALSE(store().KeyExists(kPortKey));
  EXPECT_TRUE(store().WriteLog().empty());
}

TEST_F(RegistryStoreTest, DataIsKeptByteForByte) {
  store().CreateKey(kPortKey);
  const unsigned char odd[3] = {0x01, 0x00, 0xFE};
  ASSERT_TRUE(store().SetValue(kPortKey, "RAW", 3, odd, sizeof odd));
  auto v = store().GetValue(kPortKey, "RAW");
  ASSERT_TRUE(v);
  EXPECT_EQ(v->data, std::vector<uint8_t>({0x01, 0x00, 0xFE}));
  // A short value reads as a little-endian number of what is there.
  EXPECT_EQ(v->Dword(), 0xFE0001u);
}

TEST_F(RegistryStoreTest, StringsAreStoredAsUtf16WithTheirNul) {
  store().CreateKey(kPortKey);
  ASSERT_TRUE(store().SetString(kPortKey, "PORTNAME", "COM12"));
  auto v = store().GetValue(kPortKey, "PORTNAME");
  ASSERT_TRUE(v);
  EXPECT_EQ(v->type, 1u);
  EXPECT_EQ(v->data, std::vector<uint8_t>({'C', 0, 'O', 0, 'M', 0, '1', 0, '2', 0, 0, 0}));
  EXPECT_EQ(store().GetString(kPortKey, "portname").value(), "COM12");
}

TEST_F(RegistryStoreTest, WriteLogKeepsTheOrderOfWrites) {
  store().CreateKey(kPortKey);
  store().SetDword(kPortKey, "BASEADDR", 1);
  store().SetDword(kPortKey, "INTCADDR", 2);
  store().SetDword(kPortKey, "BASEADDR", 3);
  auto log = store().WriteLog();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[0].value.name, "BASEADDR");
  EXPECT_EQ(log[1].value.name, "INTCADDR");
  EXPECT_EQ(log[2].value.Dword(), 3u);
  // Creation order of the names is unchanged by the rewrite.
  EXPECT_EQ(store().ValueNames(kPortKey), std::vector<std::string>({"BASEADDR", "INTCADDR"}));
}

TEST_F(RegistryStoreTest, InjectedWriteFaultChangesNothing) {
  store().CreateKey(kPortKey);
  store().SetDword(kPortKey, "CLKRATE", 1);
  store().SetWriteFault([](const std::string&, const std::string& name) {
    return host::RegistryStore::NamesEqual(name, "CLKRATE");
  });
  EXPECT_FALSE(store().SetDword(kPortKey, "CLKRATE", 7372800));
  EXPECT_TRUE(store().SetDword(kPortKey, "INTCIDX", 5));
  EXPECT_EQ(store().GetValue(kPortKey, "CLKRATE")->Dword(), 1u);
  store().SetWriteFault(nullptr);
  EXPECT_TRUE(store().SetDword(kPortKey, "CLKRATE", 7372800));
}

TEST_F(RegistryStoreTest, DeletingAKeyTakesItsSubkeysAndValues) {
  store().CreateKey(kPortKey);
  store().SetDword(kPortKey, "PORTMODE", 2);
  ASSERT_TRUE(store().DeleteKey("SYSTEM\\CurrentControlSet\\Enum\\PCIMULTI\\PCI_SER\\020D0105"));
  EXPECT_FALSE(store().KeyExists(kPortKey));
  EXPECT_FALSE(store().GetValue(kPortKey, "PORTMODE"));
  EXPECT_FALSE(store().DeleteKey("SYSTEM\\CurrentControlSet\\Enum\\PCIMULTI\\PCI_SER\\020D0105"));
  EXPECT_TRUE(store().KeyExists("SYSTEM\\CurrentControlSet\\Enum\\PCIMULTI\\PCI_SER"));
}

// Past a handful of siblings keys and values are found through an index;
// removals leave holes that must neither show in listings nor break lookups.
TEST_F(RegistryStoreTest, ManySiblingsKeepOrderAndCaseThroughRemovals) {
  const std::string parent = "SYSTEM\\CurrentControlSet\\Control\\Class\\Ports";
  std::vector<std::string> kept;
  for (int i = 0; i < 40; ++i) {
    char name[8];
    std::snprintf(name, sizeof name, "%04d", i);
    ASSERT_TRUE(store().CreateKey(parent + "\\Sub" + name));
    ASSERT_TRUE(store().SetDword(parent, std::string("Val") + name, i));
    if (i % 3 == 2) kept.push_back(std::string("Sub") + name);
  }
  for (int i = 0; i < 40; ++i) {
    if (i % 3 == 2) continue;
    char name[8];
    std::snprintf(name, sizeof name, "%04d", i);
    ASSERT_TRUE(store().DeleteKey(parent + "\\SUB" + name));
    ASSERT_TRUE(store().DeleteValue(parent, std::string("VAL") + name));
  }
  EXPECT_EQ(store().SubKeys(parent), kept);
  EXPECT_EQ(store().ValueNames(parent).size(), kept.size());
  EXPECT_TRUE(store().KeyExists(parent + "\\sub0038"));
  EXPECT_FALSE(store().KeyExists(parent + "\\sub0039"));
  EXPECT_EQ(store().GetValue(parent, "val0038")->Dword(), 38u);
  EXPECT_FALSE(store().GetValue(parent, "val0037"));
  // A name removed and written again comes last, with its new data only.
  const uint8_t longData[40] = {7};
  ASSERT_TRUE(store().SetValue(parent, "Val0000", 3, longData, sizeof longData));
  ASSERT_TRUE(store().SetDword(parent, "VAL0000", 9));
  EXPECT_EQ(store().ValueNames(parent).back(), "Val0000");
  EXPECT_EQ(store().GetValue(parent, "val0000")->data, std::vector<uint8_t>({9, 0, 0, 0}));
}

// Keys emptied by a reset are reused for later keys; a key held open across
// the reset must stay deleted and keep nothing of its reuse.
TEST_F(RegistryStoreTest, KeyHeldAcrossResetStaysDeleted) {
  store().CreateKey(kPortKey);
  store().SetDword(kPortKey, "PORTMODE", 2);
  auto held = store().OpenKey(kPortKey);
  ASSERT_TRUE(held);
  store().Reset();
  EXPECT_TRUE(store().KeyDeleted(held));
  store().CreateKey(kPortKey);
  store().CreateKey("SYSTEM\\Other");
  EXPECT_TRUE(store().KeyDeleted(held));
  EXPECT_FALSE(store().GetValue(held, "PORTMODE"));
  EXPECT_FALSE(store().SetValue(held, kPortKey, "PORTMODE", 4, "\1\0\0\0", 4));
  EXPECT_FALSE(store().GetValue(kPortKey, "PORTMODE"));
  EXPECT_TRUE(store().ValueNames(kPortKey).empty());
  EXPECT_TRUE(store().SubKeys("SYSTEM\\Other").empty());
}

}  // namespace
