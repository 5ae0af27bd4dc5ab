// ADVAPI32: registry handles, the ANSI value calls and their size rules,
// access rights.
#include <cstring>

#include "win32_test.h"

namespace {

const char kPort[] = "SYSTEM\\CurrentControlSet\\Enum\\PCIMULTI\\PCI_SER\\020D0001\\Device Parameters";

class RegistryApiTest : public Win32Test {
 protected:
  void SetUp() override {
    Win32Test::SetUp();
    Store().CreateKey(kPort);
    Store().SetString(kPort, "PORTNAME", "COM12");
    Store().SetDword(kPort, "PORTTYPE", 1);
  }

  HKEY Open(REGSAM access = KEY_READ) {
    HKEY key = NULL;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kPort, 0, access, &key), ERROR_SUCCESS);
    return key;
  }
};

}  // namespace

TEST_F(RegistryApiTest, OpenAndCloseAreCounted) {
  HKEY key = NULL;
  ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, kPort, &key), ERROR_SUCCESS);
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(host::Win32Outstanding().openKeys, 1u);
  ASSERT_EQ(host::OpenKeys().size(), 1u);
  EXPECT_EQ(host::OpenKeys()[0].path, kPort);
  std::vector<std::string> findings = host::Win32EndChecks();
  ASSERT_EQ(findings.size(), 1u);
  EXPECT_NE(findings[0].find("020D0001"), std::string::npos) << findings[0];
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(host::Win32Outstanding().openKeys, 0u);
}

TEST_F(RegistryApiTest, MissingKeyIsFileNotFound) {
  HKEY key = reinterpret_cast<HKEY>(1);
  EXPECT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Enum\\PCIMULTI\\PCI_SER\\020D0009\\Device Parameters", &key),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(key, nullptr);
  EXPECT_EQ(host::Win32Outstanding().openKeys, 0u);
}

TEST_F(RegistryApiTest, KeyNamesIgnoreCaseAndRelativeOpensWork) {
  HKEY parent = NULL;
  ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "system\\currentcontrolset\\enum\\pcimulti", &parent),
            ERROR_SUCCESS);
  HKEY child = NULL;
  ASSERT_EQ(RegOpenKeyA(parent, "PCI_SER\\020D0001\\Device Parameters", &child), ERROR_SUCCESS);
  DWORD type = 0;
  EXPECT_EQ(RegQueryValueExA(child, "porttype", NULL, &type, NULL, NULL), ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
  // A relative name may not start with a backslash.
  HKEY bad = NULL;
  EXPECT_EQ(RegOpenKeyA(parent, "\\PCI_SER", &bad), ERROR_BAD_PATHNAME);
  RegCloseKey(child);
  RegCloseKey(parent);
}

TEST_F(RegistryApiTest, OpenWithoutSubkeyReturnsTheSameHandle) {
  HKEY key = Open();
  HKEY same = NULL;
  EXPECT_EQ(RegOpenKeyA(key, "", &same), ERROR_SUCCESS);
  EXPECT_EQ(same, key);
  EXPECT_EQ(RegOpenKeyA(key, NULL, &same), ERROR_SUCCESS);
  EXPECT_EQ(same, key);
  EXPECT_EQ(host::Win32Outstanding().openKeys, 1u);
  RegCloseKey(key);
}

TEST_F(RegistryApiTest, QueryDwordWithTypeAndSize) {
  HKEY key = Open();
  DWORD type = 0, value = 0, size = sizeof(value);
  EXPECT_EQ(RegQueryValueExA(key, "PORTTYPE", NULL, &type, reinterpret_cast<BYTE*>(&value), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(value, 1u);
  EXPECT_EQ(size, 4u);
  // Without a type pointer the data still comes back.
  value = 0;
  EXPECT_EQ(RegQueryValueExA(key, "PORTTYPE", NULL, NULL, reinterpret_cast<BYTE*>(&value), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(value, 1u);
  RegCloseKey(key);
}

TEST_F(RegistryApiTest, QueryStringConvertsToAnsiWithItsTerminator) {
  HKEY key = Open();
  char name[256];
  std::memset(name, 'x', sizeof(name));
  DWORD type = 0, size = sizeof(name);
  ASSERT_EQ(RegQueryValueExA(key, "PORTNAME", NULL, &type, reinterpret_cast<BYTE*>(name), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(size, 6u);  // "COM12" and its NUL: half the 12 bytes stored
  EXPECT_STREQ(name, "COM12");
  EXPECT_EQ(name[6], 'x');
  RegCloseKey(key);
}

TEST_F(RegistryApiTest, StringWithoutTerminatorComesBackWithout) {
  const BYTE raw[] = {'C', 0, 'O', 0, 'M', 0, '7', 0};  // no NUL stored
  Store().SetValue(kPort, "RAW", REG_SZ, raw, sizeof(raw));
  HKEY key = Open();
  char text[8];
  std::memset(text, 'x', sizeof(text));
  DWORD size = sizeof(text);
  ASSERT_EQ(RegQueryValueExA(key, "RAW", NULL, NULL, reinterpret_cast<BYTE*>(text), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(size, 4u);
  EXPECT_EQ(std::string(text, 5), "COM7x");
  RegCloseKey(key);
}

TEST_F(RegistryApiTest, ShortBufferGivesMoreDataAndTheSize) {
  HKEY key = Open();
  char name[3] = {'a', 'b', 'c'};
  DWORD type = 0, size = sizeof(name);
  EXPECT_EQ(RegQueryValueExA(key, "PORTNAME", NULL, &type, reinterpret_cast<BYTE*>(name), &size),
            ERROR_MORE_DATA);
  EXPECT_EQ(size, 6u);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  // A NULL data pointer asks for the size only.
  size = 0;
  EXPECT_EQ(RegQueryValueExA(key, "PORTNAME", NULL, NULL, NULL, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 6u);
  // Data without a size is a bad call.
  EXPECT_EQ(RegQueryValueExA(key, "PORTNAME", NULL, NULL, reinterpret_cast<BYTE*>(name), NULL),
            ERROR_INVALID_PARAMETER);
  RegCloseKey(key);
}

TEST_F(RegistryApiTest, MissingValueIsFileNotFoundAndLeavesOutputsAlone) {
  HKEY key = Open();
  DWORD type = 77, value = 0x5A5A5A5A, size = sizeof(value);
  EXPECT_EQ(RegQueryValueExA(key, "PORTMODE", NULL, &type, reinterpret_cast<BYTE*>(&value), &size),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(value, 0x5A5A5A5Au);
  EXPECT_EQ(size, 4u);
  RegCloseKey(key);
}

TEST_F(RegistryApiTest, SetDwordStoresFourLittleEndianBytes) {
  HKEY key = Open(KEY_READ | KEY_WRITE);
  DWORD mode = 0x00000102;
  ASSERT_EQ(RegSetValueExA(key, "PORTMODE", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&mode), 4),
            ERROR_SUCCESS);
  auto stored = Store().GetValue(kPort, "PORTMODE");
  ASSERT_TRUE(stored.has_value());
  EXPECT_EQ(stored->type, static_cast<uint32_t>(REG_DWORD));
  EXPECT_EQ(stored->data, (std::vector<uint8_t>{0x02, 0x01, 0x00, 0x00}));
  RegCloseKey(key);
}

TEST_F(RegistryApiTest, SetStringStoresUtf16) {
  HKEY key = Open(KEY_SET_VALUE);
  const char text[] = "COM\xE9\x80";  // e acute and the euro sign of code page 1252
  ASSERT_EQ(RegSetValueExA(key, "NAME", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), sizeof(text)),
            ERROR_SUCCESS);
  auto stored = Store().GetValue(kPort, "NAME");
  ASSERT_TRUE(stored.has_value());
  EXPECT_EQ(stored->data, (std::vector<uint8_t>{'C', 0, 'O', 0, 'M', 0, 0xE9, 0x00, 0xAC, 0x20, 0, 0}));
  RegCloseKey(key);

  // And back to the same ANSI bytes.
  HKEY reader = Open();
  char back[16];
  DWORD size = sizeof(back);
  ASSERT_EQ(RegQueryValueExA(reader, "NAME", NULL, NULL, reinterpret_cast<BYTE*>(back), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(size, sizeof(text));
  EXPECT_STREQ(back, text);
  RegCloseKey(reader);
}

TEST_F(RegistryApiTest, StringCountWithoutItsNulGetsTheNul) {
  HKEY key = Open(KEY_SET_VALUE);
  const char text[] = "COM5";
  ASSERT_EQ(RegSetValueExA(key, "NAME", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), 4),
            ERROR_SUCCESS);
  EXPECT_EQ(Store().GetValue(kPort, "NAME")->data.size(), 10u);
  RegCloseKey(key);
}

TEST_F(RegistryApiTest, ReadOnlyHandleRefusesWrites) {
  HKEY key = Open(KEY_READ);
  DWORD mode = 2;
  EXPECT_EQ(RegSetValueExA(key, "PORTMODE", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&mode), 4),
            ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteValueA(key, "PORTTYPE"), ERROR_ACCESS_DENIED);
  EXPECT_FALSE(Store().GetValue(kPort, "PORTMODE").has_value());
  RegCloseKey(key);
}

TEST_F(RegistryApiTest, WriteOnlyHandleRefusesQueries) {
  HKEY key = Open(KEY_SET_VALUE);
  DWORD value = 0, size = 4;
  EXPECT_EQ(RegQueryValueExA(key, "PORTTYPE", NULL, NULL, reinterpret_cast<BYTE*>(&value), &size),
            ERROR_ACCESS_DENIED);
  RegCloseKey(key);
}

TEST_F(RegistryApiTest, MaximumAllowedFollowsTheKeysRights) {
  // RegOpenKeyA asks for MAXIMUM_ALLOWED: full rights normally ...
  HKEY key = NULL;
  ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, kPort, &key), ERROR_SUCCESS);
  DWORD mode = 3;
  EXPECT_EQ(RegSetValueExA(key, "PORTMODE", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&mode), 4),
            ERROR_SUCCESS);
  RegCloseKey(key);

  // ... read rights only on a key the process may not write.
  host::SetRegistryKeyAccess(kPort, KEY_READ);
  ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, kPort, &key), ERROR_SUCCESS);
  DWORD value = 0, size = 4;
  EXPECT_EQ(RegQueryValueExA(key, "PORTMODE", NULL, NULL, reinterpret_cast<BYTE*>(&value), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(value, 3u);
  mode = 1;
  EXPECT_EQ(RegSetValueExA(key, "PORTMODE", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&mode), 4),
            ERROR_ACCESS_DENIED);
  EXPECT_EQ(Store().GetValue(kPort, "PORTMODE")->Dword(), 3u);
  RegCloseKey(key);

  // Asking for write rights outright fails at the open.
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kPort, 0, KEY_WRITE, &key), ERROR_ACCESS_DENIED);
  EXPECT_EQ(key, nullptr);
}

TEST_F(RegistryApiTest, KeyWithoutRightsCannotBeOpened) {
  host::SetRegistryKeyAccess(kPort, 0);
  HKEY key = NULL;
  EXPECT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, kPort, &key), ERROR_ACCESS_DENIED);
  EXPECT_EQ(host::Win32Outstanding().openKeys, 0u);
}

TEST_F(RegistryApiTest, HandleToDeletedKeyReportsKeyDeleted) {
  HKEY key = Open(KEY_ALL_ACCESS);
  Store().DeleteKey(kPort);
  DWORD value = 0, size = 4;
  EXPECT_EQ(RegQueryValueExA(key, "PORTTYPE", NULL, NULL, reinterpret_cast<BYTE*>(&value), &size),
            ERROR_KEY_DELETED);
  EXPECT_EQ(RegSetValueExA(key, "PORTMODE", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), 4),
            ERROR_KEY_DELETED);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

TEST_F(RegistryApiTest, FailedStoreWriteIsReported) {
  HKEY key = Open(KEY_SET_VALUE);
  Store().SetWriteFault([](const std::string&, const std::string& name) { return name == "PORTMODE"; });
  DWORD mode = 1;
  EXPECT_NE(RegSetValueExA(key, "PORTMODE", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&mode), 4),
            ERROR_SUCCESS);
  EXPECT_FALSE(Store().GetValue(kPort, "PORTMODE").has_value());
  RegCloseKey(key);
}

TEST_F(RegistryApiTest, CloseOfUnknownHandleFailsAndIsReported) {
  SkipEndChecks();
  HKEY key = Open();
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);  // predefined keys close fine
  EXPECT_EQ(host::Win32EndChecks().size(), 1u);
}

TEST_F(RegistryApiTest, OtherRootsAreNotKept) {
  HKEY key = NULL;
  EXPECT_EQ(RegOpenKeyA(HKEY_CURRENT_USER, "Software", &key), ERROR_INVALID_HANDLE);
}

TEST_F(RegistryApiTest, CreateKeyReportsDisposition) {
  HKEY key = NULL;
  DWORD disposition = 0;
  const char sub[] = "SYSTEM\\CurrentControlSet\\Enum\\PCIMULTI\\PCI_SER\\020D0002\\Device Parameters";
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, sub, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &key, &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
  EXPECT_TRUE(Store().KeyExists(sub));
  RegCloseKey(key);
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, sub, 0, NULL, 0, KEY_READ, NULL, &key, &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
  RegCloseKey(key);
}

TEST_F(RegistryApiTest, DeleteValue) {
  HKEY key = Open(KEY_ALL_ACCESS);
  EXPECT_EQ(RegDeleteValueA(key, "PORTTYPE"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteValueA(key, "PORTTYPE"), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(Store().GetValue(kPort, "PORTTYPE").has_value());
  RegCloseKey(key);
}

// Without a limit set by the test, the device tree carries the platform's
// security: the instance key is read-only even for an administrator, the
// hardware key below it is writable for an administrator only, and keys
// outside the tree are left alone.
TEST_F(RegistryApiTest, DeviceTreeIsReadOnlyButForAnAdministratorsDeviceParameters) {
  const std::string instance = "SYSTEM\\CurrentControlSet\\Enum\\PCIMULTI\\PCI_SER\\020D0001";
  const char* software = "SOFTWARE\\Vendor";
  Store().CreateKey(software);
  DWORD mode = 2;
  auto write = [&](const std::string& path) {
    HKEY key = NULL;
    LONG opened = RegOpenKeyA(HKEY_LOCAL_MACHINE, path.c_str(), &key);
    EXPECT_EQ(opened, ERROR_SUCCESS) << path;
    LONG status = RegSetValueExA(key, "PORTMODE", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&mode), 4);
    RegCloseKey(key);
    return status;
  };
  EXPECT_EQ(write(instance), ERROR_ACCESS_DENIED);
  HKEY key = NULL;
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, instance.c_str(), 0, KEY_SET_VALUE, &key), ERROR_ACCESS_DENIED);
  EXPECT_EQ(write(kPort), ERROR_SUCCESS);
  EXPECT_EQ(write(software), ERROR_SUCCESS);

  host::SetProcessIsAdministrator(false);
  mode = 3;
  EXPECT_EQ(write(kPort), ERROR_ACCESS_DENIED);
  EXPECT_EQ(write(software), ERROR_SUCCESS);
  EXPECT_EQ(Store().GetValue(kPort, "PORTMODE")->Dword(), 2u);
  EXPECT_FALSE(Store().GetValue(instance, "PORTMODE").has_value());
}
