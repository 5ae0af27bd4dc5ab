// The fault sweep: the whole life of every card model (load, AddDevice,
// resource filter, start, enumeration and installation of the ports, a
// "Ports" sheet closed with OK after a line mode was changed, power, stop,
// restart, a port removed and reported again, surprise removal, removal,
// unload), first run clean to count its failure points, then once per
// failure point with exactly that call failing. After each run: no platform
// finding (leaked pool, IRPs, device objects, references, key handles,
// mappings, local memory, windows; any rule the verifier checks), the status
// the driver's rules give for that failure, and then the same life run again
// on the same machine, which must go as the clean run went.
#include <chrono>
#include <cstdio>
#include <iostream>
#include <map>
#include <set>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "host/faults.h"
#include "host/verifier.h"
#include "session_support.h"

namespace session {
namespace {

struct Model {
  const char* name;
  host::CardModel model;
  bool memory;     // register ranges in memory space (mapped)
  int shard = 0;   // this test sweeps the points whose number % shards == shard
  int shards = 1;  // the larger lives are split so that CTest runs them side by side
  int modules = 4;  // expansion modules fitted on the 32-port card
};

const Model kModels[] = {
    {"Ports2", host::CardModel::Ports2, false},
    {"Ports4", host::CardModel::Ports4, false},
    {"Ports8", host::CardModel::Ports8, false},
    {"Ports16_0", host::CardModel::Ports16, false, 0, 2},
    {"Ports16_1", host::CardModel::Ports16, false, 1, 2},
    {"Ports2MultiMode", host::CardModel::Ports2MultiMode, false},
    {"Ports4MultiModeMemory", host::CardModel::Ports4MultiMode, true},
    // The 32-port card with its first two expansion modules: the probe of
    // the third fails and ports 0 to 15 are reported. Every port repeats the
    // same failure points, so the full card (whose life the session tests
    // run) would only double the points and quadruple the time.
    {"Ports32_0", host::CardModel::Ports32, false, 0, 2, 2},
    {"Ports32_1", host::CardModel::Ports32, false, 1, 2, 2},
};

void PrintTo(const Model& m, std::ostream* os) { *os << m.name; }

// What a life did, step by step.
struct Outcome {
  struct StepResult {
    std::string phase, name;
    NTSTATUS status;
    bool operator==(const StepResult& o) const {
      return phase == o.phase && name == o.name && status == o.status;
    }
  };
  std::vector<StepResult> steps;  // in order
  bool ended = false;  // the life could not go on (load, add or start failed)
  std::vector<host::DeviceNode*> children;  // after the first enumeration
  BOOL offered = FALSE;
  size_t pages = 0;
  std::vector<std::string> lines;  // the page's lines when shown
  size_t portModeWrites = 0;       // PORTMODE values the sheet wrote
  host::DeviceNode* node = nullptr;

  std::optional<NTSTATUS> Step(const std::string& name) const {
    for (const auto& step : steps)
      if (step.name == name) return step.status;
    return std::nullopt;
  }
};

std::string Describe(const host::FaultPoint& point) {
  std::ostringstream out;
  out << "failure point " << point.number << ": " << host::FaultKindName(point.kind);
  if (!point.detail.empty()) out << " (" << point.detail << ")";
  out << " in " << point.phase;
  return out.str();
}

class LifeSweepTest : public SessionTest, public ::testing::WithParamInterface<Model> {
 protected:
  void SetUp() override {
    // Each life loads the driver itself: its DriverEntry is a failure point.
    testsupport::PlatformTest::SetUp();
  }

  void Phase(const char* phase) {
    phase_ = phase;
    host::SetFaultPhase(phase);
  }
  std::string phase_;

  // The phases of a life, in order.
  static int PhaseIndex(const std::string& phase) {
    static const char* const kPhases[] = {
        "load",    "add",     "filter",          "start",        "relations",   "page load",
        "page",    "page save", "power",         "stop",         "restart",     "relations again",
        "port disable", "port enable", "disable", "enable",       "removal"};
    for (int i = 0; i < static_cast<int>(sizeof kPhases / sizeof kPhases[0]); ++i)
      if (phase == kPhases[i]) return i;
    ADD_FAILURE() << "no phase " << phase;
    return -1;
  }

  // One life. `planned` is the point the plan will fail, as the clean run
  // saw it: the scripted user does not click through a dialog that will not
  // open, and once the phase of the failure is over the card is unplugged
  // at once (the checks look at that phase; the rest of the life adds time,
  // not findings: the retry runs it in full).
  Outcome Live(const std::optional<host::FaultPoint>& planned) {
    const Model& m = GetParam();
    Outcome out;
    auto step = [&](const char* name, NTSTATUS status) {
      out.steps.push_back({phase_, name, status});
    };
    auto past = [&](const char* next) {
      return planned && PhaseIndex(planned->phase) < PhaseIndex(next);
    };

    Phase("load");
    const NTSTATUS load = host::LoadDriver(DriverEntry, kService);
    step("load", load);
    if (!NT_SUCCESS(load)) {
      out.ended = true;
      return out;
    }
    EXPECT_TRUE(LibMain(DllModule(), DLL_PROCESS_ATTACH, nullptr));

    host::CardSetup setup = host::SetupFor(m.model);
    setup.uart.memorySpace = setup.intc.memorySpace = m.memory;
    host::Card& card = host::CreateCard(setup);
    for (int module = m.modules; module < 4; ++module) card.SetModuleFitted(module, false);
    Phase("add");
    host::DeviceNode& node = host::PlugCard(card, 2, 13, 1);
    out.node = &node;
    step("add", node.addStatus);
    if (!NT_SUCCESS(node.addStatus)) {
      out.ended = true;
      return out;
    }
    Phase("filter");
    host::FilterResourceRequirements(node);
    step("filter", node.filterStatus);
    Phase("start");
    step("start", host::StartDevice(node));
    if (node.State() != host::NodeState::Started) {
      out.ended = true;
      return out;
    }
    Phase("relations");
    step("relations", host::QueryBusRelations(node));
    out.children = node.Children();

    {
      Phase("page load");
      CardSheet sheet(node);
      out.offered = sheet.Offered();
      out.pages = sheet.Sheet().PageCount();
      Reg().ClearWriteLog();
      if (out.pages == 1) {
        Phase("page");
        out.lines = sheet.Show();
        if (!out.lines.empty()) {
          const bool dialogFails = planned && planned->kind == host::FaultKind::UserDialogBox;
          if (dialogFails) {
            host::User().DoubleClickListItem(kPortList, 0);
            sheet.Sheet().Run();
          } else {
            sheet.ChangeLine(0, SERHUB_PORTMODE_RS485_FULL);
          }
        }
        Phase("page save");
        sheet.Sheet().PressOk();
      }
    }
    out.portModeWrites = WritesOf(SERHUB_PORTMODE_A).size();

    if (past("power")) return Unplug(out, node);
    Phase("power");
    if (!out.children.empty()) {
      host::DeviceNode& port = *out.children.front();
      step("port D3", host::SetDevicePower(port, PowerDeviceD3).status);
      step("port D0", host::SetDevicePower(port, PowerDeviceD0).status);
    }
    step("S3", host::SetSystemPower(node, PowerSystemSleeping3).status);
    step("S0", host::SetSystemPower(node, PowerSystemWorking, PowerActionNone).status);

    if (past("stop")) return Unplug(out, node);
    Phase("stop");
    step("query stop", host::QueryStop(node));
    step("stop", host::StopDevice(node));
    Phase("restart");
    step("restart", host::StartDevice(node));
    if (node.State() != host::NodeState::Started) {
      out.ended = true;
      return out;
    }
    if (past("relations again")) return Unplug(out, node);
    Phase("relations again");
    step("relations again", host::QueryBusRelations(node));
    if (past("port disable")) return Unplug(out, node);

    // A port disabled and enabled again (its device node and PDO stay).
    host::DeviceNode* started = nullptr;
    for (host::DeviceNode* port : node.Children())
      if (port->State() == host::NodeState::Started) started = port;
    if (started != nullptr) {
      host::DeviceNode& port = *started;
      Phase("port disable");
      step("port disable", host::DisableDevice(port));
      Phase("port enable");
      host::EnableDevice(port);
      step("port enable start", port.startStatus);
    }

    // The card disabled (its ports go for good, the driver unloads) and
    // enabled again: the driver loads, adds, starts and enumerates anew.
    if (past("disable")) return Unplug(out, node);
    Phase("disable");
    step("disable", host::DisableDevice(node));
    Phase("enable");
    host::EnableDevice(node);
    step("enable add", node.addStatus);
    if (!NT_SUCCESS(node.addStatus)) {
      out.ended = true;
      return out;
    }
    step("enable filter", node.filterStatus);
    step("enable start", node.startStatus);
    if (node.State() != host::NodeState::Started) {
      out.ended = true;
      return out;
    }
    step("enable relations", node.relationsStatus);
    return Unplug(out, node);
  }

  Outcome& Unplug(Outcome& out, host::DeviceNode& node) {
    Phase("removal");
    out.steps.push_back({phase_, "unplug", host::UnplugCard(node)});
    return out;
  }

  // Takes whatever is left down, then every finding of the platform; the
  // verifier starts afresh for what follows.
  static std::vector<std::string> Finish() {
    host::TearDownMachine();
    std::vector<std::string> findings = testsupport::PlatformFindings();
    host::ClearVerifierFailures();
    return findings;
  }

  // A disable that the I/O manager refuses leaves the interface enabled until
  // the Plug and Play manager removes the device node and disables it itself,
  // which the I/O stand-in reports (until it is reset); the driver has no
  // other way to disable it.
  static bool Explained(const host::FaultPoint& fired, const std::string& finding) {
    return fired.kind == host::FaultKind::InterfaceState && fired.phase == "removal" &&
           finding.find("still enabled when the device node") != std::string::npos;
  }

  // The statuses of the clean run and of a retry must agree step by step.
  static void ExpectSameLife(const Outcome& clean, const Outcome& retry, const std::string& what) {
    ASSERT_EQ(clean.steps.size(), retry.steps.size()) << what;
    for (size_t i = 0; i < clean.steps.size(); ++i) {
      EXPECT_TRUE(clean.steps[i] == retry.steps[i])
          << what << ", step " << clean.steps[i].name << ": " << host::StatusText(retry.steps[i].status)
          << " instead of " << host::StatusText(clean.steps[i].status);
    }
    EXPECT_EQ(clean.children.size(), retry.children.size()) << what;
    EXPECT_EQ(clean.offered, retry.offered) << what;
    EXPECT_EQ(clean.pages, retry.pages) << what;
    EXPECT_EQ(clean.lines.size(), retry.lines.size()) << what;
  }

  // A failure while the new port devices are interrogated shows in exactly
  // one port: the answer that failed is missing, the others are there.
  static void ExpectPortDeficiency(const Outcome& clean, const Outcome& got,
                                   const host::FaultPoint& fired, bool enumerated) {
    using K = host::FaultKind;
    const std::string what = Describe(fired);
    if (fired.kind == K::CreateDevice) {
      EXPECT_EQ(clean.children.size() - 1, got.children.size()) << what;
      return;
    }
    if (!enumerated) return;
    ASSERT_EQ(clean.children.size(), got.children.size()) << what;
    int idOrText = 0, noBusInfo = 0, noCaps = 0, noValues = 0, oneValueMissing = 0;
    for (host::DeviceNode* port : got.children) {
      // A port without an ID is not interrogated further.
      const bool noId = port->deviceId.empty() || port->instanceId.empty() ||
                        port->hardwareIds.empty() || port->compatibleIds.empty();
      if (noId || port->description.empty()) ++idOrText;
      if (noId) continue;
      if (!port->busInformation) ++noBusInfo;
      if (!port->capabilities) ++noCaps;
      const auto readings = port->SerialReadings();
      if (readings.empty()) continue;
      int missing = 0;
      for (const auto& value : readings.front().values) missing += value.status != STATUS_SUCCESS;
      if (readings.front().openStatus == STATUS_SUCCESS && missing == 1) ++oneValueMissing;
      if (missing == static_cast<int>(host::SerialValueNames().size())) ++noValues;
    }
    switch (fired.kind) {
      case K::Pool:
        if (fired.detail == "Zbus") {
          EXPECT_EQ(1, noBusInfo) << what;
        } else {
          EXPECT_EQ(1, idOrText + oneValueMissing) << what;
        }
        break;
      case K::Irp:
      case K::LowerCapabilities:
        // The port is asked again after its start; a failure there leaves
        // the first answer in place.
        EXPECT_LE(noCaps, 1) << what;
        break;
      case K::OpenDeviceKey:
        EXPECT_EQ(1, noValues) << what;
        break;
      case K::SetValueKey:
        EXPECT_EQ(1, oneValueMissing) << what;
        break;
      default:
        break;
    }
  }

  // The statuses a step may end with when `fired` failed during it.
  static std::set<NTSTATUS> Allowed(const std::string& step, const host::FaultPoint& fired) {
    using K = host::FaultKind;
    const K kind = fired.kind;
    auto is = [&](const char* base) { return step == base || step == std::string("enable ") + base; };
    if (step == "load") return {STATUS_INSUFFICIENT_RESOURCES};
    if (is("add")) {
      if (kind == K::AttachDevice) return {STATUS_NO_SUCH_DEVICE};
      // A DriverEntry that fails (enable loads the driver again) leaves the
      // device without a function driver.
      if (kind == K::Pool && fired.detail == "Zbus") return {STATUS_NO_SUCH_DEVICE};
      if (kind == K::CreateDevice || kind == K::RegisterInterface || kind == K::DeviceProperty ||
          kind == K::Pool)
        return {STATUS_INSUFFICIENT_RESOURCES};
      return {};
    }
    if (is("filter")) {
      if (kind == K::Pool) return {STATUS_INSUFFICIENT_RESOURCES};
      if (kind == K::LowerFilter) return {STATUS_SUCCESS};
      return {};
    }
    if (is("start") || step == "restart") {
      if (kind == K::LowerStart || kind == K::InterfaceState) return {STATUS_INSUFFICIENT_RESOURCES};
      if (kind == K::LowerConfigRead || kind == K::Irp || kind == K::MapIoSpace)
        return {STATUS_DEVICE_CONFIGURATION_ERROR};
      // The port count's key or value: ignored. The card's own capability
      // query that follows a start goes to the bus driver untouched.
      if (kind == K::OpenDeviceKey || kind == K::Pool || kind == K::SetValueKey ||
          kind == K::LowerCapabilities)
        return {STATUS_SUCCESS};
      return {};
    }
    if (step.find("relations") != std::string::npos) {
      // Enumeration's own allocations fail the request; a port device that
      // cannot be created is left out; a failure while a new port is
      // interrogated fails only that answer.
      if (kind == K::Pool) return {STATUS_SUCCESS, STATUS_INSUFFICIENT_RESOURCES};
      if (kind == K::CreateDevice || kind == K::Irp || kind == K::LowerCapabilities ||
          kind == K::OpenDeviceKey || kind == K::SetValueKey)
        return {STATUS_SUCCESS};
      return {};
    }
    // A port's start, and power, stop, disable and removal requests: the
    // driver fails none of them.
    return {STATUS_SUCCESS};
  }

  // What the driver's and the page's rules give for the failed call.
  static void ExpectOutcome(const Outcome& clean, const Outcome& got,
                            const std::vector<host::FaultPoint>& points,
                            const host::FaultPoint& fired) {
    const std::string what = Describe(fired);
    using K = host::FaultKind;
    const K kind = fired.kind;
    const std::string& phase = fired.phase;
    // The k-th point of this kind within its phase, counted in the clean run.
    int ordinal = 0;
    for (const auto& p : points)
      if (p.number < fired.number && p.kind == kind && p.phase == phase) ++ordinal;

    // Every step of an earlier phase went as in the clean run.
    size_t first = 0;
    for (; first < got.steps.size() && PhaseIndex(got.steps[first].phase) < PhaseIndex(phase);
         ++first) {
      ASSERT_LT(first, clean.steps.size()) << what;
      EXPECT_TRUE(clean.steps[first] == got.steps[first]) << what << ": step " << got.steps[first].name;
    }
    // In the failure's phase, the first step that went otherwise than in the
    // clean run went as the rules say; if none did, the rules let one of the
    // phase's requests carry on despite the failure.
    bool absorbed = false, differed = false;
    for (size_t i = first; i < got.steps.size() && got.steps[i].phase == phase; ++i) {
      const auto allowed = Allowed(got.steps[i].name, fired);
      absorbed = absorbed || allowed.count(STATUS_SUCCESS) != 0;
      if (i < clean.steps.size() && clean.steps[i] == got.steps[i]) continue;
      differed = true;
      EXPECT_EQ(1u, allowed.count(got.steps[i].status))
          << what << ": " << got.steps[i].name << " ended with " << host::StatusText(got.steps[i].status);
      break;
    }
    if (!differed && !IsUserModeFault(fired.kind)) {
      EXPECT_TRUE(absorbed) << what << ": the failure was reported nowhere";
    }

    if (phase == "load") {
      EXPECT_EQ(nullptr, host::LoadedDriver(kService)) << what;
    } else if (phase == "add") {
      EXPECT_EQ(nullptr, got.node->Pdo()->AttachedDevice) << what;
    } else if (phase == "relations") {
      ExpectPortDeficiency(clean, got, fired, got.Step("relations") == STATUS_SUCCESS);
    } else if (phase == "page load") {
      const bool noPage = (kind == K::UserLocalAlloc && ordinal == 0) ||
                          kind == K::UserSetupDiProperty || kind == K::UserSetupDiOpenKey ||
                          (kind == K::UserRegQueryValue && fired.detail == "Ports");
      EXPECT_EQ(noPage ? FALSE : TRUE, got.offered) << what;
      if (kind == K::UserCreatePage) {
        EXPECT_EQ(0u, got.pages) << what;
      }
      // The page opens the key of every port the card counts (the n-th
      // open is port n's), and a port without a key has no line anyway.
      const bool portHadLine =
          (kind == K::UserRegOpenKey && static_cast<size_t>(ordinal) < clean.lines.size()) ||
          (kind == K::UserRegQueryValue && fired.detail == "PORTNAME");
      if (portHadLine) {
        EXPECT_EQ(clean.lines.size() - 1, got.lines.size()) << what << ": the port keeps a line";
      } else if (kind == K::UserRegOpenKey) {
        EXPECT_EQ(clean.lines.size(), got.lines.size()) << what;
      }
    } else if (phase == "page") {
      if (kind == K::UserLocalAlloc) {
        EXPECT_TRUE(got.lines.empty()) << what;
        EXPECT_EQ(0u, got.portModeWrites) << what;
      }
    } else if (phase == "page save") {
      if (kind == K::UserRegSetValue) {
        EXPECT_EQ(clean.portModeWrites - 1, got.portModeWrites) << what;
      } else {
        EXPECT_LE(got.portModeWrites, clean.portModeWrites) << what;
      }
    }
  }
};

TEST_P(LifeSweepTest, EveryFailurePointOfTheLife) {
  const auto started = std::chrono::steady_clock::now();
  // Clean run: the failure points of the life.
  host::StartFaultPlan(kService, 0);
  const Outcome clean = Live(std::nullopt);
  host::StopFaultPlan();
  const std::vector<host::FaultPoint> points = host::FaultPoints();
  ASSERT_FALSE(clean.ended) << "the clean life did not run to its end";
  for (const auto& finding : Finish()) ADD_FAILURE() << "clean run: " << finding;
  ASSERT_FALSE(points.empty());

  std::map<std::string, int> byKind;
  for (const auto& p : points) byKind[host::FaultKindName(p.kind)]++;

  const Model& m = GetParam();
  int exercised = 0, swept = 0;
  for (const auto& point : points) {
    if (point.number % m.shards != m.shard) continue;
    ++swept;
    testsupport::ResetPlatform();
    const std::string what = Describe(point);
    host::StartFaultPlan(kService, point.number);
    const Outcome got = Live(point);
    host::StopFaultPlan();
    const auto fired = host::FiredFault();
    if (!fired) {
      ADD_FAILURE() << what << " was never reached";
      continue;
    }
    EXPECT_EQ(point.kind, fired->kind) << what << ": the life took another path";
    EXPECT_EQ(point.phase, fired->phase) << what << ": the life took another path";
    ++exercised;
    ExpectOutcome(clean, got, points, *fired);
    for (const auto& finding : Finish())
      if (!Explained(*fired, finding)) ADD_FAILURE() << what << ": " << finding;

    // The same life again, on the machine the failure left behind.
    const Outcome retry = Live(std::nullopt);
    ExpectSameLife(clean, retry, what + ", retry");
    for (const auto& finding : Finish())
      if (!Explained(*fired, finding)) ADD_FAILURE() << what << ", retry: " << finding;
    if (HasFailure()) break;  // one failure point at a time
  }
  EXPECT_EQ(swept, exercised);
  testsupport::ResetPlatform();

  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::ostringstream summary;
  summary << "sweep " << m.name << ": " << points.size() << " failure points in the life, "
          << exercised << " of " << swept << " swept here exercised, " << seconds << " s;";
  for (const auto& [kind, count] : byKind) summary << " " << kind << " " << count << ";";
  std::cout << summary.str() << std::endl;
  RecordProperty("failure_points", static_cast<int>(points.size()));
}

INSTANTIATE_TEST_SUITE_P(Models, LifeSweepTest, ::testing::ValuesIn(kModels),
                         [](const ::testing::TestParamInfo<Model>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace session
