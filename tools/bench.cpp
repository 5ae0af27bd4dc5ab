#include "bench.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <memory>

#include <nlohmann/json.hpp>

#include "host/io.h"
#include "host/kernel.h"
#include "host/machine.h"
#include "host/verifier.h"
#include "registry.h"
#include "serhubpp_res.h"
#include "win32/host_win32.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
extern "C" BOOL WINAPI LibMain(HINSTANCE Module, DWORD Reason, LPVOID Reserved);
extern "C" BOOL WINAPI EnumPropPages(PSP_PROPSHEETPAGE_REQUEST Request,
                                     LPFNADDPROPSHEETPAGE AddPage, LPARAM Param);

namespace sim {

namespace {

double CpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return now.tv_sec + now.tv_nsec * 1e-9;
}

constexpr int kPortList = 1000;  // the list box of the "Ports" page

host::CardModel ModelOf(int ports) {
  switch (ports) {
    case 2:
      return host::CardModel::Ports2;
    case 4:
      return host::CardModel::Ports4;
    case 16:
      return host::CardModel::Ports16;
    case 32:
      return host::CardModel::Ports32;
    default:
      return host::CardModel::Ports8;
  }
}

void Expect(LifeCost& cost, bool ok, const std::string& what) {
  if (!ok) cost.problems.push_back(what);
}

void Expect(LifeCost& cost, NTSTATUS status, const std::string& what) {
  if (!NT_SUCCESS(status)) cost.problems.push_back(what + ": " + host::StatusText(status));
}

// The card's properties as Device Manager opens them: the "Ports" page shown,
// then OK, which applies the page (PSN_APPLY) and closes the sheet; the
// page's release saves the line modes.
void OpenAndAcceptSheet(host::DeviceNode& node, LifeCost& cost) {
  HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
  SP_DEVINFO_DATA device = {};
  device.cbSize = sizeof device;
  if (!SetupDiOpenDeviceInfoA(set, node.InstancePath().c_str(), nullptr, 0, &device)) {
    Expect(cost, false, "SetupDiOpenDeviceInfoA refused the card");
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
    Expect(cost, offered && sheet.PageCount() == 1, "EnumPropPages offered no page");
    if (sheet.PageCount() == 1) {
      Expect(cost, sheet.Show(), "the sheet did not show");
      cost.pageLines = host::ListItems(GetDlgItem(sheet.PageWindow(0), kPortList)).size();
      if (sheet.ApplyEnabled()) Expect(cost, sheet.PressApply(), "Apply was refused");
      Expect(cost, sheet.PressOk(), "OK was refused");
    }
  }
  SetupDiDestroyDeviceInfoList(set);
}

}  // namespace

namespace {

double MedianRate(const std::vector<BenchRound>& rounds, bool cpu) {
  std::vector<double> rates;
  for (const auto& r : rounds) {
    const double time = cpu ? r.cpuSeconds : r.seconds;
    if (r.lives && time > 0) rates.push_back(r.lives / time);
  }
  if (rates.empty()) return 0;
  std::sort(rates.begin(), rates.end());
  const size_t mid = rates.size() / 2;
  return rates.size() % 2 ? rates[mid] : (rates[mid - 1] + rates[mid]) / 2;
}

}  // namespace

double BenchRow::LivesPerSecond() const { return MedianRate(rounds, false); }
double BenchRow::LivesPerCpuSecond() const { return MedianRate(rounds, true); }

double MarginalMicroseconds(const BenchRow& fewer, const BenchRow& more) {
  if (more.ports == fewer.ports) return 0;
  return (more.MicrosecondsPerLife() - fewer.MicrosecondsPerLife()) / (more.ports - fewer.ports);
}

LifeCost RunBenchLife(int ports) {
  LifeCost cost;
  auto& store = host::RegistryStore::Instance();
  store.Reset();
  host::ResetKernel();
  host::ResetIo();
  host::ResetMachine();
  host::ResetWin32();
  const uint64_t registryBefore = store.OperationCount();

  Expect(cost, host::LoadDriver(DriverEntry, "serhub"), "DriverEntry");
  HINSTANCE module = host::CreateResourceModule(serhubpp::kResourceBytes, serhubpp::kResourceSize);
  Expect(cost, LibMain(module, DLL_PROCESS_ATTACH, nullptr) != FALSE, "LibMain refused the attach");

  host::Card& card = host::CreateCard(host::SetupFor(ModelOf(ports)));
  host::DeviceNode& node = host::PlugCard(card, 2, 13, 0);
  Expect(cost, node.addStatus, "AddDevice");
  Expect(cost, host::QueryResourceRequirements(node), "IRP_MN_QUERY_RESOURCE_REQUIREMENTS");
  Expect(cost, host::FilterResourceRequirements(node), "IRP_MN_FILTER_RESOURCE_REQUIREMENTS");
  Expect(cost, host::StartDevice(node), "IRP_MN_START_DEVICE");
  if (node.State() == host::NodeState::Started) {
    Expect(cost, host::QueryBusRelations(node), "IRP_MN_QUERY_DEVICE_RELATIONS");
    cost.portsStarted = node.Children().size();
    OpenAndAcceptSheet(node, cost);
    NTSTATUS query = host::QueryRemove(node);
    Expect(cost, query, "IRP_MN_QUERY_REMOVE_DEVICE");
    if (NT_SUCCESS(query)) Expect(cost, host::RemoveDevice(node), "IRP_MN_REMOVE_DEVICE");
  }
  // A whole life: every port started and listed, the driver gone with the card.
  Expect(cost, cost.portsStarted == static_cast<size_t>(ports),
         std::to_string(cost.portsStarted) + " of " + std::to_string(ports) + " port devices");
  Expect(cost, cost.pageLines == static_cast<size_t>(ports),
         std::to_string(cost.pageLines) + " of " + std::to_string(ports) + " lines on the page");
  Expect(cost, host::LoadedDriver("serhub") == nullptr, "the driver was not unloaded with its card");
  if (host::LoadedDriver("serhub")) host::UnloadDriver("serhub");
  LibMain(module, DLL_PROCESS_DETACH, nullptr);
  host::DestroyResourceModule(module);

  cost.poolAllocations = host::PoolAllocationCount();
  cost.irps = host::IrpAllocationCount();
  cost.registryOperations = store.OperationCount() - registryBefore;
  for (auto list : {host::MachineEndChecks(), host::IoEndChecks(), host::KernelEndChecks(),
                    host::VerifierFailures(), host::Win32EndChecks()})
    cost.problems.insert(cost.problems.end(), list.begin(), list.end());
  host::TearDownMachine();
  return cost;
}

int RunBench(const BenchOptions& options, std::FILE* out) {
  using Clock = std::chrono::steady_clock;
  std::vector<BenchRow> rows;
  std::vector<std::string> problems;
  for (int ports : options.ports) {
    BenchRow row;
    row.ports = ports;
    row.cost = RunBenchLife(ports);  // warm-up: first-use costs stay out of the figures
    rows.push_back(row);
  }
  const int rounds = std::max(1, options.rounds);
  const auto slice = std::chrono::duration<double>(options.seconds / rounds);
  bool whole = true;
  for (const auto& row : rows) whole = whole && row.cost.problems.empty();
  for (int round = 0; whole && round < rounds; ++round) {
    for (auto& row : rows) {
      BenchRound turn;
      const auto start = Clock::now();
      const double cpuStart = CpuSeconds();
      auto elapsed = Clock::duration::zero();
      while (row.cost.problems.empty() && (turn.lives == 0 || elapsed < slice)) {
        row.cost = RunBenchLife(row.ports);
        ++turn.lives;
        elapsed = Clock::now() - start;
      }
      turn.seconds = std::chrono::duration<double>(elapsed).count();
      turn.cpuSeconds = CpuSeconds() - cpuStart;
      row.lives += turn.lives;
      row.seconds += turn.seconds;
      row.cpuSeconds += turn.cpuSeconds;
      row.rounds.push_back(turn);
      whole = whole && row.cost.problems.empty();
    }
  }
  for (const auto& row : rows)
    for (const auto& p : row.cost.problems) problems.push_back(std::to_string(row.ports) + "-port card: " + p);

  if (options.json) {
    nlohmann::json result = nlohmann::json::array();
    for (const auto& row : rows) {
      result.push_back({{"ports", row.ports},
                        {"lives", row.lives},
                        {"seconds", row.seconds},
                        {"cpu_seconds", row.cpuSeconds},
                        {"lives_per_second", row.LivesPerSecond()},
                        {"lives_per_cpu_second", row.LivesPerCpuSecond()},
                        {"us_per_life", row.MicrosecondsPerLife()},
                        {"us_per_port", row.MicrosecondsPerPort()},
                        {"us_per_added_port", &row == &rows.front() ? 0.0 : MarginalMicroseconds((&row)[-1], row)},
                        {"pool_allocations_per_life", row.cost.poolAllocations},
                        {"registry_operations_per_life", row.cost.registryOperations},
                        {"irps_per_life", row.cost.irps},
                        {"rounds", row.rounds.size()}});
    }
    nlohmann::json doc = {{"bench", result}, {"problems", problems}};
    std::fprintf(out, "%s\n", doc.dump(2).c_str());
  } else {
    std::fprintf(out,
                 "whole lives: load, add, start, enumerate and install the ports, the \"Ports\" sheet\n"
                 "opened and accepted, query remove and removal, unload (one card, in process);\n"
                 "the cards take %d turns, each rate is the median turn's\n\n",
                 rounds);
    std::fprintf(out, "%-22s", "ports");
    for (const auto& row : rows) std::fprintf(out, "%12d", row.ports);
    std::fprintf(out, "\n");
    auto line = [&](const char* name, auto value, const char* format) {
      std::fprintf(out, "%-22s", name);
      for (const auto& row : rows) std::fprintf(out, format, value(row));
      std::fprintf(out, "\n");
    };
    line("lives", [](const BenchRow& r) { return static_cast<unsigned long long>(r.lives); }, "%12llu");
    line("lives/s", [](const BenchRow& r) { return r.LivesPerSecond(); }, "%12.0f");
    line("lives/CPU s", [](const BenchRow& r) { return r.LivesPerCpuSecond(); }, "%12.0f");
    line("us/life", [](const BenchRow& r) { return r.MicrosecondsPerLife(); }, "%12.1f");
    // What one more port costs, from the column before: flat when nothing
    // in a life grows faster than the number of ports.
    std::fprintf(out, "%-22s%12s", "us/added port", "");
    for (size_t i = 1; i < rows.size(); ++i)
      std::fprintf(out, "%12.2f", MarginalMicroseconds(rows[i - 1], rows[i]));
    std::fprintf(out, "\n");
    // Against the first step: within a few percent when the cost per port is flat.
    if (rows.size() > 2 && MarginalMicroseconds(rows[0], rows[1]) > 0) {
      std::fprintf(out, "%-22s%24s", "  change from first", "");
      for (size_t i = 2; i < rows.size(); ++i)
        std::fprintf(out, "%+11.0f%%",
                     100 * (MarginalMicroseconds(rows[i - 1], rows[i]) / MarginalMicroseconds(rows[0], rows[1]) - 1));
      std::fprintf(out, "\n");
    }
    line("pool allocations/life", [](const BenchRow& r) { return r.cost.poolAllocations; }, "%12zu");
    line("registry ops/life",
         [](const BenchRow& r) { return static_cast<unsigned long long>(r.cost.registryOperations); },
         "%12llu");
    line("IRPs/life", [](const BenchRow& r) { return r.cost.irps; }, "%12zu");
  }
  for (const auto& p : problems) std::fprintf(options.json ? stderr : out, "  problem: %s\n", p.c_str());
  return problems.empty() ? 0 : 1;
}

}  // namespace sim
