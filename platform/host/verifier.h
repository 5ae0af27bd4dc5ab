// The stand-in's Driver Verifier: every check in the kernel, HAL, I/O manager
// and machine stand-ins reports a broken rule here instead of bugchecking.
// The test fixture fails the test when anything was recorded.
//
// Every finding names its check: a short stable ID such as "io.irql-changed".
// docs/verifier-checks.md lists every ID with the Driver Verifier bug check
// (and parameter) or the documented rule it stands for, and where it is made.
#pragma once

#include <string>
#include <vector>

namespace host {

struct VerifierFinding {
  std::string check;  // the check's ID
  std::string what;   // what was seen, for a person
};

// Records a broken rule (thread-safe). Never aborts; the caller carries on
// as gracefully as it can. `check` is a string literal from the table.
void VerifierFail(const char* check, const std::string& what);

// The older form, for callers not yet given a check ID: recorded under the
// ID "unclassified".
void VerifierFail(const std::string& what);

// Everything recorded since the last ClearVerifierFailures (or ResetKernel).
std::vector<VerifierFinding> VerifierFindings();

// The same, one "check: what" text per finding.
std::vector<std::string> VerifierFailures();

// How many findings of one check were recorded.
size_t VerifierCount(const std::string& check);

void ClearVerifierFailures();

}  // namespace host
