// serhubsim --bench: whole lives back to back. A life that is not whole (a
// card that does not start, ports missing from the page, a verifier finding)
// must fail the run rather than be timed.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sys/wait.h>

#include <cstdio>
#include <string>

namespace {

struct Outcome {
  int exit = -1;
  std::string out;
};

Outcome RunSim(const std::string& args) {
  Outcome outcome;
  std::string command = std::string(SERHUBSIM) + " " + args + " 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return outcome;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) outcome.out.append(buffer, n);
  int status = pclose(pipe);
  outcome.exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return outcome;
}

TEST(SimBench, WholeLivesAreCountedPerCardAndTheirCostsGrowWithThePorts) {
  Outcome run = RunSim("--bench --bench-seconds 0.001 --bench-ports 2,32 --json");
  ASSERT_EQ(0, run.exit) << run.out;
  nlohmann::json doc = nlohmann::json::parse(run.out);
  EXPECT_EQ(nlohmann::json::array(), doc["problems"]);
  const auto& rows = doc["bench"];
  ASSERT_EQ(2u, rows.size());
  EXPECT_EQ(2, rows[0]["ports"]);
  EXPECT_EQ(32, rows[1]["ports"]);
  for (const auto& row : rows) {
    EXPECT_GE(row["lives"].get<int>(), 1);
    EXPECT_GT(row["lives_per_second"].get<double>(), 0);
  }
  // Every port is created, installed, started and published: the per-life
  // counts of a 32-port card are well above those of a 2-port one.
  for (const char* count : {"pool_allocations_per_life", "registry_operations_per_life", "irps_per_life"})
    EXPECT_GT(rows[1][count].get<int>(), 8 * rows[0][count].get<int>()) << count;
}

TEST(SimBench, TableNamesItsRows) {
  Outcome run = RunSim("--bench --bench-seconds 0.001 --bench-ports 2");
  ASSERT_EQ(0, run.exit) << run.out;
  for (const char* row : {"lives/s", "us/life", "pool allocations/life", "registry ops/life", "IRPs/life"})
    EXPECT_NE(std::string::npos, run.out.find(row)) << row;
  Outcome refused = RunSim("--bench --bench-ports 3");
  EXPECT_EQ(2, refused.exit) << refused.out;
}

}  // namespace
