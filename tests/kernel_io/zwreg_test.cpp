// Kernel registry handles: ZwSetValueKey, ZwQueryValueKey, ZwClose.
#include <cstring>

#include "io_fixture.h"

namespace kiotest {
namespace {

const std::string kKey = "SYSTEM\\CurrentControlSet\\Enum\\PCIMULTI\\PCI_SER\\0203000A\\Device Parameters";

class ZwTest : public IoTest {
 protected:
  void SetUp() override {
    IoTest::SetUp();
    host::RegistryStore::Instance().CreateKey(kKey);
    key_ = host::OpenKernelKey(kKey);
    ASSERT_NE(key_, nullptr);
  }
  void TearDown() override {
    if (host::KernelKeyPath(key_)) ZwClose(key_);
    IoTest::TearDown();
  }
  NTSTATUS SetDword(const char16_t* name, USHORT lengthBytes, DWORD value) {
    UNICODE_STRING s = {lengthBytes, lengthBytes, const_cast<PWSTR>(name)};
    return ZwSetValueKey(key_, &s, 0, REG_DWORD, &value, sizeof value);
  }
  HANDLE key_ = nullptr;
};

TEST_F(ZwTest, NameComesFromLengthAndDataIsStoredExactly) {
  // The buffer holds more than Length covers; only Length bytes name the value.
  ASSERT_EQ(SetDword(u"BASEADDRxyz", 16, 0x12345678), STATUS_SUCCESS);
  auto value = host::RegistryStore::Instance().GetValue(kKey, "BASEADDR");
  ASSERT_TRUE(value.has_value());
  EXPECT_EQ(value->type, ULONG(REG_DWORD));
  EXPECT_EQ(value->data, (std::vector<uint8_t>{0x78, 0x56, 0x34, 0x12}));
  EXPECT_FALSE(host::RegistryStore::Instance().GetValue(kKey, "BASEADDRxyz").has_value());

  // A Length that takes in the NUL names a different value, as on the platform.
  ASSERT_EQ(SetDword(u"VECTOR", 14, 9), STATUS_SUCCESS);
  EXPECT_FALSE(host::RegistryStore::Instance().GetValue(kKey, "VECTOR").has_value());
  EXPECT_TRUE(host::RegistryStore::Instance().GetValue(kKey, std::string("VECTOR\0", 7)).has_value());
}

TEST_F(ZwTest, SetValueLogKeepsOrderAndFailures) {
  host::FailSetValue("clkrate", STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(SetDword(u"BASEADDR", 16, 0x3F8), STATUS_SUCCESS);
  EXPECT_EQ(SetDword(u"CLKRATE", 14, 7372800), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(SetDword(u"INTCIDX", 14, 3), STATUS_SUCCESS);
  auto log = host::ZwSetValueLog();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[0].name, "BASEADDR");
  EXPECT_EQ(log[0].path, kKey);
  EXPECT_EQ(log[1].name, "CLKRATE");
  EXPECT_EQ(log[1].status, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(log[1].data, (std::vector<uint8_t>{0x00, 0x80, 0x70, 0x00}));
  EXPECT_EQ(log[2].name, "INTCIDX");
  EXPECT_FALSE(host::RegistryStore::Instance().GetValue(kKey, "CLKRATE").has_value());
  EXPECT_TRUE(host::RegistryStore::Instance().GetValue(kKey, "INTCIDX").has_value());

  host::FailIoCallNth(host::IoRoutine::SetValueKey, 2, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(SetDword(u"A", 2, 1), STATUS_SUCCESS);
  EXPECT_EQ(SetDword(u"B", 2, 1), STATUS_UNSUCCESSFUL);
}

TEST_F(ZwTest, QueryPartialInformationSizes) {
  ASSERT_EQ(SetDword(u"PORTS", 10, 0x20), STATUS_SUCCESS);
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, u"ports");  // names compare without case
  const ULONG header = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
  ASSERT_EQ(header, 12u);
  unsigned char buffer[32];

  ULONG result = 0;
  std::memset(buffer, 0xCC, sizeof buffer);
  EXPECT_EQ(ZwQueryValueKey(key_, &name, KeyValuePartialInformation, buffer, header - 1, &result),
            STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(result, header + 4);
  EXPECT_EQ(buffer[0], 0xCC);

  std::memset(buffer, 0xCC, sizeof buffer);
  EXPECT_EQ(ZwQueryValueKey(key_, &name, KeyValuePartialInformation, buffer, header + 2, &result),
            STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(result, header + 4);
  auto* info = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buffer);
  EXPECT_EQ(info->Type, ULONG(REG_DWORD));
  EXPECT_EQ(info->DataLength, 4u);
  EXPECT_EQ(buffer[header], 0x20);
  EXPECT_EQ(buffer[header + 2], 0xCC) << "copied past the buffer length";

  ASSERT_EQ(ZwQueryValueKey(key_, &name, KeyValuePartialInformation, buffer, sizeof buffer, &result),
            STATUS_SUCCESS);
  DWORD v;
  std::memcpy(&v, info->Data, 4);
  EXPECT_EQ(v, 0x20u);

  RtlInitUnicodeString(&name, u"PORTMODE");
  EXPECT_EQ(ZwQueryValueKey(key_, &name, KeyValuePartialInformation, buffer, sizeof buffer, &result),
            STATUS_OBJECT_NAME_NOT_FOUND);
}

// The basic class gives the name as stored (its case, no NUL) after the same
// three fields, cut where the buffer ends.
TEST_F(ZwTest, QueryBasicInformationGivesTheStoredName) {
  ASSERT_EQ(SetDword(u"PortMode", 16, 3), STATUS_SUCCESS);
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, u"PORTMODE");
  unsigned char buffer[40];
  std::memset(buffer, 0xCC, sizeof buffer);
  ULONG result = 0;
  EXPECT_EQ(ZwQueryValueKey(key_, &name, KeyValueBasicInformation, buffer, 12 + 4, &result),
            STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(result, 12u + 16);
  ULONG fields[3];
  std::memcpy(fields, buffer, sizeof fields);
  EXPECT_EQ(fields[1], ULONG(REG_DWORD));
  EXPECT_EQ(fields[2], 16u);
  EXPECT_EQ(0, std::memcmp(buffer + 12, u"Po", 4));
  EXPECT_EQ(buffer[16], 0xCC) << "copied past the buffer length";
  ASSERT_EQ(ZwQueryValueKey(key_, &name, KeyValueBasicInformation, buffer, sizeof buffer, &result),
            STATUS_SUCCESS);
  EXPECT_EQ(0, std::memcmp(buffer + 12, u"PortMode", 16));
}

TEST_F(ZwTest, BadAndClosedHandlesAreReported) {
  EXPECT_EQ(host::OpenKernelKey("SYSTEM\\NoSuchKey"), nullptr);
  EXPECT_EQ(ZwClose(key_), STATUS_SUCCESS);
  EXPECT_EQ(ZwClose(key_), STATUS_INVALID_HANDLE);
  EXPECT_TRUE(OneFailureMentioning("closed"));
  EXPECT_EQ(SetDword(u"PORTS", 10, 1), STATUS_INVALID_HANDLE);
  EXPECT_TRUE(OneFailureMentioning("ZwSetValueKey"));
  EXPECT_EQ(ZwClose(reinterpret_cast<HANDLE>(0x1234)), STATUS_INVALID_HANDLE);
  EXPECT_TRUE(OneFailureMentioning("unknown"));
  EXPECT_FALSE(host::RegistryStore::Instance().GetValue(kKey, "PORTS").has_value());
}

TEST_F(ZwTest, WriteToDeletedKeyFails) {
  host::RegistryStore::Instance().DeleteKey(kKey);
  EXPECT_EQ(SetDword(u"PORTS", 10, 1), static_cast<NTSTATUS>(0xC000017CL));  // STATUS_KEY_DELETED
  EXPECT_FALSE(host::RegistryStore::Instance().KeyExists(kKey));
}

// The handle refers to the key object, not its path: a key created again
// under the same path is another key, and the old handle still sees its own
// key as deleted. Deleting a key above it deletes it too.
TEST_F(ZwTest, KeyDeletedUnderAnOpenHandleStaysDeletedForIt) {
  auto& store = host::RegistryStore::Instance();
  const NTSTATUS keyDeleted = static_cast<NTSTATUS>(0xC000017CL);
  HANDLE sibling = host::OpenKernelKey(kKey);
  ASSERT_NE(sibling, nullptr);
  ASSERT_TRUE(store.DeleteKey(kKey.substr(0, kKey.rfind('\\'))));  // the instance key
  ASSERT_TRUE(store.CreateKey(kKey));
  EXPECT_EQ(SetDword(u"PORTS", 10, 1), keyDeleted);
  UNICODE_STRING name = {10, 10, const_cast<PWSTR>(u"PORTS")};
  UCHAR buffer[32];
  ULONG needed = 0;
  EXPECT_EQ(ZwQueryValueKey(sibling, &name, KeyValuePartialInformation, buffer, sizeof buffer, &needed),
            keyDeleted);
  EXPECT_TRUE(store.ValueNames(kKey).empty());
  // A handle opened on the new key writes to it.
  HANDLE fresh = host::OpenKernelKey(kKey);
  UNICODE_STRING ports = {10, 10, const_cast<PWSTR>(u"PORTS")};
  DWORD eight = 8;
  EXPECT_EQ(ZwSetValueKey(fresh, &ports, 0, REG_DWORD, &eight, sizeof eight), STATUS_SUCCESS);
  EXPECT_EQ(store.GetValue(kKey, "PORTS")->Dword(), 8u);
  EXPECT_EQ(ZwClose(fresh), STATUS_SUCCESS);
  EXPECT_EQ(ZwClose(sibling), STATUS_SUCCESS);
}

}  // namespace
}  // namespace kiotest
