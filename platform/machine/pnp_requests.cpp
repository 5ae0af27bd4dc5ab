// Sending Plug and Play requests as the manager does, and taking over the
// buffers that drivers hand out in them.
#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <set>

#include "host/io.h"
#include "host/kernel.h"
#include "host/verifier.h"
#include "pnp_internal.h"
#include "registry.h"

namespace host {

namespace machine {

// One Plug and Play request to the top of the stack the device is in, as the
// Plug and Play manager sends it: status STATUS_NOT_SUPPORTED, the given
// Information, waited for when pending.
PnpResult Call(PDEVICE_OBJECT device, UCHAR minor,
               const std::function<void(PIO_STACK_LOCATION)>& fill, ULONG_PTR information,
               bool toTop) {
  PnpResult result{STATUS_INSUFFICIENT_RESOURCES, STATUS_INSUFFICIENT_RESOURCES, information};
  if (device == nullptr || !IsDeviceAlive(device)) {
    VerifierFail("host.bad-call", "machine: " + PnpMinorName(minor) + " for a device that no longer exists");
    return result;
  }
  PDEVICE_OBJECT target = toTop ? IoGetAttachedDeviceReference(device) : device;
  if (!toTop) ObReferenceObject(target);
  if (information == 0) {
    // The host's own sender: no IRP allocation faults are spent on it.
    IrpResult r = SendIrpAndWait(target, IRP_MJ_PNP, minor, fill, STATUS_NOT_SUPPORTED);
    result = {r.returned, r.iosb.Status, r.iosb.Information};
  } else {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb;
    iosb.Status = STATUS_NOT_SUPPORTED;
    iosb.Information = information;
    PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, target, nullptr, 0, nullptr, &event, &iosb);
    if (irp != nullptr) {
      irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
      irp->IoStatus.Information = information;
      PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
      stack->MajorFunction = IRP_MJ_PNP;
      stack->MinorFunction = minor;
      if (fill) fill(stack);
      result.returned = IoCallDriver(target, irp);
      if (result.returned == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
      }
      result.status = iosb.Status;
      result.information = iosb.Information;
    }
  }
  ObDereferenceObject(target);
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
    VerifierFail("pnp.irql-on-return", "machine: " + PnpMinorName(minor) + " came back at IRQL " +
                 std::to_string(KeGetCurrentIrql()));
  }
  return result;
}

// A buffer a driver handed out in a completed request: the requester frees
// it with ExFreePool, so it must be a live pool block (the reference pages
// of IRP_MN_QUERY_ID, IRP_MN_QUERY_DEVICE_TEXT, IRP_MN_QUERY_DEVICE_RELATIONS
// and IRP_MN_QUERY_BUS_INFORMATION). Returns its size, or 0 when it is no
// pool block. Tags and sizes beyond that are a driver's own promises: they
// go to the test's hook.
size_t CheckHandedOut(const void* buffer, const char* what, size_t needed) {
  auto block = PoolBlock(buffer);
  if (!block) {
    VerifierFail("pnp.buffer-not-pool", std::string("machine: ") + what + " at " + Hex((ULONG_PTR)buffer) +
                 " is not a pool block the requester can free");
    return 0;
  }
  if (needed != 0 && HandedOutWatched()) ReportHandedOut(HandedOutBuffer{what, block->tag, block->size, needed});
  return block->size;
}

// Reads a wide string (or multi-string) handed out in Information, checks its
// buffer and frees it.
std::optional<std::vector<std::string>> TakeStrings(ULONG_PTR information, const char* what,
                                                    bool multi) {
  if (information == 0) {
    VerifierFail("pnp.no-buffer", std::string("machine: ") + what + " succeeded without a buffer");
    return std::nullopt;
  }
  const auto* text = reinterpret_cast<const char16_t*>(information);
  size_t size = CheckHandedOut(text, what, 0);
  if (size == 0) return std::nullopt;
  const size_t units = size / sizeof(char16_t);
  std::vector<std::string> strings;
  size_t used = 0;  // code units up to and including the final NUL
  bool terminated = false;
  size_t start = 0;  // of the string being read
  for (size_t i = 0; i < units; i++) {
    if (text[i] != 0) continue;
    if (multi && i == start) {  // the empty string that ends a multi-string
      used = i + 1;
      terminated = true;
      break;
    }
    std::string one(i - start, '\0');
    for (size_t k = start; k < i; ++k) one[k - start] = text[k] < 0x80 ? static_cast<char>(text[k]) : '?';
    strings.push_back(std::move(one));
    start = i + 1;
    if (!multi) {
      used = i + 1;
      terminated = true;
      break;
    }
  }
  if (!terminated) {
    VerifierFail("pnp.buffer-overrun", std::string("machine: ") + what + " is not " +
                 (multi ? "ended by an empty string" : "NUL-terminated") + " within its " +
                 std::to_string(size) + "-byte buffer");
  } else {
    if (HandedOutWatched())
      ReportHandedOut(HandedOutBuffer{what, PoolBlock(text)->tag, size, used * sizeof(char16_t)});
  }
  ExFreePool(const_cast<char16_t*>(text));
  if (!terminated) return std::nullopt;
  return strings;
}

// A copy of a pool block of known layout, freed afterwards.
std::vector<uint8_t> TakeBlock(ULONG_PTR information, const char* what, size_t needed) {
  auto* p = reinterpret_cast<uint8_t*>(information);
  size_t size = CheckHandedOut(p, what, 0);
  if (size == 0) return {};
  std::vector<uint8_t> bytes(p, p + std::min(size, needed));
  if (needed > size) {
    VerifierFail("pnp.buffer-overrun", std::string("machine: ") + what + " needs " + std::to_string(needed) +
                 " bytes but its buffer holds " + std::to_string(size));
  }
  ExFreePool(p);
  return bytes;
}

namespace {
std::function<void(const HandedOutBuffer&)>& Hook() {
  static std::function<void(const HandedOutBuffer&)> hook;
  return hook;
}
std::atomic<bool> g_hooked{false};  // Hook() is set
}  // namespace

bool HandedOutWatched() { return g_hooked.load(std::memory_order_acquire); }

void ReportHandedOut(const HandedOutBuffer& buffer) {
  std::function<void(const HandedOutBuffer&)> hook;
  {
    std::lock_guard<std::recursive_mutex> lock(State().mutex);
    hook = Hook();
  }
  if (hook) hook(buffer);
}

void SetHandedOutHook(std::function<void(const HandedOutBuffer&)> hook) {
  std::lock_guard<std::recursive_mutex> lock(State().mutex);
  Hook() = std::move(hook);
  g_hooked.store(static_cast<bool>(Hook()), std::memory_order_release);
}

// Capabilities as the manager asks for them: at enumeration and again once
// the device's drivers have started it (IRP_MN_QUERY_CAPABILITIES).
std::optional<DEVICE_CAPABILITIES> QueryCapabilities(DeviceNode& node) {
  DEVICE_CAPABILITIES caps{};
  caps.Size = sizeof(DEVICE_CAPABILITIES);
  caps.Version = 1;
  caps.Address = 0xFFFFFFFF;
  caps.UINumber = 0xFFFFFFFF;
  PnpResult r = Call(node.Pdo(), IRP_MN_QUERY_CAPABILITIES, [&](PIO_STACK_LOCATION s) {
    s->Parameters.DeviceCapabilities.Capabilities = &caps;
  }, 0);
  if (!NT_SUCCESS(r.status)) return std::nullopt;
  return caps;
}

}  // namespace machine

using namespace machine;

void OnHandedOutBuffer(std::function<void(const HandedOutBuffer&)> hook) {
  SetHandedOutHook(std::move(hook));
}

PnpResult SendPnp(DeviceNode& node, UCHAR minor, const std::function<void(PIO_STACK_LOCATION)>& fill,
                  ULONG_PTR information) {
  return Call(node.Pdo(), minor, fill, information, true);
}

PnpResult SendPnpTo(PDEVICE_OBJECT device, UCHAR minor, const std::function<void(PIO_STACK_LOCATION)>& fill,
                    ULONG_PTR information) {
  return Call(device, minor, fill, information, false);
}

}  // namespace host
