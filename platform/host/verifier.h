// The stand-in's Driver Verifier: every check in the kernel, HAL, I/O manager
// and machine stand-ins reports a broken rule here instead of bugchecking.
// The test fixture fails the test when anything was recorded.
#pragma once

#include <string>
#include <vector>

namespace host {

// Records a broken rule (thread-safe). Never aborts; the caller carries on
// as gracefully as it can.
void VerifierFail(const std::string& what);

// Everything recorded since the last ClearVerifierFailures (or ResetKernel).
std::vector<std::string> VerifierFailures();

void ClearVerifierFailures();

}  // namespace host
