// Installs the x64 driver package (run with wine64) the way the Plug and
// Play installer does for a new device, on a root-enumerated test device
// whose hardware ID is the INF's, then takes it away again:
//   1. creates the device node and registers it;
//   2. builds the driver list from the package's INF alone and checks that
//      the INF offers the card's model;
//   3. runs the class installer's steps up to DIF_INSTALLDEVICE and checks
//      the result: files copied, the kernel service created and tied to the
//      device, the device in the MultiportSerial class, EnumPropPages32 in
//      the device's driver key;
//   4. waits for the service to run (serhub.sys loaded, DriverEntry
//      succeeded; the device's AddDevice then runs in the driver host);
//   5. removes the device (DIF_REMOVE), stops the service (the driver is
//      unloaded) and checks both.
// What happened inside the driver host is in Wine's own trace, which the
// runner checks; this program checks what an installer can see.
//
// Under Wine the card's start cannot run: the root bus gives the test device
// no configuration space and no resources, IoGetDeviceProperty answers the
// location's size query with a Win32 code (0x7A) instead of
// STATUS_BUFFER_TOO_SMALL, so AddDevice fails with
// STATUS_INSUFFICIENT_RESOURCES as the driver's rules say for any other
// answer; Wine sends no power requests, refuses ZwSetValueKey through a key
// opened with 0x00020000, and x64 port I/O ends the driver host. The host
// stand-in's tests cover all of that; here the package is installed, the
// driver loaded, its AddDevice run and failed cleanly, the device removed and
// the driver unloaded.
//
// usage: installtest.exe PACKAGE-DIRECTORY HARDWARE-ID
// Exit status 0 when every check holds; every failed check prints a line.
#include <windows.h>
#include <cfgmgr32.h>
#include <setupapi.h>

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include <string>

namespace {

int failures = 0;

bool expect(bool condition, const char *format, ...) {
  if (condition) return true;
  va_list args;
  va_start(args, format);
  printf("FAIL ");
  vprintf(format, args);
  printf(" (last error 0x%lX)\n", GetLastError());
  va_end(args);
  ++failures;
  return false;
}

const GUID kMultiportSerial = {0x50906cb8, 0xba12, 0x11d1,
                               {0xbf, 0x5d, 0x00, 0x00, 0xf8, 0x05, 0xf5, 0x30}};

// One step of the class installer; the default action counts as done.
bool install_step(DI_FUNCTION function, const char *name, HDEVINFO set, SP_DEVINFO_DATA *device) {
  if (SetupDiCallClassInstaller(function, set, device) || GetLastError() == ERROR_DI_DO_DEFAULT) {
    printf("%s done\n", name);
    return true;
  }
  return expect(false, "%s", name);
}

long file_size(const std::string &path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return -1;
  return (long)data.nFileSizeLow;
}

std::string device_property(HDEVINFO set, SP_DEVINFO_DATA *device, DWORD property) {
  char text[512] = "";
  if (!SetupDiGetDeviceRegistryPropertyA(set, device, property, nullptr, (BYTE *)text,
                                         sizeof text - 1, nullptr)) {
    return "";
  }
  return text;
}

DWORD service_state(SC_HANDLE service) {
  SERVICE_STATUS status = {};
  return QueryServiceStatus(service, &status) ? status.dwCurrentState : 0;
}

DWORD wait_for_state(SC_HANDLE service, DWORD wanted) {
  DWORD state = 0;
  for (int i = 0; i < 150 && (state = service_state(service)) != wanted; ++i) Sleep(100);
  return state;
}

}  // namespace

int main(int argc, char **argv) {
  setvbuf(stdout, nullptr, _IONBF, 0);
  if (argc != 3) {
    printf("usage: %s PACKAGE-DIRECTORY HARDWARE-ID\n", argv[0]);
    return 2;
  }
  const std::string package = argv[1];
  const std::string inf = package + "\\serhub.inf";
  const char *hardware_id = argv[2];

  // 1. The test device, root-enumerated, with the INF's hardware ID.
  HDEVINFO set = SetupDiCreateDeviceInfoList(&kMultiportSerial, nullptr);
  SP_DEVINFO_DATA device = {sizeof device, {}, 0, 0};
  if (!expect(SetupDiCreateDeviceInfoA(set, "MULTIPORTSERIAL", &kMultiportSerial, nullptr, nullptr,
                                       DICD_GENERATE_ID, &device),
              "SetupDiCreateDeviceInfoA")) {
    return 1;
  }
  char ids[256] = {};
  snprintf(ids, sizeof ids - 2, "%s", hardware_id);  // REG_MULTI_SZ: two NULs at the end
  expect(SetupDiSetDeviceRegistryPropertyA(set, &device, SPDRP_HARDWAREID, (const BYTE *)ids,
                                           (DWORD)strlen(ids) + 2),
         "set the hardware ID");
  if (!install_step(DIF_REGISTERDEVICE, "DIF_REGISTERDEVICE", set, &device)) return 1;
  char instance[MAX_DEVICE_ID_LEN] = "";
  SetupDiGetDeviceInstanceIdA(set, &device, instance, sizeof instance, nullptr);
  printf("device %s with hardware ID %s\n", instance, hardware_id);

  // 2. The driver list from the package's INF alone.
  SP_DEVINSTALL_PARAMS_A params = {};
  params.cbSize = sizeof params;
  expect(SetupDiGetDeviceInstallParamsA(set, &device, &params), "SetupDiGetDeviceInstallParamsA");
  params.Flags |= DI_ENUMSINGLEINF;
  snprintf(params.DriverPath, sizeof params.DriverPath, "%s", inf.c_str());
  expect(SetupDiSetDeviceInstallParamsA(set, &device, &params), "SetupDiSetDeviceInstallParamsA");
  expect(SetupDiBuildDriverInfoList(set, &device, SPDIT_COMPATDRIVER),
         "SetupDiBuildDriverInfoList");
  SP_DRVINFO_DATA_A driver = {};
  driver.cbSize = sizeof driver;
  if (!expect(SetupDiEnumDriverInfoA(set, &device, SPDIT_COMPATDRIVER, 0, &driver),
              "the INF offers no driver for %s", hardware_id)) {
    return 1;
  }
  printf("INF accepted: \"%s\" from \"%s\"\n", driver.Description, driver.ProviderName);
  expect(strcmp(driver.Description, "Multi-port serial card") == 0, "driver description \"%s\"",
         driver.Description);
  expect(SetupDiEnumDriverInfoA(set, &device, SPDIT_COMPATDRIVER, 1, &driver) == FALSE,
         "the INF offers more than one driver");

  // 3. The installer's steps, as the Plug and Play installer runs them.
  const struct {
    DI_FUNCTION function;
    const char *name;
  } steps[] = {
      {DIF_SELECTBESTCOMPATDRV, "DIF_SELECTBESTCOMPATDRV"},
      {DIF_ALLOW_INSTALL, "DIF_ALLOW_INSTALL"},
      {DIF_INSTALLDEVICEFILES, "DIF_INSTALLDEVICEFILES"},
      {DIF_REGISTER_COINSTALLERS, "DIF_REGISTER_COINSTALLERS"},
      {DIF_INSTALLINTERFACES, "DIF_INSTALLINTERFACES"},
      {DIF_INSTALLDEVICE, "DIF_INSTALLDEVICE"},
  };
  for (const auto &step : steps) {
    if (!install_step(step.function, step.name, set, &device)) return 1;
  }

  char system[MAX_PATH];
  GetSystemDirectoryA(system, sizeof system);
  const std::string sys = std::string(system) + "\\drivers\\serhub.sys";
  const std::string dll = std::string(system) + "\\serhubpp.dll";
  expect(file_size(sys) > 0 && file_size(sys) == file_size(package + "\\serhub.sys"),
         "serhub.sys copied to %s", sys.c_str());
  expect(file_size(dll) > 0 && file_size(dll) == file_size(package + "\\serhubpp.dll"),
         "serhubpp.dll copied to %s", dll.c_str());
  std::string service_name = device_property(set, &device, SPDRP_SERVICE);
  expect(service_name == "serhub", "the device's service is \"%s\"", service_name.c_str());
  std::string class_name = device_property(set, &device, SPDRP_CLASS);
  expect(class_name == "MultiportSerial", "the device's class is \"%s\"", class_name.c_str());

  HKEY key = SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_READ);
  if (expect(key != INVALID_HANDLE_VALUE, "open the device's driver key")) {
    char value[256] = "";
    DWORD type = 0, size = sizeof value - 1;
    LONG result = RegQueryValueExA(key, "EnumPropPages32", nullptr, &type, (BYTE *)value, &size);
    expect(result == ERROR_SUCCESS && type == REG_SZ &&
               strcmp(value, "serhubpp.dll,EnumPropPages") == 0,
           "EnumPropPages32 is \"%s\" (type %lu, result %ld)", value, type, result);
    RegCloseKey(key);
  }

  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  SC_HANDLE service = manager ? OpenServiceA(manager, "serhub", SERVICE_ALL_ACCESS) : nullptr;
  if (!expect(service != nullptr, "the service serhub exists")) return 1;
  union {
    QUERY_SERVICE_CONFIGA config;
    char bytes[8192];
  } config;
  DWORD needed = 0;
  if (expect(QueryServiceConfigA(service, &config.config, sizeof config, &needed),
             "QueryServiceConfigA")) {
    printf("service: type %lu, start %lu, binary %s\n", config.config.dwServiceType,
           config.config.dwStartType, config.config.lpBinaryPathName);
    expect(config.config.dwServiceType == SERVICE_KERNEL_DRIVER, "service type %lu",
           config.config.dwServiceType);
    expect(config.config.dwStartType == SERVICE_DEMAND_START, "start type %lu",
           config.config.dwStartType);
    const char *binary = config.config.lpBinaryPathName;
    size_t length = strlen(binary);
    expect(length >= 10 && _stricmp(binary + length - 10, "serhub.sys") == 0,
           "service binary %s", binary);
  }

  // 4. The driver runs: installing the device started its service.
  DWORD state = wait_for_state(service, SERVICE_RUNNING);
  if (state != SERVICE_RUNNING) {
    // Not started by the installation: start it as the Plug and Play manager
    // would for the new device.
    printf("service state %lu after the installation; starting it\n", state);
    StartServiceA(service, 0, nullptr);
    state = wait_for_state(service, SERVICE_RUNNING);
  }
  expect(state == SERVICE_RUNNING, "serhub.sys is running (service state %lu)", state);
  printf("serhub.sys loaded, DriverEntry succeeded (service state %lu)\n", state);

  // 5. Away again: the device, then the driver.
  install_step(DIF_REMOVE, "DIF_REMOVE", set, &device);
  SetupDiDestroyDeviceInfoList(set);
  HDEVINFO present = SetupDiGetClassDevsA(&kMultiportSerial, nullptr, nullptr, 0);
  SP_DEVINFO_DATA other = {sizeof other, {}, 0, 0};
  bool still_there = false;
  for (DWORD i = 0; SetupDiEnumDeviceInfo(present, i, &other); ++i) {
    char id[MAX_DEVICE_ID_LEN] = "";
    SetupDiGetDeviceInstanceIdA(present, &other, id, sizeof id, nullptr);
    still_there = still_there || _stricmp(id, instance) == 0;
  }
  SetupDiDestroyDeviceInfoList(present);
  expect(!still_there, "the device %s is still registered", instance);

  SERVICE_STATUS status = {};
  expect(ControlService(service, SERVICE_CONTROL_STOP, &status), "stop the service");
  state = wait_for_state(service, SERVICE_STOPPED);
  expect(state == SERVICE_STOPPED, "serhub.sys unloaded (service state %lu)", state);
  printf("serhub.sys unloaded (service state %lu)\n", state);
  CloseServiceHandle(service);
  CloseServiceHandle(manager);

  printf("%s\n", failures == 0 ? "the package installs and goes away cleanly" : "FAILED");
  return failures == 0 ? 0 : 1;
}
