// serhubsim: runs the serhub bus driver and the serhubpp property page on the
// host stand-in through the life of one or more cards and reports what a
// driver engineer or an integrator would look at.
#include <cstdio>
#include <fstream>

#include "bench.h"
#include "host/io.h"
#include "host/kernel.h"
#include "life.h"
#include "options.h"
#include "regfile.h"
#include "report.h"
#include "win32/host_win32.h"

namespace {

// Gives back what the stand-in still keeps (freed pool kept out of reuse,
// device objects, windows, keys), so that a leak checker run on the
// simulator sees only what the package itself leaked.
int ReleaseStandIn(int exitCode) {
  host::ResetWin32();
  host::ResetMachine();
  host::ResetIo();
  host::ResetKernel();
  host::RegistryStore::Instance().Reset();
  return exitCode;
}

}  // namespace

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
    return ReleaseStandIn(sim::RunBench(bench, stdout));
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
      return ReleaseStandIn(1);
    }
  }
  return ReleaseStandIn(run.verifier.findings.empty() ? 0 : 1);
}
