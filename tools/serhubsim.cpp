// serhubsim: runs the serhub bus driver and the serhubpp property page on the
// host stand-in through a card's whole life and reports what a driver
// engineer would look at: statuses, register writes, port devices, the
// registry values the serial port driver reads, the "Ports" page and the
// PORTMODE values written back, power and Plug and Play transitions, and
// anything the verifier found.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "host/io.h"
#include "host/kernel.h"
#include "host/machine.h"
#include "host/verifier.h"
#include "registry.h"
#include "serhub_registry.h"
#include "serhubpp_res.h"
#include "win32/host_win32.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
extern "C" BOOL WINAPI LibMain(HINSTANCE Module, DWORD Reason, LPVOID Reserved);
extern "C" BOOL WINAPI EnumPropPages(PSP_PROPSHEETPAGE_REQUEST Request,
                                     LPFNADDPROPSHEETPAGE AddPage, LPARAM Param);

namespace {

struct Options {
  host::CardModel model = host::CardModel::Ports8;
  std::optional<uint32_t> subsystem;  // an unknown card
  ULONG bus = 2, device = 13, function = 1;
  bool memory = false;
  std::array<bool, 4> modules = {true, true, true, true};
  std::map<int, int> modes;  // port index -> line mode chosen on the page
  bool surprise = false;
  bool quiet = false;
};

void Usage(FILE* out) {
  std::fprintf(out,
      "usage: serhubsim [options]\n"
      "       serhubsim keypath BUS DEVICE FUNCTION PORT\n"
      "\n"
      "Runs a card's whole life on the host stand-in: driver load, AddDevice, start,\n"
      "port enumeration and installation, the \"Ports\" property page, power, stop and\n"
      "restart, removal and unload.\n"
      "\n"
      "options:\n"
      "  --model M        2, 4, 8, 16, 32, 2m, 4m (multi-mode), 32mem (memory BAR 2)\n"
      "                   or a subsystem dword in hex (0x...) for an unknown card; default 8\n"
      "  --location B:D:F PCI bus, device and function (decimal); default 2:13:1\n"
      "  --memory         the card's register ranges lie in memory space\n"
      "  --modules MASK   32-port card: fitted expansion modules, e.g. 1101; default 1111\n"
      "  --set P=MODE     on the property page, give port P (1-based) the line mode\n"
      "                   rs232, rs485half, rs485full or rs422 (repeatable)\n"
      "  --surprise       end with a surprise removal (card pulled) instead of a removal\n"
      "  --quiet          print only the summary\n");
}

bool ParseModel(const std::string& text, Options& options) {
  static const std::map<std::string, host::CardModel> models = {
      {"2", host::CardModel::Ports2},        {"4", host::CardModel::Ports4},
      {"8", host::CardModel::Ports8},        {"16", host::CardModel::Ports16},
      {"32", host::CardModel::Ports32},      {"2m", host::CardModel::Ports2MultiMode},
      {"4m", host::CardModel::Ports4MultiMode}, {"32mem", host::CardModel::Ports32MemoryBar},
  };
  auto it = models.find(text);
  if (it != models.end()) {
    options.model = it->second;
    return true;
  }
  if (text.rfind("0x", 0) == 0 && text.size() > 2) {
    char* end = nullptr;
    unsigned long value = std::strtoul(text.c_str() + 2, &end, 16);
    if (*end == '\0') {
      options.subsystem = static_cast<uint32_t>(value);
      return true;
    }
  }
  return false;
}

int ParseMode(const std::string& text) {
  if (text == "rs232") return SERHUB_PORTMODE_RS232;
  if (text == "rs485half") return SERHUB_PORTMODE_RS485_HALF;
  if (text == "rs485full") return SERHUB_PORTMODE_RS485_FULL;
  if (text == "rs422") return SERHUB_PORTMODE_RS422;
  return -1;
}

const char* ModeName(uint32_t mode) {
  switch (mode) {
    case SERHUB_PORTMODE_RS232: return "RS232";
    case SERHUB_PORTMODE_RS485_HALF: return "RS485 HALF";
    case SERHUB_PORTMODE_RS485_FULL: return "RS485 FULL";
    case SERHUB_PORTMODE_RS422: return "RS422";
  }
  return "?";
}

std::optional<Options> ParseArguments(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto next = [&]() -> std::optional<std::string> {
      if (i + 1 >= argc) return std::nullopt;
      return std::string(argv[++i]);
    };
    if (arg == "--model") {
      auto v = next();
      if (!v || !ParseModel(*v, options)) return std::nullopt;
    } else if (arg == "--location") {
      auto v = next();
      unsigned b, d, f;
      if (!v || std::sscanf(v->c_str(), "%u:%u:%u", &b, &d, &f) != 3) return std::nullopt;
      options.bus = b;
      options.device = d;
      options.function = f;
    } else if (arg == "--memory") {
      options.memory = true;
    } else if (arg == "--modules") {
      auto v = next();
      if (!v || v->size() != 4) return std::nullopt;
      for (int m = 0; m < 4; ++m) {
        if ((*v)[m] != '0' && (*v)[m] != '1') return std::nullopt;
        options.modules[m] = (*v)[m] == '1';
      }
    } else if (arg == "--set") {
      auto v = next();
      if (!v) return std::nullopt;
      auto eq = v->find('=');
      if (eq == std::string::npos) return std::nullopt;
      int port = std::atoi(v->substr(0, eq).c_str());
      int mode = ParseMode(v->substr(eq + 1));
      if (port < 1 || port > 32 || mode < 0) return std::nullopt;
      options.modes[port - 1] = mode;
    } else if (arg == "--surprise") {
      options.surprise = true;
    } else if (arg == "--quiet") {
      options.quiet = true;
    } else {
      return std::nullopt;
    }
  }
  return options;
}

class Report {
 public:
  explicit Report(bool quiet) : quiet_(quiet) {}
  void Section(const std::string& title) {
    if (!quiet_) std::printf("\n== %s\n", title.c_str());
  }
  template <typename... Args>
  void Line(const char* format, Args... args) {
    if (!quiet_) {
      std::printf(format, args...);
      std::printf("\n");
    }
  }
  void Check(bool ok, const std::string& what) {
    if (!ok) failures_.push_back(what);
  }
  const std::vector<std::string>& Failures() const { return failures_; }

 private:
  bool quiet_;
  std::vector<std::string> failures_;
};

std::string Status(NTSTATUS status) { return host::StatusText(status); }

void PrintRegisterWrites(Report& report, host::Card& card) {
  std::string line;
  for (const auto& access : card.Writes(host::CardRange::Intc)) {
    char text[32];
    std::snprintf(text, sizeof text, "%s%u<-%02X", line.empty() ? "" : " ", access.offset,
                  access.value);
    line += text;
  }
  report.Line("  control register writes: %s", line.empty() ? "(none)" : line.c_str());
}

void PrintPorts(Report& report, host::DeviceNode& node) {
  for (host::DeviceNode* port : node.Children()) {
    report.Line("  port %s  %-6s  %s", port->instanceId.c_str(), port->PortName().c_str(),
                host::NodeStateName(port->State()));
    auto reading = port->LastSerialReading();
    if (!reading) {
      report.Line("    (the serial port driver read nothing)");
      continue;
    }
    std::string values;
    for (const auto& value : reading->values) {
      char text[48];
      if (NT_SUCCESS(value.status))
        std::snprintf(text, sizeof text, " %s=0x%X", value.name.c_str(), value.data);
      else
        std::snprintf(text, sizeof text, " %s=missing", value.name.c_str());
      values += text;
    }
    report.Line("   %s", values.c_str());
  }
}

// The "Ports" page for the card: lists the lines, applies the chosen modes
// through the "Change port" dialog, and accepts the sheet.
void RunPropertyPage(Report& report, host::DeviceNode& node, const Options& options) {
  report.Section("property page");
  HINSTANCE module =
      host::CreateResourceModule(serhubpp::kResourceBytes, serhubpp::kResourceSize);
  LibMain(module, DLL_PROCESS_ATTACH, nullptr);

  HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
  SP_DEVINFO_DATA device = {};
  device.cbSize = sizeof device;
  if (!SetupDiOpenDeviceInfoA(set, node.InstancePath().c_str(), nullptr, 0, &device)) {
    report.Check(false, "SetupDiOpenDeviceInfoA failed for the card");
    SetupDiDestroyDeviceInfoList(set);
    return;
  }
  SP_PROPSHEETPAGE_REQUEST request = {};
  request.cbSize = sizeof request;
  request.PageRequested = SPPSR_ENUM_ADV_DEVICE_PROPERTIES;
  request.DeviceInfoSet = set;
  request.DeviceInfoData = &device;
  {
    host::PropertySheet sheet("Card properties");
    BOOL offered = EnumPropPages(&request, sheet.AddPageCallback(), sheet.AddPageParam());
    report.Line("  EnumPropPages: %s, %zu page(s)", offered ? "TRUE" : "FALSE", sheet.PageCount());
    if (sheet.PageCount() == 0) {
      SetupDiDestroyDeviceInfoList(set);
      return;
    }
    sheet.Show();
    report.Line("  tab \"%s\"", sheet.PageTitle(0).c_str());
    HWND list = GetDlgItem(sheet.PageWindow(0), 1000);
    auto lines = host::ListItems(list);
    for (const auto& line : lines) report.Line("  | %s", line.c_str());

    for (const auto& [port, mode] : options.modes) {
      char prefix[24];
      std::snprintf(prefix, sizeof prefix, "port-%d ", port + 1);
      int index = -1;
      lines = host::ListItems(list);
      for (size_t i = 0; i < lines.size(); ++i)
        if (lines[i].rfind(prefix, 0) == 0) index = static_cast<int>(i);
      if (index < 0) {
        report.Line("  port %d has no line on the page (no COM name)", port + 1);
        continue;
      }
      // A radio button the port's type does not allow is disabled: the
      // click does nothing and the dialog keeps the port's mode.
      host::User().DoubleClickListItem(1000, index).Click(1007 + mode).Click(IDOK);
      sheet.Run();
      lines = host::ListItems(list);
      std::string now = index < static_cast<int>(lines.size()) ? lines[index] : "";
      report.Line("  Change port for port %d, %s asked: %s", port + 1, ModeName(mode),
                  now.c_str());
    }
    if (!options.modes.empty()) {
      report.Line("  lines after the changes:");
      for (const auto& line : host::ListItems(list)) report.Line("  | %s", line.c_str());
    }
    sheet.PressOk();
  }
  SetupDiDestroyDeviceInfoList(set);

  auto& store = host::RegistryStore::Instance();
  for (host::DeviceNode* port : node.Children()) {
    auto mode = store.GetValue(port->DeviceParametersPath(), SERHUB_PORTMODE_A);
    auto type = store.GetValue(port->DeviceParametersPath(), SERHUB_PORTTYPE_A);
    std::string modeText = "(not written)";
    if (mode) modeText = std::to_string(mode->Dword()) + " (" + ModeName(mode->Dword()) + ")";
    report.Line("  %s PORTTYPE %u PORTMODE %s", port->instanceId.c_str(),
                type ? type->Dword() : 0u, modeText.c_str());
  }
  for (const auto& [port, mode] : options.modes) {
    for (host::DeviceNode* child : node.Children()) {
      if (child->instanceId.size() == 8 &&
          std::strtoul(child->instanceId.substr(6).c_str(), nullptr, 16) ==
              static_cast<unsigned long>(port)) {
        auto type = store.GetValue(child->DeviceParametersPath(), SERHUB_PORTTYPE_A);
        auto written = store.GetValue(child->DeviceParametersPath(), SERHUB_PORTMODE_A);
        bool selectable = type && type->Dword() != 0;
        if (selectable && mode != SERHUB_PORTMODE_RS232)
          report.Check(written && written->Dword() == static_cast<uint32_t>(mode),
                       "PORTMODE of port " + std::to_string(port + 1) + " was not saved");
      }
    }
  }
}

void PowerCycle(Report& report, host::DeviceNode& node) {
  report.Section("power");
  for (host::DeviceNode* port : node.Children()) {
    auto d3 = host::SetDevicePower(*port, PowerDeviceD3);
    auto d0 = host::SetDevicePower(*port, PowerDeviceD0);
    report.Check(NT_SUCCESS(d3.status) && NT_SUCCESS(d0.status),
                 "device power on port " + port->instanceId);
  }
  auto query = host::QuerySystemPower(node, PowerSystemSleeping3);
  auto sleep = host::SetSystemPower(node, PowerSystemSleeping3);
  auto wake = host::SetSystemPower(node, PowerSystemWorking, PowerActionNone);
  report.Line("  ports D3 and back to D0: %zu port(s)", node.Children().size());
  report.Line("  card: query S3 %s, set S3 %s, set S0 %s", Status(query.status).c_str(),
              Status(sleep.status).c_str(), Status(wake.status).c_str());
}

int Simulate(const Options& options) {
  Report report(options.quiet);
  host::RegistryStore::Instance().Reset();
  host::ResetKernel();
  host::ResetIo();
  host::ResetMachine();
  host::ResetWin32();

  report.Section("load");
  NTSTATUS load = host::LoadDriver(DriverEntry, "serhub");
  report.Line("  DriverEntry: %s", Status(load).c_str());
  if (!NT_SUCCESS(load)) return 1;

  host::CardSetup setup = host::SetupFor(options.model);
  if (options.subsystem) setup.subsystem = *options.subsystem;
  setup.uart.memorySpace = setup.intc.memorySpace = options.memory;
  setup.modules = options.modules;
  host::Card& card = host::CreateCard(setup);

  report.Section("plug and start");
  host::DeviceNode& node = host::BringUpCard(card, options.bus, options.device, options.function);
  report.Line("  card %s at %s", node.InstancePath().c_str(), node.Pci()->LocationText().c_str());
  // The node's statuses read STATUS_PENDING for requests never sent.
  auto sent = [](NTSTATUS status) {
    return status == STATUS_PENDING ? std::string("not sent") : Status(status);
  };
  report.Line("  AddDevice %s, filter %s, start %s, bus relations %s",
              sent(node.addStatus).c_str(), sent(node.filterStatus).c_str(),
              sent(node.startStatus).c_str(), sent(node.relationsStatus).c_str());
  auto ports = host::RegistryStore::Instance().GetValue(node.DeviceParametersPath(), "PORTS");
  report.Line("  PORTS = %s", ports ? std::to_string(ports->Dword()).c_str() : "(not written)");
  report.Line("  configuration reads: %d", card.ConfigReads());
  PrintRegisterWrites(report, card);
  bool started = node.State() == host::NodeState::Started;
  size_t portsAtStart = node.Children().size();
  report.Line("  card state: %s", host::NodeStateName(node.State()));

  if (started) {
    report.Section("port devices");
    PrintPorts(report, node);
    RunPropertyPage(report, node, options);
    PowerCycle(report, node);

    report.Section("stop and restart");
    card.ClearAccessLog();
    NTSTATUS queryStop = host::QueryStop(node);
    NTSTATUS stop = host::StopDevice(node);
    report.Line("  query stop %s, stop %s", Status(queryStop).c_str(), Status(stop).c_str());
    PrintRegisterWrites(report, card);
    card.ClearAccessLog();
    NTSTATUS restart = host::StartDevice(node);
    NTSTATUS relations = host::QueryBusRelations(node);
    report.Line("  start %s, bus relations %s, %zu port(s)", Status(restart).c_str(),
                Status(relations).c_str(), node.Children().size());
    PrintRegisterWrites(report, card);
    report.Check(NT_SUCCESS(restart), "restart failed");
  }

  if (node.State() != host::NodeState::Removed) {
    report.Section(options.surprise ? "surprise removal" : "removal");
    card.ClearAccessLog();
    NTSTATUS removal = options.surprise ? host::UnplugCard(node) : host::QueryAndRemove(node);
    report.Line("  %s", Status(removal).c_str());
    PrintRegisterWrites(report, card);
  } else {
    report.Section("removal");
    report.Line("  the failed start was followed by the removal of the card's stack");
  }
  report.Line("  driver unloaded: %s", host::LoadedDriver("serhub") ? "no" : "yes");
  if (host::LoadedDriver("serhub")) host::UnloadDriver("serhub");

  std::vector<std::string> findings;
  for (auto list : {host::MachineEndChecks(), host::IoEndChecks(), host::KernelEndChecks(),
                    host::VerifierFailures(), host::Win32EndChecks()})
    findings.insert(findings.end(), list.begin(), list.end());
  findings.insert(findings.end(), report.Failures().begin(), report.Failures().end());

  std::printf("\nsummary: card %08X, %s with %zu port device(s), %zu finding(s)\n",
              card.Subsystem(), started ? "started" : "not started", portsAtStart,
              findings.size());
  for (const auto& finding : findings) std::printf("  finding: %s\n", finding.c_str());
  host::TearDownMachine();
  // Give back everything the stand-in still keeps (freed pool kept out of
  // reuse, device objects, windows, keys), so that a leak checker run on the
  // simulator sees only what the package itself leaked.
  host::ResetWin32();
  host::ResetMachine();
  host::ResetIo();
  host::ResetKernel();
  host::RegistryStore::Instance().Reset();
  return findings.empty() ? 0 : 1;
}

int KeyPath(char** argv) {
  unsigned bus = std::strtoul(argv[2], nullptr, 10);
  unsigned dev = std::strtoul(argv[3], nullptr, 10);
  unsigned fn = std::strtoul(argv[4], nullptr, 10);
  unsigned port = std::strtoul(argv[5], nullptr, 10);
  char location[16];
  std::snprintf(location, sizeof location, "%02X%02X%02X", bus & 0xFF, dev & 0xFF, fn & 0xFF);
  char path[256];
  std::snprintf(path, sizeof path, SERHUB_PORT_KEY_FORMAT, location, port & 0xFF);
  std::printf("instance ID %s%02X\nHKEY_LOCAL_MACHINE\\%s\n", location, port & 0xFF, path);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 6 && std::strcmp(argv[1], "keypath") == 0) return KeyPath(argv);
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    Usage(stdout);
    return 0;
  }
  auto options = ParseArguments(argc, argv);
  if (!options) {
    Usage(stderr);
    return 2;
  }
  return Simulate(*options);
}
