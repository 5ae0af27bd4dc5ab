// Device properties, device interfaces and device registry keys.
#include <cstring>

#include "io_fixture.h"

namespace kiotest {
namespace {

constexpr GUID kBusGuid = {0xAF5B4200, 0x6D32, 0x11D3, {0xB8, 0x9C, 0x00, 0xC0, 0x4F, 0xAD, 0x51, 0x71}};
const std::u16string kLocation = u"PCI bus 2, device 3, function 0";

class DevicePropertyTest : public IoTest {
 protected:
  void SetUp() override {
    IoTest::SetUp();
    pdo_ = NewDevice(kCardPath);
    host::RegistryStore::Instance().SetString(kCardKey, "LocationInformation",
                                              "PCI bus 2, device 3, function 0");
  }
  PDEVICE_OBJECT pdo_ = nullptr;
};

TEST_F(DevicePropertyTest, LocationSizeQueryThenExactBuffer) {
  const ULONG needed = static_cast<ULONG>((kLocation.size() + 1) * sizeof(WCHAR));
  ULONG length = 12345;
  EXPECT_EQ(IoGetDeviceProperty(pdo_, DevicePropertyLocationInformation, 0, nullptr, &length),
            STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(length, needed);

  std::vector<WCHAR> buffer(length / sizeof(WCHAR) + 4, u'#');
  ULONG returned = 0;
  ASSERT_EQ(IoGetDeviceProperty(pdo_, DevicePropertyLocationInformation, length, buffer.data(),
                                &returned),
            STATUS_SUCCESS);
  EXPECT_EQ(returned, needed);
  EXPECT_EQ(std::u16string(buffer.data()), kLocation);
  EXPECT_EQ(buffer[kLocation.size()], u'\0');
  EXPECT_EQ(buffer[kLocation.size() + 1], u'#') << "wrote past the value";
}

TEST_F(DevicePropertyTest, BufferOneByteShortCopiesNothing) {
  const ULONG needed = static_cast<ULONG>((kLocation.size() + 1) * sizeof(WCHAR));
  std::vector<unsigned char> buffer(needed, 0xCC);
  ULONG returned = 0;
  EXPECT_EQ(IoGetDeviceProperty(pdo_, DevicePropertyLocationInformation, needed - 1,
                                buffer.data(), &returned),
            STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(returned, needed);
  for (unsigned char b : buffer) ASSERT_EQ(b, 0xCC);
}

TEST_F(DevicePropertyTest, MissingValueAndWrongTypeAndOtherProperties) {
  ULONG length = 0;
  EXPECT_EQ(IoGetDeviceProperty(pdo_, DevicePropertyFriendlyName, 0, nullptr, &length),
            STATUS_OBJECT_NAME_NOT_FOUND);

  auto& store = host::RegistryStore::Instance();
  store.SetDword(kCardKey, "DeviceDesc", 7);  // REG_DWORD where a REG_SZ belongs
  DWORD word = 0;
  EXPECT_EQ(IoGetDeviceProperty(pdo_, DevicePropertyDeviceDescription, sizeof word, &word, &length),
            static_cast<NTSTATUS>(0xC00000F0L));

  const char16_t ids[] = u"PCI\\VEN_1234&DEV_5678\0PCI\\VEN_1234\0";
  store.SetValue(kCardKey, "HardwareID", REG_MULTI_SZ, ids, sizeof ids);
  char16_t got[64] = {};
  ASSERT_EQ(IoGetDeviceProperty(pdo_, DevicePropertyHardwareID, sizeof got, got, &length),
            STATUS_SUCCESS);
  EXPECT_EQ(length, sizeof ids);
  EXPECT_EQ(std::memcmp(got, ids, sizeof ids), 0);

  ASSERT_EQ(IoGetDeviceProperty(pdo_, DevicePropertyEnumeratorName, sizeof got, got, &length),
            STATUS_SUCCESS);
  EXPECT_EQ(std::u16string(got), u"PCI");
  EXPECT_EQ(length, 8u);

  ULONG address = 0;
  EXPECT_EQ(IoGetDeviceProperty(pdo_, DevicePropertyAddress, sizeof address, &address, &length),
            STATUS_OBJECT_NAME_NOT_FOUND);
  host::SetDeviceAddress(pdo_, 0x30000);
  EXPECT_EQ(IoGetDeviceProperty(pdo_, DevicePropertyAddress, sizeof address, &address, &length),
            STATUS_SUCCESS);
  EXPECT_EQ(address, 0x30000u);
}

TEST_F(DevicePropertyTest, NotAPdoIsRefusedAndReported) {
  PDEVICE_OBJECT fdo = NewDevice();
  ULONG length = 99;
  EXPECT_EQ(IoGetDeviceProperty(fdo, DevicePropertyLocationInformation, 0, nullptr, &length),
            STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(length, 0u);
  EXPECT_TRUE(OneFailureMentioning("PDO"));

  host::RemoveDeviceNode(pdo_);  // a removed device node is no PDO either
  EXPECT_EQ(IoGetDeviceProperty(pdo_, DevicePropertyLocationInformation, 0, nullptr, &length),
            STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_TRUE(OneFailureMentioning("PDO"));
}

TEST_F(DevicePropertyTest, SecondCallFailsWhenArmed) {
  host::FailIoCallNth(host::IoRoutine::GetDeviceProperty, 2, STATUS_UNSUCCESSFUL);
  ULONG length = 0;
  EXPECT_EQ(IoGetDeviceProperty(pdo_, DevicePropertyLocationInformation, 0, nullptr, &length),
            STATUS_BUFFER_TOO_SMALL);
  std::vector<unsigned char> buffer(length);
  ULONG returned = 77;
  EXPECT_EQ(IoGetDeviceProperty(pdo_, DevicePropertyLocationInformation, length, buffer.data(),
                                &returned),
            STATUS_UNSUCCESSFUL);
  EXPECT_EQ(returned, 0u);
  EXPECT_EQ(IoGetDeviceProperty(pdo_, DevicePropertyLocationInformation, length, buffer.data(),
                                &returned),
            STATUS_SUCCESS);
  EXPECT_EQ(host::IoCallCount(host::IoRoutine::GetDeviceProperty), 3);
}

TEST_F(DevicePropertyTest, AbovePassiveLevelIsReported) {
  ULONG length = 0;
  host::RunAtIrql(DISPATCH_LEVEL, [&] {
    IoGetDeviceProperty(pdo_, DevicePropertyLocationInformation, 0, nullptr, &length);
  });
  EXPECT_TRUE(OneFailureMentioning("IRQL"));
}

// ---------------------------------------------------------------------------

class InterfaceTest : public IoTest {
 protected:
  void SetUp() override {
    IoTest::SetUp();
    pdo_ = NewDevice(kCardPath);
  }
  PDEVICE_OBJECT pdo_ = nullptr;
  const std::u16string kName =
      u"\\??\\PCI#VEN_1234&DEV_5678&SUBSYS_00084B51#3&1a2b&0&68#{af5b4200-6d32-11d3-b89c-00c04fad5171}";
};

TEST_F(InterfaceTest, NameIsBuiltFromInstancePathAndGuidInPagedPool) {
  UNICODE_STRING name = {};
  ASSERT_EQ(IoRegisterDeviceInterface(pdo_, &kBusGuid, nullptr, &name), STATUS_SUCCESS);
  ASSERT_NE(name.Buffer, nullptr);
  EXPECT_EQ(std::u16string(name.Buffer, name.Length / 2), kName);
  EXPECT_EQ(name.MaximumLength, name.Length + 2);
  EXPECT_EQ(name.Buffer[name.Length / 2], u'\0');
  auto block = host::PoolBlock(name.Buffer);
  ASSERT_TRUE(block.has_value()) << "the caller frees the name with ExFreePool";
  EXPECT_EQ(block->type, PagedPool);
  EXPECT_EQ(host::RegisteredInterfaces(pdo_), std::vector<std::u16string>{kName});
  ExFreePool(name.Buffer);
}

TEST_F(InterfaceTest, ReferenceStringAndSecondRegistration) {
  UNICODE_STRING ref;
  RtlInitUnicodeString(&ref, u"Port1");
  UNICODE_STRING a = {}, b = {};
  ASSERT_EQ(IoRegisterDeviceInterface(pdo_, &kBusGuid, &ref, &a), STATUS_SUCCESS);
  ASSERT_EQ(IoRegisterDeviceInterface(pdo_, &kBusGuid, &ref, &b), STATUS_SUCCESS);
  EXPECT_EQ(std::u16string(a.Buffer, a.Length / 2), kName + u"\\Port1");
  EXPECT_EQ(std::u16string(b.Buffer, b.Length / 2), kName + u"\\Port1");
  EXPECT_NE(a.Buffer, b.Buffer) << "each call hands out its own buffer";
  EXPECT_EQ(host::RegisteredInterfaces(pdo_).size(), 1u);
  RtlFreeUnicodeString(&a);
  RtlFreeUnicodeString(&b);
}

TEST_F(InterfaceTest, StateTransitionsAndUnknownName) {
  UNICODE_STRING name = {};
  ASSERT_EQ(IoRegisterDeviceInterface(pdo_, &kBusGuid, nullptr, &name), STATUS_SUCCESS);
  EXPECT_EQ(IoSetDeviceInterfaceState(&name, FALSE), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(IoSetDeviceInterfaceState(&name, TRUE), STATUS_SUCCESS);
  EXPECT_TRUE(host::IsInterfaceEnabled(kName));
  EXPECT_EQ(IoSetDeviceInterfaceState(&name, TRUE), STATUS_OBJECT_NAME_EXISTS);
  EXPECT_EQ(IoSetDeviceInterfaceState(&name, FALSE), STATUS_SUCCESS);
  EXPECT_FALSE(host::IsInterfaceEnabled(kName));
  EXPECT_EQ(host::InterfaceEnableCalls(kName), 2);
  EXPECT_EQ(host::InterfaceDisableCalls(kName), 2);

  std::u16string other = kName;
  other.back() = u'0';  // a different link
  UNICODE_STRING unknown = {static_cast<USHORT>(other.size() * 2), static_cast<USHORT>(other.size() * 2),
                            other.data()};
  EXPECT_EQ(IoSetDeviceInterfaceState(&unknown, TRUE), STATUS_OBJECT_NAME_NOT_FOUND);
  auto log = host::InterfaceStateLog();
  ASSERT_EQ(log.size(), 5u);
  EXPECT_TRUE(log[1].enable);
  EXPECT_EQ(log[2].status, STATUS_OBJECT_NAME_EXISTS);
  ExFreePool(name.Buffer);
}

TEST_F(InterfaceTest, FailuresLeaveNothingBehind) {
  PDEVICE_OBJECT fdo = NewDevice();
  UNICODE_STRING name = {};
  EXPECT_EQ(IoRegisterDeviceInterface(fdo, &kBusGuid, nullptr, &name), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_TRUE(OneFailureMentioning("PDO"));

  host::FailIoCallNth(host::IoRoutine::RegisterDeviceInterface, 1, STATUS_INSUFFICIENT_RESOURCES);
  size_t before = host::PoolOutstanding();
  EXPECT_EQ(IoRegisterDeviceInterface(pdo_, &kBusGuid, nullptr, &name), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(name.Buffer, nullptr);
  EXPECT_EQ(host::PoolOutstanding(), before);
  EXPECT_TRUE(host::RegisteredInterfaces(pdo_).empty());
}

TEST_F(InterfaceTest, EnabledAtNodeRemovalIsReportedAndDisabled) {
  UNICODE_STRING name = {};
  ASSERT_EQ(IoRegisterDeviceInterface(pdo_, &kBusGuid, nullptr, &name), STATUS_SUCCESS);
  ASSERT_EQ(IoSetDeviceInterfaceState(&name, TRUE), STATUS_SUCCESS);
  host::RemoveDeviceNode(pdo_);
  auto findings = host::IoEndChecks();
  ASSERT_EQ(findings.size(), 1u);
  EXPECT_NE(findings[0].find("still enabled"), std::string::npos);
  EXPECT_FALSE(host::IsInterfaceEnabled(kName));
  ExFreePool(name.Buffer);
  host::ResetIo();
}

TEST_F(InterfaceTest, DisabledBeforeNodeRemovalIsClean) {
  UNICODE_STRING name = {};
  ASSERT_EQ(IoRegisterDeviceInterface(pdo_, &kBusGuid, nullptr, &name), STATUS_SUCCESS);
  ASSERT_EQ(IoSetDeviceInterfaceState(&name, TRUE), STATUS_SUCCESS);
  ASSERT_EQ(IoSetDeviceInterfaceState(&name, FALSE), STATUS_SUCCESS);
  ExFreePool(name.Buffer);
  IoDeleteDevice(pdo_);  // deleting the PDO takes its node along
  EXPECT_TRUE(host::IoEndChecks().empty());
  EXPECT_TRUE(host::DeviceInstancePath(pdo_).empty());
}

// ---------------------------------------------------------------------------

class DeviceKeyTest : public IoTest {
 protected:
  void SetUp() override {
    IoTest::SetUp();
    pdo_ = NewDevice(kCardPath);
  }
  PDEVICE_OBJECT pdo_ = nullptr;
};

TEST_F(DeviceKeyTest, DeviceKeyIsCreatedAndAccessRecorded) {
  const std::string params = std::string(kCardKey) + "\\Device Parameters";
  ASSERT_FALSE(host::RegistryStore::Instance().KeyExists(params));
  HANDLE key = nullptr;
  ASSERT_EQ(IoOpenDeviceRegistryKey(pdo_, PLUGPLAY_REGKEY_DEVICE, STANDARD_RIGHTS_WRITE, &key),
            STATUS_SUCCESS);
  EXPECT_TRUE(host::RegistryStore::Instance().KeyExists(params));
  EXPECT_EQ(host::KernelKeyPath(key), params);
  EXPECT_EQ(host::KernelKeyAccess(key), ACCESS_MASK(STANDARD_RIGHTS_WRITE));

  // Kernel-mode callers are not access-checked: a write through a handle
  // opened for READ_CONTROL only succeeds.
  UNICODE_STRING value;
  RtlInitUnicodeString(&value, u"PORTS");
  DWORD ports = 8;
  EXPECT_EQ(ZwSetValueKey(key, &value, 0, REG_DWORD, &ports, sizeof ports), STATUS_SUCCESS);
  EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
  EXPECT_EQ(host::RegistryStore::Instance().GetValue(params, "PORTS")->Dword(), 8u);
}

TEST_F(DeviceKeyTest, DriverKeyAndInvalidRequests) {
  HANDLE key = nullptr;
  EXPECT_EQ(IoOpenDeviceRegistryKey(pdo_, PLUGPLAY_REGKEY_DRIVER, KEY_READ, &key),
            STATUS_OBJECT_NAME_NOT_FOUND);
  auto& store = host::RegistryStore::Instance();
  store.SetString(kCardKey, "Driver", "{4d36e978-e325-11ce-bfc1-08002be10318}\\0003");
  const std::string classKey =
      "SYSTEM\\CurrentControlSet\\Control\\Class\\{4d36e978-e325-11ce-bfc1-08002be10318}\\0003";
  store.CreateKey(classKey);
  ASSERT_EQ(IoOpenDeviceRegistryKey(pdo_, PLUGPLAY_REGKEY_DRIVER, KEY_READ, &key), STATUS_SUCCESS);
  EXPECT_EQ(host::KernelKeyPath(key), classKey);
  ZwClose(key);

  EXPECT_EQ(IoOpenDeviceRegistryKey(pdo_, 0, KEY_READ, &key), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(IoOpenDeviceRegistryKey(pdo_, PLUGPLAY_REGKEY_DEVICE | PLUGPLAY_REGKEY_DRIVER,
                                    KEY_READ, &key),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(IoOpenDeviceRegistryKey(NewDevice(), PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key),
            STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_TRUE(OneFailureMentioning("PDO"));

  host::FailIoCallNth(host::IoRoutine::OpenDeviceRegistryKey, 1, STATUS_ACCESS_DENIED);
  EXPECT_EQ(IoOpenDeviceRegistryKey(pdo_, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key),
            STATUS_ACCESS_DENIED);
  EXPECT_EQ(host::OpenKernelKeyCount(), 0u);
}

TEST_F(DeviceKeyTest, UnclosedHandleIsALeak) {
  HANDLE key = nullptr;
  ASSERT_EQ(IoOpenDeviceRegistryKey(pdo_, PLUGPLAY_REGKEY_DEVICE, KEY_ALL_ACCESS, &key),
            STATUS_SUCCESS);
  auto findings = host::IoEndChecks();
  ASSERT_EQ(findings.size(), 1u);
  EXPECT_NE(findings[0].find("Device Parameters"), std::string::npos);
  EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
  EXPECT_TRUE(host::IoEndChecks().empty());
}

// ---------------------------------------------------------------------------

class PowerTest : public IoTest {};

TEST_F(PowerTest, ReturnsPreviousStatePerDeviceAndType) {
  PDEVICE_OBJECT a = NewDevice(), b = NewDevice();
  POWER_STATE d3;
  d3.DeviceState = PowerDeviceD3;
  EXPECT_EQ(PoSetPowerState(a, DevicePowerState, d3).DeviceState, PowerDeviceD0);
  POWER_STATE d0;
  d0.DeviceState = PowerDeviceD0;
  EXPECT_EQ(PoSetPowerState(b, DevicePowerState, d0).DeviceState, PowerDeviceD0);
  POWER_STATE s3;
  s3.SystemState = PowerSystemSleeping3;
  EXPECT_EQ(PoSetPowerState(a, SystemPowerState, s3).SystemState, PowerSystemWorking);
  EXPECT_EQ(PoSetPowerState(a, DevicePowerState, d0).DeviceState, PowerDeviceD3);
  EXPECT_EQ(host::RecordedSystemPowerState(a), PowerSystemSleeping3);

  auto log = host::PoSetPowerStateLog();
  ASSERT_EQ(log.size(), 4u);
  EXPECT_EQ(log[0].device, a);
  EXPECT_EQ(log[0].state.DeviceState, PowerDeviceD3);
  EXPECT_EQ(log[2].type, SystemPowerState);
  EXPECT_EQ(log[3].previous.DeviceState, PowerDeviceD3);
}

}  // namespace
}  // namespace kiotest
