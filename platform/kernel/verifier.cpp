// The verifier's record of broken rules, and the whole-kernel reset and
// end-of-test checks.
#include "host/verifier.h"

#include <cstdio>
#include <mutex>

#include "host/kernel.h"
#include "kcore_internal.h"

namespace host {

namespace {
std::mutex g_verifierLock;
std::vector<VerifierFinding>& Findings() {
  static std::vector<VerifierFinding> findings;
  return findings;
}
}  // namespace

void VerifierFail(const char* check, const std::string& what) {
  std::lock_guard<std::mutex> lock(g_verifierLock);
  Findings().push_back({check != nullptr ? check : "unclassified", what});
}

void VerifierFail(const std::string& what) { VerifierFail("unclassified", what); }

std::vector<VerifierFinding> VerifierFindings() {
  std::lock_guard<std::mutex> lock(g_verifierLock);
  return Findings();
}

std::vector<std::string> VerifierFailures() {
  std::vector<std::string> out;
  for (const VerifierFinding& f : VerifierFindings()) out.push_back(f.check + ": " + f.what);
  return out;
}

size_t VerifierCount(const std::string& check) {
  std::lock_guard<std::mutex> lock(g_verifierLock);
  size_t n = 0;
  for (const VerifierFinding& f : Findings()) n += f.check == check ? 1 : 0;
  return n;
}

void ClearVerifierFailures() {
  std::lock_guard<std::mutex> lock(g_verifierLock);
  Findings().clear();
}

void ResetKernel() {
  kcore::ResetApcs();
  kcore::ResetIrps();
  kcore::ResetObjects();
  kcore::ResetPool();
  kcore::ResetSync();
  kcore::SetIrql(PASSIVE_LEVEL);
  ClearVerifierFailures();
}

std::vector<std::string> KernelEndChecks() {
  std::vector<std::string> out;
  kcore::IrpEndChecks(out);
  kcore::ObjectEndChecks(out);
  kcore::PoolEndChecks(out);
  kcore::SyncEndChecks(out);
  if (kcore::Irql() != PASSIVE_LEVEL) {
    out.push_back("irql.raised-at-end: the test thread's IRQL is still " + std::to_string(kcore::Irql()) +
                  " (not back at PASSIVE_LEVEL)");
  }
  return out;
}

namespace kcore {

namespace {
// value in hexadecimal after "0x", at least `digits` digits (as printf's
// "0x%0*llX", or "%p" with lower case and no padding): findings name
// pointers on hot paths, where snprintf would cost more than the call.
std::string HexText(uint64_t value, int digits, const char* alphabet) {
  char buf[2 + 64];
  char* end = buf + sizeof buf;
  char* p = end;
  int n = 0;
  do {
    *--p = alphabet[value & 0xF];
    value >>= 4;
    ++n;
  } while (value != 0);
  int width = digits < 64 ? digits : 64;
  for (; n < width; ++n) *--p = '0';
  *--p = 'x';
  *--p = '0';
  return std::string(p, end);
}
}  // namespace

std::string Hex(uint64_t value, int digits) { return HexText(value, digits, "0123456789ABCDEF"); }

std::string PointerText(const void* p) {
  if (p == nullptr) return "(nil)";
  return HexText(reinterpret_cast<uintptr_t>(p), 0, "0123456789abcdef");
}

std::string Narrow(const std::u16string& s) {
  std::string out;
  for (char16_t c : s) out += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '?';
  return out;
}

std::string StatusText(NTSTATUS status) {
  struct Name {
    NTSTATUS value;
    const char* name;
  };
  static const Name kNames[] = {
      {STATUS_SUCCESS, "STATUS_SUCCESS"},
      {STATUS_TIMEOUT, "STATUS_TIMEOUT"},
      {STATUS_PENDING, "STATUS_PENDING"},
      {STATUS_BUFFER_OVERFLOW, "STATUS_BUFFER_OVERFLOW"},
      {STATUS_NO_MORE_ENTRIES, "STATUS_NO_MORE_ENTRIES"},
      {STATUS_UNSUCCESSFUL, "STATUS_UNSUCCESSFUL"},
      {STATUS_NOT_IMPLEMENTED, "STATUS_NOT_IMPLEMENTED"},
      {STATUS_INVALID_PARAMETER, "STATUS_INVALID_PARAMETER"},
      {STATUS_NO_SUCH_DEVICE, "STATUS_NO_SUCH_DEVICE"},
      {STATUS_INVALID_DEVICE_REQUEST, "STATUS_INVALID_DEVICE_REQUEST"},
      {STATUS_MORE_PROCESSING_REQUIRED, "STATUS_MORE_PROCESSING_REQUIRED"},
      {STATUS_NO_MEMORY, "STATUS_NO_MEMORY"},
      {STATUS_ACCESS_DENIED, "STATUS_ACCESS_DENIED"},
      {STATUS_BUFFER_TOO_SMALL, "STATUS_BUFFER_TOO_SMALL"},
      {STATUS_OBJECT_NAME_NOT_FOUND, "STATUS_OBJECT_NAME_NOT_FOUND"},
      {STATUS_OBJECT_NAME_COLLISION, "STATUS_OBJECT_NAME_COLLISION"},
      {STATUS_DELETE_PENDING, "STATUS_DELETE_PENDING"},
      {STATUS_INSUFFICIENT_RESOURCES, "STATUS_INSUFFICIENT_RESOURCES"},
      {STATUS_DEVICE_NOT_READY, "STATUS_DEVICE_NOT_READY"},
      {STATUS_NOT_SUPPORTED, "STATUS_NOT_SUPPORTED"},
      {STATUS_CANCELLED, "STATUS_CANCELLED"},
      {STATUS_INVALID_DEVICE_STATE, "STATUS_INVALID_DEVICE_STATE"},
      {STATUS_DEVICE_CONFIGURATION_ERROR, "STATUS_DEVICE_CONFIGURATION_ERROR"},
      {STATUS_NOT_FOUND, "STATUS_NOT_FOUND"},
  };
  for (const Name& n : kNames) {
    if (n.value == status) return std::string(n.name) + " (" + Hex(static_cast<ULONG>(status)) + ")";
  }
  return Hex(static_cast<ULONG>(status));
}

std::string IrpFunctionText(UCHAR major, UCHAR minor) {
  static const char* const kPnp[] = {
      "IRP_MN_START_DEVICE", "IRP_MN_QUERY_REMOVE_DEVICE", "IRP_MN_REMOVE_DEVICE",
      "IRP_MN_CANCEL_REMOVE_DEVICE", "IRP_MN_STOP_DEVICE", "IRP_MN_QUERY_STOP_DEVICE",
      "IRP_MN_CANCEL_STOP_DEVICE", "IRP_MN_QUERY_DEVICE_RELATIONS", "IRP_MN_QUERY_INTERFACE",
      "IRP_MN_QUERY_CAPABILITIES", "IRP_MN_QUERY_RESOURCES", "IRP_MN_QUERY_RESOURCE_REQUIREMENTS",
      "IRP_MN_QUERY_DEVICE_TEXT", "IRP_MN_FILTER_RESOURCE_REQUIREMENTS", "0x0E",
      "IRP_MN_READ_CONFIG", "IRP_MN_WRITE_CONFIG", "IRP_MN_EJECT", "IRP_MN_SET_LOCK",
      "IRP_MN_QUERY_ID", "IRP_MN_QUERY_PNP_DEVICE_STATE", "IRP_MN_QUERY_BUS_INFORMATION",
      "IRP_MN_DEVICE_USAGE_NOTIFICATION", "IRP_MN_SURPRISE_REMOVAL"};
  static const char* const kPower[] = {"IRP_MN_WAIT_WAKE", "IRP_MN_POWER_SEQUENCE",
                                       "IRP_MN_SET_POWER", "IRP_MN_QUERY_POWER"};
  switch (major) {
    case IRP_MJ_PNP:
      if (minor < sizeof kPnp / sizeof kPnp[0]) return std::string("IRP_MJ_PNP/") + kPnp[minor];
      return "IRP_MJ_PNP/" + Hex(minor, 2);
    case IRP_MJ_POWER:
      if (minor < 4) return std::string("IRP_MJ_POWER/") + kPower[minor];
      return "IRP_MJ_POWER/" + Hex(minor, 2);
    case IRP_MJ_CREATE: return "IRP_MJ_CREATE";
    case IRP_MJ_CLOSE: return "IRP_MJ_CLOSE";
    case IRP_MJ_READ: return "IRP_MJ_READ";
    case IRP_MJ_WRITE: return "IRP_MJ_WRITE";
    case IRP_MJ_FLUSH_BUFFERS: return "IRP_MJ_FLUSH_BUFFERS";
    case IRP_MJ_DEVICE_CONTROL: return "IRP_MJ_DEVICE_CONTROL";
    case IRP_MJ_INTERNAL_DEVICE_CONTROL: return "IRP_MJ_INTERNAL_DEVICE_CONTROL";
    case IRP_MJ_SHUTDOWN: return "IRP_MJ_SHUTDOWN";
    case IRP_MJ_CLEANUP: return "IRP_MJ_CLEANUP";
    case IRP_MJ_SYSTEM_CONTROL: return "IRP_MJ_SYSTEM_CONTROL";
    default: return "IRP_MJ " + Hex(major, 2) + "/" + Hex(minor, 2);
  }
}

}  // namespace kcore
}  // namespace host
