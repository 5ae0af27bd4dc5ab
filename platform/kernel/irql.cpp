// Interrupt request level of each thread, and the pageable-code check.
#include <functional>

#include "host/kernel.h"
#include "host/verifier.h"
#include "kcore_internal.h"

namespace {
thread_local KIRQL t_irql = PASSIVE_LEVEL;
thread_local char t_threadIdentity;
}  // namespace

namespace host {
namespace kcore {

PVOID ThreadToken() { return &t_threadIdentity; }
KIRQL Irql() { return t_irql; }
void SetIrql(KIRQL irql) { t_irql = irql; }

}  // namespace kcore

KIRQL SetCurrentIrql(KIRQL irql) {
  KIRQL old = t_irql;
  t_irql = irql;
  return old;
}

void RunAtIrql(KIRQL irql, const std::function<void()>& fn) {
  KIRQL old = SetCurrentIrql(irql);
  fn();
  SetCurrentIrql(old);
}

}  // namespace host

extern "C" {

KIRQL NTAPI KeGetCurrentIrql(VOID) { return t_irql; }

VOID NTAPI KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) {
  if (NewIrql > HIGH_LEVEL) {
    host::VerifierFail("irql.raise-invalid",
                       "KeRaiseIrql to " + std::to_string(NewIrql) + ", which is not an IRQL");
  } else if (NewIrql < t_irql) {
    host::VerifierFail("irql.raise-below-current",
                       "KeRaiseIrql to " + std::to_string(NewIrql) + " from the higher IRQL " +
                           std::to_string(t_irql) + " (IRQL_NOT_GREATER_OR_EQUAL)");
  }
  if (OldIrql != nullptr) *OldIrql = t_irql;
  t_irql = NewIrql;
}

VOID NTAPI KeLowerIrql(KIRQL NewIrql) {
  if (NewIrql > t_irql) {
    host::VerifierFail("irql.lower-above-current",
                       "KeLowerIrql to " + std::to_string(NewIrql) + " from the lower IRQL " +
                           std::to_string(t_irql) + " (IRQL_NOT_LESS_OR_EQUAL)");
  }
  t_irql = NewIrql;
}

VOID NTAPI HostPagedCodeCheck(const char* Routine) {
  if (t_irql > APC_LEVEL) {
    host::VerifierFail("irql.paged-code", std::string("pageable code ") +
                                              (Routine ? Routine : "?") + " ran at IRQL " +
                                              std::to_string(t_irql) + " (above APC_LEVEL)");
  }
}

}  // extern "C"
