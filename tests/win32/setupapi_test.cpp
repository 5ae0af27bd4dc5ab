// SETUPAPI: device information sets read from the instance keys the Plug
// and Play manager writes.
#include <cstring>

#include "win32_test.h"

namespace {

const char kInstance[] = "PCI\\VEN_1234&DEV_5678&SUBSYS_00041234\\3&2AF37ABA&0&68";
const char kInstanceKey[] =
    "SYSTEM\\CurrentControlSet\\Enum\\PCI\\VEN_1234&DEV_5678&SUBSYS_00041234\\3&2AF37ABA&0&68";
const char kLocation[] = "PCI bus 2, device 13, function 0";

class SetupApiTest : public Win32Test {
 protected:
  void SetUp() override {
    Win32Test::SetUp();
    Store().CreateKey(std::string(kInstanceKey) + "\\Device Parameters");
    Store().SetString(kInstanceKey, "LocationInformation", kLocation);
    Store().SetString(kInstanceKey, "ClassGUID", "{4D36E978-E325-11CE-BFC1-08002BE10318}");
    Store().SetDword(std::string(kInstanceKey) + "\\Device Parameters", "PORTS", 8);
    set_ = SetupDiCreateDeviceInfoList(NULL, NULL);
    device_.cbSize = sizeof(device_);
  }
  void TearDown() override {
    if (set_) SetupDiDestroyDeviceInfoList(set_);
    Win32Test::TearDown();
  }

  void OpenDevice() { ASSERT_TRUE(SetupDiOpenDeviceInfoA(set_, kInstance, NULL, 0, &device_)); }

  HDEVINFO set_ = nullptr;
  SP_DEVINFO_DATA device_{};
};

}  // namespace

TEST_F(SetupApiTest, OpenDeviceFillsItsData) {
  OpenDevice();
  EXPECT_NE(device_.Reserved, 0u);
  EXPECT_NE(device_.DevInst, 0u);
  EXPECT_EQ(device_.ClassGuid.Data1, 0x4D36E978u);
  EXPECT_EQ(device_.ClassGuid.Data4[7], 0x18);
  char id[200];
  DWORD required = 0;
  ASSERT_TRUE(SetupDiGetDeviceInstanceIdA(set_, &device_, id, sizeof(id), &required));
  EXPECT_STREQ(id, kInstance);
  EXPECT_EQ(required, std::strlen(kInstance) + 1);
  // Opening it again gives the same element.
  SP_DEVINFO_DATA again{};
  again.cbSize = sizeof(again);
  ASSERT_TRUE(SetupDiOpenDeviceInfoA(set_, kInstance, NULL, 0, &again));
  EXPECT_EQ(again.Reserved, device_.Reserved);
}

TEST_F(SetupApiTest, WrongStructureSizeIsInvalidUserBuffer) {
  device_.cbSize = sizeof(device_) - 4;  // the i386 size on this 64-bit process
  SetLastError(0);
  EXPECT_FALSE(SetupDiOpenDeviceInfoA(set_, kInstance, NULL, 0, &device_));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
}

TEST_F(SetupApiTest, UnknownDeviceIsNoSuchDevinst) {
  EXPECT_FALSE(SetupDiOpenDeviceInfoA(set_, "PCI\\VEN_1234&DEV_5678\\NOPE", NULL, 0, &device_));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_SUCH_DEVINST));
}

TEST_F(SetupApiTest, SetOfAnotherClassRefusesTheDevice) {
  GUID other = {0x12345678, 0x1234, 0x1234, {1, 2, 3, 4, 5, 6, 7, 8}};
  HDEVINFO classSet = SetupDiCreateDeviceInfoList(&other, NULL);
  EXPECT_FALSE(SetupDiOpenDeviceInfoA(classSet, kInstance, NULL, 0, &device_));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CLASS_MISMATCH));
  EXPECT_TRUE(SetupDiDestroyDeviceInfoList(classSet));
}

TEST_F(SetupApiTest, LocationInformationProperty) {
  OpenDevice();
  BYTE buffer[256];
  std::memset(buffer, 'x', sizeof(buffer));
  DWORD type = 0, required = 0;
  ASSERT_TRUE(SetupDiGetDeviceRegistryPropertyA(set_, &device_, SPDRP_LOCATION_INFORMATION, &type,
                                                buffer, sizeof(buffer), &required));
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(required, sizeof(kLocation));
  EXPECT_STREQ(reinterpret_cast<char*>(buffer), kLocation);
  EXPECT_EQ(buffer[sizeof(kLocation)], 'x');
}

TEST_F(SetupApiTest, ShortBufferGivesInsufficientBufferAndTheSize) {
  OpenDevice();
  BYTE buffer[8];
  DWORD required = 0;
  SetLastError(0);
  EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(set_, &device_, SPDRP_LOCATION_INFORMATION, NULL,
                                                 buffer, sizeof(buffer), &required));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(required, sizeof(kLocation));
  // The size alone: no buffer at all.
  required = 0;
  EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(set_, &device_, SPDRP_LOCATION_INFORMATION, NULL,
                                                 NULL, 0, &required));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(required, sizeof(kLocation));
}

TEST_F(SetupApiTest, AbsentPropertyIsInvalidData) {
  Store().DeleteValue(kInstanceKey, "LocationInformation");
  OpenDevice();
  BYTE buffer[256];
  DWORD required = 12345;
  EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(set_, &device_, SPDRP_LOCATION_INFORMATION, NULL,
                                                 buffer, sizeof(buffer), &required));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
}

TEST_F(SetupApiTest, BadDeviceDataIsInvalidParameter) {
  OpenDevice();
  BYTE buffer[256];
  SP_DEVINFO_DATA wrong = device_;
  wrong.cbSize = 28;
  EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(set_, &wrong, SPDRP_LOCATION_INFORMATION, NULL,
                                                 buffer, sizeof(buffer), NULL));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  // An element of another set.
  HDEVINFO other = SetupDiCreateDeviceInfoList(NULL, NULL);
  EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(other, &device_, SPDRP_LOCATION_INFORMATION, NULL,
                                                 buffer, sizeof(buffer), NULL));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  SetupDiDestroyDeviceInfoList(other);
  // A set that does not exist.
  EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(INVALID_HANDLE_VALUE, &device_,
                                                 SPDRP_LOCATION_INFORMATION, NULL, buffer,
                                                 sizeof(buffer), NULL));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(SetupApiTest, DeviceKeyOpensWithTheAccessAsked) {
  OpenDevice();
  HKEY key = SetupDiOpenDevRegKey(set_, &device_, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
  ASSERT_NE(key, static_cast<HKEY>(INVALID_HANDLE_VALUE));
  EXPECT_EQ(host::Win32Outstanding().openKeys, 1u);
  DWORD ports = 0, size = 4;
  EXPECT_EQ(RegQueryValueExA(key, "Ports", NULL, NULL, reinterpret_cast<BYTE*>(&ports), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(ports, 8u);
  DWORD zero = 0;
  EXPECT_EQ(RegSetValueExA(key, "PORTS", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&zero), 4),
            ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

TEST_F(SetupApiTest, MissingDeviceKeyIsInvalidHandleValue) {
  Store().DeleteKey(std::string(kInstanceKey) + "\\Device Parameters");
  OpenDevice();
  HKEY key = SetupDiOpenDevRegKey(set_, &device_, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
  EXPECT_EQ(key, static_cast<HKEY>(INVALID_HANDLE_VALUE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_KEY_DOES_NOT_EXIST));
  EXPECT_EQ(host::Win32Outstanding().openKeys, 0u);
}

TEST_F(SetupApiTest, DeviceKeyFlagsAreChecked) {
  OpenDevice();
  EXPECT_EQ(SetupDiOpenDevRegKey(set_, &device_, 8, 0, DIREG_DEV, KEY_READ),
            static_cast<HKEY>(INVALID_HANDLE_VALUE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FLAGS));
  EXPECT_EQ(SetupDiOpenDevRegKey(set_, &device_, DICS_FLAG_GLOBAL, 0, DIREG_BOTH, KEY_READ),
            static_cast<HKEY>(INVALID_HANDLE_VALUE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FLAGS));
}

TEST_F(SetupApiTest, SetNotDestroyedIsReported) {
  HDEVINFO leaked = SetupDiCreateDeviceInfoList(NULL, NULL);
  EXPECT_EQ(host::Win32Outstanding().deviceInfoSets, 2u);
  EXPECT_TRUE(SetupDiDestroyDeviceInfoList(leaked));
  EXPECT_FALSE(SetupDiDestroyDeviceInfoList(leaked));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set_));
  set_ = nullptr;
  EXPECT_EQ(host::Win32Outstanding().deviceInfoSets, 0u);
}
