#include "platform_test.h"

#include "registry.h"

#if SERHUB_TEST_KERNEL
#include "buffer_contract.h"
#include "host/io.h"
#include "host/kernel.h"
#include "host/machine.h"
#include "host/verifier.h"
#endif
#if SERHUB_TEST_WIN32
#include "win32/host_win32.h"
#endif

namespace testsupport {

void ResetPlatform() {
#if SERHUB_TEST_KERNEL
  // The machine goes first: forgetting its PCI devices joins the threads that
  // complete requests, so nothing runs in the kernel while it is reset.
  host::ResetMachine();
  TakeBufferContractFindings();
  host::WaitForCompletionsInFlight();
  host::ResetIo();
  host::ResetKernel();
#endif
  host::RegistryStore::Instance().Reset();
#if SERHUB_TEST_WIN32
  host::ResetWin32();
#endif
}

std::vector<std::string> PlatformFindings() {
  std::vector<std::string> all;
  auto add = [&all](const std::vector<std::string>& more) {
    all.insert(all.end(), more.begin(), more.end());
  };
#if SERHUB_TEST_KERNEL
  // Held requests are released by the machine's checks; let every thread
  // that completes one finish before the kernel counts what is left.
  add(host::MachineEndChecks());
  host::ResetMachine();
  if (!host::WaitForCompletionsInFlight())
    all.push_back("a request completion was still running at the end of the test");
  add(host::IoEndChecks());
  add(host::KernelEndChecks());
  add(host::VerifierFailures());
  add(TakeBufferContractFindings());
#endif
#if SERHUB_TEST_WIN32
  add(host::Win32EndChecks());
#endif
  return all;
}

}  // namespace testsupport
