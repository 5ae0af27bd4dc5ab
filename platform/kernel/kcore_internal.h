// Private plumbing shared by the executive core's source files (objects, IRPs,
// pool, dispatcher objects, IRQL, Rtl). Nothing outside platform/kernel uses it.
//
// Lock order: irp -> objects -> pool -> dispatcher -> verifier. Each module's
// lock is held only around its own bookkeeping, never while driver code runs.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "wdm.h"

namespace host {
namespace kcore {

// Identity of the calling thread (what FAST_MUTEX.Owner and
// IRP.Tail.Overlay.Thread hold).
PVOID ThreadToken();

// IRQL of the calling thread, without checks. Lowering it below APC_LEVEL
// delivers the kernel APCs queued to the thread.
KIRQL Irql();
void SetIrql(KIRQL irql);

// Queues a kernel APC to `thread` (a ThreadToken): run at once when that
// thread is below APC_LEVEL (or gone), otherwise when its IRQL drops.
// `signals` is the event the routine will signal (for the deadlock check of
// KeWaitForSingleObject), or NULL.
void QueueKernelApc(PVOID thread, PRKEVENT signals, std::function<void()> routine);
// Removes from the calling thread's queue an APC that signals `event`.
bool TakeApcSignalling(PRKEVENT event, std::function<void()>* routine);
void ResetApcs();
size_t QueuedApcCount();
// Wakes every thread blocked in a dispatcher wait so that it looks again.
void WakeWaiters();

// Per-module reset and end-of-test findings, called by ResetKernel and
// KernelEndChecks.
void ResetObjects();
void ObjectEndChecks(std::vector<std::string>& out);
void ResetIrps();
void IrpEndChecks(std::vector<std::string>& out);
void ResetPool();
void PoolEndChecks(std::vector<std::string>& out);
void ResetSync();
void SyncEndChecks(std::vector<std::string>& out);

// Sets an event on the I/O manager's behalf (the completion of a threaded
// IRP, which the platform runs later at PASSIVE_LEVEL), without IRQL checks.
void SignalEventFromIoManager(PRKEVENT event);

// At DISPATCH_LEVEL or above: records a finding when p lies in a live
// paged-pool block (`use` says what the pointer is, for the message).
void CheckResidentAtIrql(const void* p, const std::string& use);

// Whether a held fast mutex lies inside [begin, begin + length).
bool HeldFastMutexWithin(const void* begin, size_t length);

// The device is being deleted: forget its power serialisation.
void ForgetPowerDevice(PDEVICE_OBJECT device);

// Text for messages.
std::string Hex(uint64_t value, int digits = 8);
std::string PointerText(const void* p);
std::string StatusText(NTSTATUS status);
std::string IrpFunctionText(UCHAR major, UCHAR minor);
// "device 0x... (\Driver\x, \Device\y)" -- safe for any pointer.
std::string DeviceText(PDEVICE_OBJECT dev);
std::string Narrow(const std::u16string& s);

// Fault injection bookkeeping for the I/O manager's IRP allocations.
bool ConsumeIrpAllocationFault();

// An IRP for the host's own senders: no fault injection, no IRQL check.
PIRP AllocateIrpUnchecked(CCHAR stackSize);

// Memory patterns.
constexpr unsigned char kAllocatedFill = 0xA5;  // fresh pool: not zero
constexpr unsigned char kFreedFill = 0xDD;      // freed pool, IRPs, devices
constexpr unsigned char kGuardFill = 0xFD;      // guard bytes around blocks

}  // namespace kcore
}  // namespace host
