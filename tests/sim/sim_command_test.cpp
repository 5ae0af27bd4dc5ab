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
  EXPECT_EQ((std::vector<std::string>{"port-1    COM3      RS485_HALF", "port-2    COM4      RS422",
                                      "port-3    COM5      RS485_HALF", "port-4    COM6      RS485_HALF"}),
            card["page"]["lines"].get<std::vector<std::string>>());
  EXPECT_TRUE(card["page"]["change_enabled"].get<bool>());
  EXPECT_EQ(1, card["page"]["selected"]);

  std::vector<std::string> names;
  for (const auto& e : run["events"]) names.push_back(e["event"]);
  EXPECT_EQ((std::vector<std::string>{"plug", "start", "page:set 2=rs422", "page:ok", "remove"}), names);
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
  EXPECT_NE(std::string::npos, text.out.find("wrote PORTMODE = 0x3 in 020D0001\\Device Parameters"));
  EXPECT_NE(std::string::npos, text.out.find("verifier: 0 finding(s)"));
}

}  // namespace
