// serhubsim: runs the serhub bus driver and the serhubpp property page on the
// host stand-in through the life of one or more cards and reports what a
// driver engineer or an integrator would look at.
#include <cstdio>
#include <fstream>

#include "bench.h"
#include "life.h"
#include "options.h"
#include "regfile.h"
#include "report.h"

int main(int argc, char** argv) {
  sim::ParseResult parsed = sim::ParseCommandLine(argc, argv);
  if (!parsed.options) return parsed.exitCode;
  const sim::Options& options = *parsed.options;
  // Run modes other than the scripted life are dispatched here, before the
  // life runs.
  if (options.bench) {
    sim::BenchOptions bench;
    bench.seconds = options.benchSeconds;
    bench.ports = options.benchPorts;
    bench.json = options.json;
    return sim::RunBench(bench, stdout);
  }

  sim::RunResult run = sim::RunLife(options);
  if (options.json)
    std::printf("%s\n", sim::ToJson(run).dump(2).c_str());
  else
    sim::PrintText(options, run, stdout);

  if (!options.registryPath.empty()) {
    auto bytes = sim::ExportRegFile(host::RegistryStore::Instance());
    std::ofstream out(options.registryPath, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) {
      std::fprintf(stderr, "serhubsim: --registry: '%s' could not be written\n", options.registryPath.c_str());
      return 1;
    }
  }
  return run.verifier.findings.empty() ? 0 : 1;
}
