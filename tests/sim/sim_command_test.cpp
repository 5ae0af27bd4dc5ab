// The simulator as a user and an integrator's script run it: exit codes,
// the report, the JSON object, refused input, and the registry file that
// carries a machine's state from one run to the next.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

struct Outcome {
  int exit = -1;
  std::string out, err;
  json Json() const { return json::parse(out); }
};

std::string Slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class SimCommand : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/serhubsim-test-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(name));
    dir_ = name;
  }
  void TearDown() override { fs::remove_all(dir_); }

  fs::path File(const std::string& name) const { return dir_ / name; }

  Outcome Run(const std::vector<std::string>& args) const {
    std::string command = SERHUBSIM;
    for (const auto& arg : args) {
      std::string quoted = "'";
      for (char c : arg) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
      command += " " + quoted + "'";
    }
    command += " >" + File("stdout").string() + " 2>" + File("stderr").string();
    Outcome outcome;
    int status = std::system(command.c_str());
    outcome.exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    outcome.out = Slurp(File("stdout"));
    outcome.err = Slurp(File("stderr"));
    return outcome;
  }

  // A run that must succeed, as JSON.
  json RunJson(std::vector<std::string> args) const {
    args.push_back("--json");
    Outcome outcome = Run(args);
    EXPECT_EQ(0, outcome.exit) << outcome.err << outcome.out;
    EXPECT_EQ("", outcome.err);
    return outcome.Json();
  }

  fs::path dir_;
};

std::vector<std::string> Steps(const json& event) {
  std::vector<std::string> steps;
  for (const auto& s : event["statuses"]) steps.push_back(s["step"].get<std::string>() + ": " + s["status"].get<std::string>());
  return steps;
}

void ExpectClean(const json& run) {
  const json& v = run["verifier"];
  EXPECT_EQ(json::array(), v["findings"]);
  EXPECT_EQ(0, v["pool"]["blocks_left"]);
  EXPECT_EQ(0, v["references_left"]);
  EXPECT_EQ(0, v["irps_left"]);
  EXPECT_EQ(0, v["devices_left"]);
  EXPECT_TRUE(run["driver_unloaded"].get<bool>());
}

// --- The default run ----------------------------------------------------------

TEST_F(SimCommand, DefaultRunIsAMultiModeFourPortCardThroughItsLife) {
  json run = RunJson({});
  ASSERT_EQ(1u, run["cards"].size());
  const json& card = run["cards"][0];
  EXPECT_EQ("PCI bus 2, device 13, function 0", card["location"]);
  EXPECT_EQ("0x00844B51", card["subsystem"]);
  EXPECT_EQ(4, card["port_count"]);
  EXPECT_EQ(true, card["multi_mode"]);
  EXPECT_EQ("STATUS_SUCCESS", card["start_status"]);
  EXPECT_EQ("Removed", card["state"]);
  ASSERT_EQ(4u, card["ports"].size());
  for (int i = 0; i < 4; ++i) {
    const json& port = card["ports"][i];
    EXPECT_EQ(i, port["index"]);
    EXPECT_EQ("020D000" + std::to_string(i), port["instance_id"]);
    EXPECT_EQ("Started", port["state"]);
    const json& values = port["values"];
    EXPECT_EQ("COM" + std::to_string(3 + i), values["PORTNAME"]);
    EXPECT_EQ(1, values["PORTTYPE"]);
    EXPECT_EQ(7372800, values["CLKRATE"]);
    EXPECT_EQ(i, values["INTCIDX"]);
    EXPECT_EQ(values["INTCADDR"].get<int>() + 17, values["ECHOADDR"]);
    EXPECT_EQ(values["BASEADDR"].get<int>(), card["ports"][0]["values"]["BASEADDR"].get<int>() + 8 * i);
    EXPECT_EQ(i == 1 ? 3 : 0, values["PORTMODE"]) << "port " << i;
  }
  // Values in the order they were written, as the key holds them.
  auto ordered = nlohmann::ordered_json::parse(Run({"--json"}).out);
  std::vector<std::string> names;
  for (const auto& [name, value] : ordered["cards"][0]["ports"][3]["values"].items()) names.push_back(name);
  EXPECT_EQ((std::vector<std::string>{"BASEADDR", "INTCADDR", "CLKRATE", "INTCIDX", "PORTTYPE", "ECHOADDR", "VECTOR",
                                      "LEVEL", "TRVECTOR", "TRLEVEL", "AFFINITY", "PORTNAME", "PORTMODE"}),
            names);
  EXPECT_EQ((std::vector<std::string>{"port-1    COM3      RS485_HALF", "port-2    COM4      RS422",
                                      "port-3    COM5      RS485_HALF", "port-4    COM6      RS485_HALF"}),
            card["page"]["lines"].get<std::vector<std::string>>());
  EXPECT_TRUE(card["page"]["change_enabled"].get<bool>());
  EXPECT_EQ(1, card["page"]["selected"]);

  std::vector<std::string> events;
  for (const auto& e : run["events"]) events.push_back(e["event"]);
  EXPECT_EQ((std::vector<std::string>{"plug", "start", "page:set 2=rs422", "page:ok", "remove"}), events);
  EXPECT_EQ((std::vector<std::string>{"IRP_MN_QUERY_RESOURCE_REQUIREMENTS: STATUS_SUCCESS",
                                      "IRP_MN_FILTER_RESOURCE_REQUIREMENTS: STATUS_SUCCESS",
                                      "IRP_MN_START_DEVICE: STATUS_SUCCESS",
                                      "IRP_MN_QUERY_DEVICE_RELATIONS (bus): STATUS_SUCCESS", "port devices: 4"}),
            Steps(run["events"][1]));
  ExpectClean(run);

  // The report for people says the same.
  Outcome text = Run({});
  EXPECT_EQ(0, text.exit);
  EXPECT_NE(std::string::npos, text.out.find("|>port-2    COM4      RS422      |"));
  EXPECT_NE(std::string::npos, text.out.find("PCIMULTI\\PCI_SER\\020D0001  COM4  Started"));
  EXPECT_NE(std::string::npos, text.out.find("wrote PORTMODE = 3 in 020D0001\\Device Parameters"));
  EXPECT_NE(std::string::npos, text.out.find("verifier: 0 finding(s); driver unloaded\n"
                                             "  left over: pool 0 blocks/0 bytes"));
}

// --- Cards ----------------------------------------------------------------------

TEST_F(SimCommand, SeveralCardsGetDistinctLocationsAndComNamesAcrossAllCards) {
  json run = RunJson({"--card", "4m", "--card", "8@3:1:0,memory", "--card", "2,irq=0x40:9:2"});
  ASSERT_EQ(3u, run["cards"].size());
  EXPECT_EQ("PCI bus 2, device 13, function 0", run["cards"][0]["location"]);
  EXPECT_EQ("PCI bus 3, device 1, function 0", run["cards"][1]["location"]);
  EXPECT_EQ("PCI bus 2, device 14, function 0", run["cards"][2]["location"]);
  std::vector<std::string> names;
  for (const auto& card : run["cards"])
    for (const auto& port : card["ports"]) names.push_back(port["values"]["PORTNAME"]);
  std::vector<std::string> expected;
  for (int n = 3; n < 3 + 4 + 8 + 2; ++n) expected.push_back("COM" + std::to_string(n));
  EXPECT_EQ(expected, names);
  EXPECT_EQ("03010007", run["cards"][1]["ports"][7]["instance_id"]);
  EXPECT_EQ(false, run["cards"][1]["multi_mode"]);
  EXPECT_EQ(8, run["cards"][1]["port_count"]);
  // The interrupt given on the command line is what the ports publish.
  const json& values = run["cards"][2]["ports"][1]["values"];
  EXPECT_EQ(0x40, values["VECTOR"]);
  EXPECT_EQ(9, values["LEVEL"]);
  EXPECT_EQ(0x40, values["TRVECTOR"]);
  EXPECT_EQ(2, values["AFFINITY"]);
  ExpectClean(run);
}

TEST_F(SimCommand, CardsTheDriverRefusesOrOnlyPartlyEnumerates) {
  json unknown = RunJson({"--card", "0x00204B51"});
  const json& card = unknown["cards"][0];
  EXPECT_EQ("0x00204B51", card["subsystem"]);
  EXPECT_EQ("STATUS_DEVICE_CONFIGURATION_ERROR", card["start_status"]);
  EXPECT_EQ(0, card["port_count"]);
  EXPECT_EQ(json::array(), card["ports"]);
  EXPECT_FALSE(card["page"]["shown"].get<bool>());
  EXPECT_TRUE(unknown["events"][2]["skipped"].get<bool>());  // no page on a removed card
  ExpectClean(unknown);

  // Modules 1, 2 and 4 fitted: enumeration stops at the first missing module.
  json partial = RunJson({"--model", "32", "--modules", "1101", "--memory", "--location", "5:2:1", "--events", "start"});
  EXPECT_EQ("PCI bus 5, device 2, function 1", partial["cards"][0]["location"]);
  EXPECT_EQ(32, partial["cards"][0]["port_count"]);
  EXPECT_EQ(16u, partial["cards"][0]["ports"].size());
  EXPECT_EQ("0x91641698", partial["cards"][0]["subsystem"]);
  ExpectClean(partial);
}

// --- Events ------------------------------------------------------------------------

TEST_F(SimCommand, EveryEventIsSentInOrderAndReportsItsStatuses) {
  std::string list =
      "start, query-stop, cancel-stop, stop, start, disable-port 2, sleep S3, wake, enable-port 2, disable-card, "
      "enable-card, sleep S4, wake, query-remove, cancel-remove, surprise-remove";
  json run = RunJson({"--card", "2m", "--events", list});
  const json& events = run["events"];
  ASSERT_EQ(17u, events.size());  // plug, then the sixteen
  for (size_t i = 1; i < events.size(); ++i) {
    EXPECT_FALSE(events[i]["skipped"].get<bool>()) << events[i]["event"];
    for (const auto& step : events[i]["statuses"]) {
      if (step["step"] == "port devices" || step["step"] == "port" || step["step"] == "card") continue;
      EXPECT_EQ(0u, step["status"].get<std::string>().rfind("STATUS_SUCCESS", 0)) << events[i]["event"] << " " << step;
    }
  }
  EXPECT_EQ((std::vector<std::string>{"IRP_MN_QUERY_STOP_DEVICE: STATUS_SUCCESS", "IRP_MN_STOP_DEVICE: STATUS_SUCCESS"}),
            Steps(events[4]));
  EXPECT_EQ("port: Disabled", Steps(events[6]).back());
  EXPECT_EQ(4u, events[7]["statuses"].size());  // sleep: query and set, ports and card
  EXPECT_EQ("port: Started", Steps(events[9]).back());
  EXPECT_EQ("card: Disabled", Steps(events[10]).back());
  EXPECT_EQ("port devices: 2", Steps(events[11]).back());
  EXPECT_EQ((std::vector<std::string>{"IRP_MN_SURPRISE_REMOVAL: STATUS_SUCCESS", "IRP_MN_REMOVE_DEVICE: STATUS_SUCCESS"}),
            Steps(events[16]));
  EXPECT_EQ("Removed", run["cards"][0]["state"]);
  EXPECT_EQ(2u, run["cards"][0]["ports"].size());
  ExpectClean(run);

  // The same events from a file, one or more a line, with comments.
  std::ofstream(File("life.txt")) << "# a card's life\nstart, query-stop\ncancel-stop\nstop\nstart\n"
                                     "disable-port 2, sleep S3, wake, enable-port 2\ndisable-card, enable-card\n"
                                     "sleep S4\nwake  # back\nquery-remove, cancel-remove\nsurprise-remove\n";
  json fromFile = RunJson({"--card", "2m", "--events", File("life.txt").string()});
  ASSERT_EQ(events.size(), fromFile["events"].size());
  for (size_t i = 0; i < events.size(); ++i) EXPECT_EQ(events[i]["event"], fromFile["events"][i]["event"]);
}

TEST_F(SimCommand, EventsTheStateDoesNotAllowAreNotSentAndOnlyTheChosenCardGetsThem) {
  json run = RunJson({"--card", "4", "--card", "8", "--on", "2", "--events",
                      "stop, wake, cancel-remove, enable-port 1, start, disable-port 9, enable-port 1, enable-card"});
  std::vector<std::string> seen;
  for (const auto& e : run["events"])
    seen.push_back(std::to_string(e["card"].get<int>()) + " " + e["event"].get<std::string>() +
                   (e["skipped"].get<bool>() ? " skipped" : "") + (e["implicit"].get<bool>() ? " implicit" : ""));
  EXPECT_EQ((std::vector<std::string>{"1 plug implicit", "2 plug implicit", "2 stop skipped", "2 wake skipped",
                                      "2 cancel-remove skipped", "2 enable-port 1 skipped", "2 start",
                                      "2 disable-port 9 skipped", "2 enable-port 1 skipped", "2 enable-card skipped",
                                      "1 remove implicit",
                                      "2 remove implicit"}),
            seen);
  EXPECT_EQ(nullptr, run["cards"][0]["start_status"]);
  EXPECT_EQ("STATUS_SUCCESS", run["cards"][1]["start_status"]);
  ExpectClean(run);
}

TEST_F(SimCommand, TheEndOfTheRunWakesCancelsAndRemovesWhatTheEventsLeft) {
  const std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
      {"start, query-stop", {"cancel-stop", "remove"}},
      {"start, sleep S1", {"wake", "remove"}},
      {"start, page:open, query-remove", {"page:cancel", "remove"}},
      {"start, disable-card", {"remove"}},
  };
  for (const auto& [list, end] : cases) {
    json run = RunJson({"--events", list});
    std::vector<std::string> implicit;
    for (const auto& e : run["events"])
      if (e["implicit"].get<bool>() && e["event"] != "plug") implicit.push_back(e["event"]);
    EXPECT_EQ(end, implicit) << list;
    EXPECT_EQ("Removed", run["cards"][0]["state"]) << list;
    ExpectClean(run);
  }
}

TEST_F(SimCommand, PageActionsWriteLineModesOnlyWhenTheUserAcceptsTheSheet) {
  auto Instance = [](const std::string& key) { return key.substr(key.rfind("PCI_SER\\") + 8, 8); };
  auto portmodeWrites = [&](const json& run) {
    std::vector<std::string> writes;
    for (const auto& e : run["events"])
      for (const auto& w : e["registry_writes"])
        if (w["name"] == "PORTMODE") writes.push_back(e["event"].get<std::string>() + " " + Instance(w["key"]) + "=" + std::to_string(w["value"].get<int>()));
    return writes;
  };
  // Cancel in the dialog leaves the line; Cancel on the sheet saves nothing.
  json cancelled = RunJson({"--events", "start, page:discard 1=rs422, page:set 3=rs485full, page:cancel"});
  EXPECT_EQ("port-1    COM3      RS485_HALF", Steps(cancelled["events"][2]).back().substr(6));
  EXPECT_EQ("port-3    COM5      RS485_FULL", Steps(cancelled["events"][3]).back().substr(6));
  EXPECT_EQ(std::vector<std::string>{}, portmodeWrites(cancelled));

  // The page never enables Apply, so Apply then Cancel saves nothing either;
  // OK saves every selectable port's mode.
  json applied = RunJson({"--events", "start, page:set 3=rs485full, page:apply, page:cancel, page:set 4=rs422, page:ok"});
  EXPECT_EQ("Apply: disabled; the click does nothing", Steps(applied["events"][3])[0]);
  EXPECT_EQ((std::vector<std::string>{"page:ok 020D0000=0", "page:ok 020D0001=0", "page:ok 020D0002=0",
                                      "page:ok 020D0003=3"}),
            portmodeWrites(applied));

  // A port with no line on the page, and a mode its drivers do not offer.
  json missing = RunJson({"--card", "4", "--events", "start, page:set 9=rs422, page:set 1=rs422, page:ok"});
  EXPECT_EQ("line of port 9: none (the port has no COM name)", Steps(missing["events"][2]).back());
  EXPECT_EQ("Change port: shown, RS422 disabled, OK", Steps(missing["events"][3])[0]);
  EXPECT_EQ("port-1    COM3      RS232", missing["cards"][0]["page"]["lines"][0]);
  EXPECT_EQ(std::vector<std::string>{}, portmodeWrites(missing));
  ExpectClean(missing);
}

TEST_F(SimCommand, RegisterAccessesAreListedPerEvent) {
  json run = RunJson({"--card", "2m", "--events", "start"});
  std::vector<std::string> start;
  for (const auto& r : run["cards"][0]["registers"])
    if (r["event"] == 1 && r["op"] == "w")
      start.push_back(r["block"].get<std::string>() + std::to_string(r["offset"].get<int>()) + "=" +
                      std::to_string(r["value"].get<int>()));
  EXPECT_EQ((std::vector<std::string>{"intc0=0", "intc1=0", "intc2=0", "intc17=0", "intc4=252", "intc5=255",
                                      "intc6=255", "intc8=255", "intc9=255", "intc10=255", "intc12=0", "intc13=0",
                                      "intc14=0"}),
            start);
  Outcome text = Run({"--card", "2m", "--events", "start", "--registers", "--quiet"});
  EXPECT_EQ(0, text.exit);
  EXPECT_NE(std::string::npos, text.out.find("registers: intc+00<-00 intc+01<-00 intc+02<-00 intc+11<-00 intc+04<-FC"));
  EXPECT_EQ(std::string::npos, text.out.find("device tree"));  // --quiet
}

// --- The registry file -------------------------------------------------------------

// A UTF-16LE file's text (after its byte-order mark), for looking at lines.
std::string Utf16Text(const std::string& bytes) {
  std::string text;
  for (size_t i = 2; i + 1 < bytes.size(); i += 2) text.push_back(bytes[i + 1] ? '?' : bytes[i]);
  return text;
}

TEST_F(SimCommand, RegistryFileKeepsComNamesAndModesAndSavesWhatItLoaded) {
  std::string reg = File("machine.reg").string();
  RunJson({"--registry", reg});
  std::string first = Slurp(reg);
  ASSERT_GT(first.size(), 2u);
  EXPECT_EQ("\xFF\xFE", first.substr(0, 2));
  std::string text = Utf16Text(first);
  EXPECT_EQ(0u, text.find("Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE]\r\n"));
  EXPECT_NE(std::string::npos, text.find("\r\n\"PORTMODE\"=dword:00000003\r\n"));
  EXPECT_NE(std::string::npos, text.find("\r\n\"PORTNAME\"=\"COM4\"\r\n"));
  // Hex data wraps as the registry editor wraps it.
  EXPECT_NE(std::string::npos, text.find("\"ComDB\"=hex:3f,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,"
                                         "00,00,00,\\\r\n  00,00,00,"));

  // Load and save with nothing changed: the same bytes.
  RunJson({"--registry", reg, "--events", "start, page:open, page:cancel"});
  EXPECT_EQ(first, Slurp(reg));

  // A later run on the same machine: card 1's choice is still there, and a new
  // card's ports get the COM numbers that are still free.
  json later = RunJson({"--registry", reg, "--card", "4m", "--card", "8@3:1:0", "--events", "start, page:open"});
  EXPECT_EQ("port-2    COM4      RS422", later["cards"][0]["page"]["lines"][1]);
  EXPECT_EQ("COM7", later["cards"][1]["ports"][0]["values"]["PORTNAME"]);
}

TEST_F(SimCommand, RegistryFileValuesOfEveryTypeRoundTrip) {
  std::string reg = File("typed.reg").string();
  const std::string values =
      "\"Path\"=\"C:\\\\serial \\\"quoted\\\"\"\r\n"
      "@=\"default\"\r\n"
      "\"Count\"=dword:0000002a\r\n"
      "\"Blob\"=hex:01,02,ff\r\n"
      "\"Expand\"=hex(2):25,00,54,00,00,00\r\n"
      "\"Multi\"=hex(7):41,00,00,00,42,00,00,00,00,00\r\n"
      "\"Quad\"=hex(b):01,00,00,00,00,00,00,00\r\n"
      "\"Empty\"=hex:\r\n"
      "\"Long\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,\\\r\n"
      "  16,17,18,19,1a,1b,1c,1d,1e,1f,20,21,22,23,24,25,26,27,28,29,2a,2b,2c,2d,2e,\\\r\n"
      "  2f,30\r\n";
  std::ofstream(reg, std::ios::binary) << "Windows Registry Editor Version 5.00\r\n\r\n"
                                       << "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Gone]\r\n\"x\"=dword:1\r\n\r\n"
                                       << "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Gone]\r\n\r\n"
                                       << "; a comment\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Test]\r\n"
                                       << values;
  RunJson({"--registry", reg, "--events", "start"});
  std::string saved = Slurp(reg);
  std::string text = Utf16Text(saved);
  EXPECT_NE(std::string::npos, text.find("\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Test]\r\n" + values)) << text;
  EXPECT_EQ(std::string::npos, text.find("Gone"));
  RunJson({"--registry", reg, "--events", "start"});
  EXPECT_EQ(saved, Slurp(reg));
}

TEST_F(SimCommand, RegistryFileNamesAndTextsBeyondAsciiRoundTrip) {
  auto utf16 = [](const std::u16string& text) {
    std::string bytes;
    for (char16_t c : text) bytes += {static_cast<char>(c & 0xFF), static_cast<char>(c >> 8)};
    return bytes;
  };
  const std::u16string key = u"\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Stra\u00DFe]\r\n\"Gr\u00FC\u00DFe\"=\"\u20AC 5\"\r\n";
  std::string reg = File("names.reg").string();
  std::ofstream(reg, std::ios::binary) << "\xFF\xFE" << utf16(u"Windows Registry Editor Version 5.00\r\n" + key);
  RunJson({"--registry", reg, "--events", "start"});
  EXPECT_NE(std::string::npos, Slurp(reg).find(utf16(key)));
}

TEST_F(SimCommand, RegistryFileThatCannotBeParsedIsRefusedWithItsLineAndLeftAlone) {
  const std::string header = "Windows Registry Editor Version 5.00\r\n\r\n";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"REGEDIT4\r\n", "line 1: "},
      {header + "\"a\"=dword:1\r\n", "line 3: a value that belongs to no key"},
      {header + "[HKEY_LOCAL_MACHINE\\X]\r\n\"a\"=dword:123456789\r\n", "line 4: dword:"},
      {header + "[HKEY_LOCAL_MACHINE\\X]\r\n\"a\"=\"open\r\n", "line 4: a string"},
      {header + "[HKEY_LOCAL_MACHINE\\X]\r\n\"a\"=hex:01,\\\r\n  0g\r\n", "line 4: hex data"},
      {header + "[HKEY_CURRENT_USER\\X]\r\n", "line 3: the key HKEY_CURRENT_USER\\X is not under HKEY_LOCAL_MACHINE"},
  };
  for (const auto& [content, message] : cases) {
    std::string reg = File("bad.reg").string();
    std::ofstream(reg, std::ios::binary) << content;
    Outcome outcome = Run({"--registry", reg});
    EXPECT_EQ(2, outcome.exit) << message;
    EXPECT_EQ("", outcome.out);
    EXPECT_EQ(0u, outcome.err.find("serhubsim: --registry: '" + reg + "' " + message)) << outcome.err;
    EXPECT_EQ(content, Slurp(reg));
  }
}

// --- Refused input, help ----------------------------------------------------------

TEST_F(SimCommand, BadInputIsOneLineOnStderrExitTwoAndNothingWritten) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"--location", "300:1:1"}, "--location: '300:1:1' is not a PCI location; use BUS:DEVICE:FUNCTION with bus 0-255, device 0-31, function 0-7"},
      {{"--location", "0:32:0"}, "--location: '0:32:0'"},
      {{"--location", "0:0:8"}, "--location: '0:0:8'"},
      {{"--model", "7"}, "--model: '7' is not a card model"},
      {{"--card", "16@1:2"}, "--card: '1:2' is not a PCI location"},
      {{"--card", "8,modules=1101"}, "--card: modules= is for the 32-port card only"},
      {{"--card", "32,modules=11"}, "--card: '11' is not a module mask"},
      {{"--card", "4,irq=300:1:1"}, "--card: '300:1:1' is not an interrupt"},
      {{"--card", "4,fast"}, "--card: 'fast' is not a card setting"},
      {{"--card", "8@2:13:0", "--card", "4@2:13:0"}, "--card: '4@2:13:0' is at a location another card already has"},
      {{"--card", "4", "--model", "8"}, "--model: '8' describes a single card and cannot go with --card"},
      {{"--memory", "--card", "4"}, "--memory: describes a single card"},
      {{"--events", "start, jump"}, "--events: 'jump' is not an event"},
      {{"--events", "page:set 0=rs422"}, "--events: 'page:set 0=rs422' is not an event"},
      {{"--events", "page:set 2=rs999"}, "--events: 'page:set 2=rs999' is not an event"},
      {{"--events", "sleep S5"}, "--events: 'sleep S5' is not an event"},
      {{"--events", "start,,stop"}, "--events: 'start,,stop' has an empty event"},
      {{"--events", "missing/life.txt"}, "--events: 'missing/life.txt' is neither a file nor an event"},
      {{"--on", "2"}, "--on: '2' names no card"},
      {{"--modules", "1101"}, "--modules: modules= is for the 32-port card only"},
      {{"--model"}, "--model: 1 required MODEL missing"},
      {{"--bogus"}, "The following argument was not expected: --bogus"},
      {{"--registry", "/"}, "--registry: '/' is a directory"},
      {{"keypath", "2", "32", "0", "1"}, "keypath: '2 32 0 1' is out of range"},
  };
  for (const auto& [args, message] : cases) {
    std::vector<std::string> withRegistry = args;
    if (args[0] != "--registry" && args[0] != "keypath")
      withRegistry.insert(withRegistry.begin(), {"--registry", File("never.reg").string()});
    Outcome outcome = Run(withRegistry);
    EXPECT_EQ(2, outcome.exit) << message;
    EXPECT_EQ("", outcome.out) << message;
    EXPECT_EQ(0u, outcome.err.find("serhubsim: " + message)) << outcome.err;
    EXPECT_EQ(outcome.err.size() - 1, outcome.err.find('\n')) << "one line: " << outcome.err;
    EXPECT_FALSE(fs::exists(File("never.reg"))) << message;
  }
}

TEST_F(SimCommand, HelpAndKeyPath) {
  Outcome help = Run({"--help"});
  EXPECT_EQ(0, help.exit);
  EXPECT_EQ("", help.err);
  for (const char* word : {"--card", "--events", "--on", "--registry", "--json", "--registers", "--quiet",
                           "keypath", "Examples:", "page:set P=MODE", "surprise-remove"})
    EXPECT_NE(std::string::npos, help.out.find(word)) << word;

  Outcome keypath = Run({"keypath", "2", "3", "0", "10"});
  EXPECT_EQ(0, keypath.exit);
  EXPECT_EQ("instance ID 0203000A\nHKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\PCIMULTI\\PCI_SER\\"
            "0203000A\\Device Parameters\n",
            keypath.out);
}

}  // namespace
