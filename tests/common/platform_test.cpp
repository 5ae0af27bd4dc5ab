#include "platform_test.h"

#include "registry.h"

#if SERHUB_TEST_KERNEL
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
  host::RegistryStore::Instance().Reset();
#if SERHUB_TEST_KERNEL
  host::ResetKernel();
  host::ResetIo();
  host::ResetMachine();
#endif
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
  add(host::MachineEndChecks());
  add(host::IoEndChecks());
  add(host::KernelEndChecks());
  add(host::VerifierFailures());
#endif
#if SERHUB_TEST_WIN32
  add(host::Win32EndChecks());
#endif
  return all;
}

}  // namespace testsupport
