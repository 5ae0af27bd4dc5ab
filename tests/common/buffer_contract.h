// The bus driver's promises about what its child devices hand out, beyond
// what Windows asks: IDs, text and relations from pool tagged "Ddk ", bus
// information tagged "Zbus", every buffer exactly as large as its contents.
// The driver's fixtures install the check; what it finds is reported among
// the platform's findings at the end of the test.
#pragma once

#include <wdm.h>

#include <string>
#include <vector>

namespace testsupport {

struct BufferContract {
  ULONG ids = 0x206B6444;             // "Ddk " (0: tag not checked)
  ULONG text = 0x206B6444;            // "Ddk "
  ULONG relations = 0x206B6444;       // "Ddk "
  ULONG busInformation = 0x7375625A;  // "Zbus"
  bool exactSizes = true;
};

// Checks every handed-out buffer until the next ResetPlatform.
void ExpectBufferContract(const BufferContract& contract = {});
// What the check found since it was installed; taking them clears them.
std::vector<std::string> TakeBufferContractFindings();

}  // namespace testsupport
