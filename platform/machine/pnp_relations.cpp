// Device relations: a bus-relations answer creates nodes for new children
// and removes the vanished ones; removal relations are asked before a query
// remove.
#include <algorithm>
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

// The manager reads Count entries after the count: the list must hold them.
void CheckRelationsBlock(const DEVICE_RELATIONS* relations) {
  size_t size = CheckHandedOut(relations, "bus relations", 0);
  if (size == 0) return;
  size_t minimum = FIELD_OFFSET(DEVICE_RELATIONS, Objects);
  if (size < minimum) {
    VerifierFail("pnp.buffer-overrun", "machine: bus relations list of " + std::to_string(size) +
                 " bytes has no room for its count");
    return;
  }
  size_t exact = minimum + relations->Count * sizeof(PDEVICE_OBJECT);
  if (size < exact) {
    VerifierFail("pnp.buffer-overrun", "machine: bus relations list with " + std::to_string(relations->Count) +
                 " device(s) came in a " + std::to_string(size) + "-byte buffer; it needs " +
                 std::to_string(exact));
  }
  // An empty list may come as a whole DEVICE_RELATIONS.
  if (relations->Count == 0 && size == sizeof(DEVICE_RELATIONS)) exact = size;
  if (HandedOutWatched()) ReportHandedOut(HandedOutBuffer{"bus relations", PoolBlock(relations)->tag, size, exact});
}

// A bus-relations answer: forget known devices' extra references, remove
// vanished children, bring up new ones.
void ProcessRelations(DeviceNode& node, ULONG_PTR information) {
  std::vector<PDEVICE_OBJECT> reported;
  if (information != 0) {
    auto* relations = reinterpret_cast<PDEVICE_RELATIONS>(information);
    CheckRelationsBlock(relations);
    if (PoolBlock(relations)) {
      size_t room = (PoolBlock(relations)->size - FIELD_OFFSET(DEVICE_RELATIONS, Objects)) / sizeof(PDEVICE_OBJECT);
      for (ULONG i = 0; i < relations->Count && i < room; i++) reported.push_back(relations->Objects[i]);
      ExFreePool(relations);
    }
  }

  std::vector<DeviceNode*> present = node.Children();
  // The present children by PDO, sorted, so that each reported PDO is found
  // without a walk over the children; of equal PDOs the first child wins.
  std::less<PDEVICE_OBJECT> before;
  std::vector<std::pair<PDEVICE_OBJECT, size_t>> byPdo;
  byPdo.reserve(present.size());
  for (size_t i = 0; i < present.size(); i++) byPdo.emplace_back(present[i]->Pdo(), i);
  std::sort(byPdo.begin(), byPdo.end(), [&](const auto& a, const auto& b) {
    return before(a.first, b.first) || (a.first == b.first && a.second < b.second);
  });
  std::vector<char> seen(present.size(), 0);  // by position in present
  std::vector<DeviceNode*> fresh;
  std::vector<PDEVICE_OBJECT> listed;  // sorted
  listed.reserve(reported.size());
  for (PDEVICE_OBJECT pdo : reported) {
    if (pdo == nullptr || !IsDeviceAlive(pdo)) {
      VerifierFail("pnp.relations-bad-device", "machine: bus relations of " + NodeText(node) + " name a device that does not exist (" +
                   Hex((ULONG_PTR)pdo) + ")");
      continue;
    }
    auto slot = std::lower_bound(listed.begin(), listed.end(), pdo, before);
    if (slot != listed.end() && *slot == pdo) {
      VerifierFail("pnp.relations-bad-device", "machine: bus relations of " + NodeText(node) + " list device " + Hex((ULONG_PTR)pdo) + " twice");
      ObDereferenceObject(pdo);
      continue;
    }
    listed.insert(slot, pdo);
    auto known = std::lower_bound(byPdo.begin(), byPdo.end(), pdo,
                                  [&](const auto& entry, PDEVICE_OBJECT p) { return before(entry.first, p); });
    if (known != byPdo.end() && known->first == pdo) {
      // The manager already holds its reference; this one was the list's.
      ObDereferenceObject(pdo);
      seen[known->second] = 1;
      present[known->second]->reported = true;
      continue;
    }
    if (pdo->Flags & DO_DEVICE_INITIALIZING) {
      VerifierFail("pnp.initializing-not-cleared", "machine: bus relations of " + NodeText(node) + " report device " + Hex((ULONG_PTR)pdo) +
                   " with DO_DEVICE_INITIALIZING still set");
    }
    pdo->Flags |= DO_BUS_ENUMERATED_DEVICE;
    auto child = std::make_unique<DeviceNode>(&node, pdo, "");
    child->holdsReference = true;
    child->reported = true;
    DeviceNode* raw = child.get();
    {
      std::lock_guard<std::recursive_mutex> lock(State().mutex);
      State().nodes.push_back(std::move(child));
    }
    node.AddChild(raw);
    fresh.push_back(raw);
  }

  // New children first: a vanished child's device node exists until its
  // removal has been processed after the enumeration.
  for (size_t i = 0; i < present.size(); i++) {
    if (!seen[i]) present[i]->reported = false;
  }
  for (DeviceNode* child : fresh) BringUpChild(*child);

  // Children the bus no longer reports: reported missing, so their PDOs may
  // go at the removal that follows (a second one for a disabled child).
  for (size_t i = 0; i < present.size(); i++) {
    if (seen[i]) continue;
    DeviceNode* child = present[i];
    if (StartedLike(child->State())) {
      for (DeviceNode* d : [&] { std::vector<DeviceNode*> v; PostOrder(*child, v); return v; }()) {
        if (StartedLike(d->State())) {
          Call(d->Pdo(), IRP_MN_SURPRISE_REMOVAL, {}, 0);
          d->SetState(NodeState::SurpriseRemoved);
        }
      }
    }
    RemoveTree(*child);
  }
}

// Before it asks a device whether it can be removed, the manager collects
// the devices that go with it: IRP_MN_QUERY_DEVICE_RELATIONS for
// RemovalRelations (the reported devices are queried along with it; the
// drivers here report none of their own).
void QueryRemovalRelations(DeviceNode& node) {
  PnpResult r = Call(node.Pdo(), IRP_MN_QUERY_DEVICE_RELATIONS, [](PIO_STACK_LOCATION s) {
    s->Parameters.QueryDeviceRelations.Type = RemovalRelations;
  }, 0);
  if (!NT_SUCCESS(r.status) || r.information == 0) return;
  auto* relations = reinterpret_cast<PDEVICE_RELATIONS>(r.information);
  if (CheckHandedOut(relations, "removal relations", 0) == 0) return;
  for (ULONG i = 0; i < relations->Count; i++) {
    if (relations->Objects[i] != nullptr) ObDereferenceObject(relations->Objects[i]);
  }
  ExFreePool(relations);
}

}  // namespace machine

using namespace machine;

NTSTATUS QueryBusRelations(DeviceNode& node) {
  PnpResult r = Call(node.Pdo(), IRP_MN_QUERY_DEVICE_RELATIONS, [](PIO_STACK_LOCATION s) {
    s->Parameters.QueryDeviceRelations.Type = BusRelations;
  }, 0);
  node.relationsStatus = r.status;
  if (!NT_SUCCESS(r.status)) {
    if (r.information != 0) {
      VerifierFail("pnp.failed-with-buffer", "machine: failed bus relations of " + NodeText(node) + " came back with a list");
    }
    return r.status;
  }
  ProcessRelations(node, r.information);
  return r.status;
}

}  // namespace host
