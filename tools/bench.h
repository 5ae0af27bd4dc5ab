// serhubsim --bench: whole lives of one card in one process, back to back,
// for cards of several port counts side by side: the driver loaded, the card
// added and started, its ports enumerated and installed, the "Ports" sheet
// opened and closed with Apply and OK, the card removed and the driver
// unloaded. Reports lives per second, the time per port and what one life
// costs in pool allocations, registry operations and IRPs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace sim {

struct BenchOptions {
  std::vector<int> ports = {2, 8, 32};  // cards: 2, 4, 8, 16 or 32 ports
  double seconds = 1.0;                 // time spent on each card after a warm-up life
  int rounds = 5;  // the cards take turns this many times; each figure is the median round
  bool json = false;
};

// What one life cost and whether it was a whole one.
struct LifeCost {
  size_t portsStarted = 0;   // port devices the card reported
  size_t pageLines = 0;      // lines the "Ports" page listed
  size_t poolAllocations = 0;
  uint64_t registryOperations = 0;
  size_t irps = 0;
  std::vector<std::string> problems;  // a step that failed, or a verifier finding
};

// One card's turn: lives run back to back for a slice of the time.
struct BenchRound {
  uint64_t lives = 0;
  double seconds = 0;     // wall time
  double cpuSeconds = 0;  // processor time of the whole process (every thread)
};

// One card's figures. The cards take turns, so that what else the machine
// does at a moment falls on every card alike; each rate is that of the
// median round, which a stray busy moment does not move.
struct BenchRow {
  int ports = 0;
  uint64_t lives = 0;     // over every round
  double seconds = 0;     // wall time over every round
  double cpuSeconds = 0;  // processor time over every round
  std::vector<BenchRound> rounds;
  LifeCost cost;  // of the last life
  double LivesPerSecond() const;
  double LivesPerCpuSecond() const;
  double MicrosecondsPerLife() const { return LivesPerSecond() > 0 ? 1e6 / LivesPerSecond() : 0; }
  double MicrosecondsPerPort() const { return ports ? MicrosecondsPerLife() / ports : 0; }
};

// Microseconds one port more costs, between two rows.
double MarginalMicroseconds(const BenchRow& fewer, const BenchRow& more);

// Runs one life of a card with `ports` ports (the 32-port card with its four
// modules fitted).
LifeCost RunBenchLife(int ports);

// Runs the benchmark and prints its table (or JSON) to `out`. Returns 0, or
// 1 when a life was not whole (the problems are printed).
int RunBench(const BenchOptions& options, std::FILE* out);

}  // namespace sim
