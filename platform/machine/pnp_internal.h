// Glue between the parts of the Plug and Play manager stand-in: driver
// loading, sending requests, child bring-up, relations and the life-cycle
// sequences.
#pragma once

#include <wdm.h>

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "host/machine.h"
#include "machine_internal.h"

namespace host {

void RunComPortInstaller(DeviceNode& node);  // com.cpp

namespace machine {

// --- Nodes and text (pnp_nodes.cpp) ---
std::vector<uint8_t> SzBytes(const std::string& text);
std::vector<uint8_t> MultiSzBytes(const std::vector<std::string>& strings);
std::string NodeText(const DeviceNode& node);
// A node without a stack to send requests to.
bool Gone(const DeviceNode& node);
bool StartedLike(NodeState s);
// A parent that is being removed or was surprise-removed reports no children.
bool ParentLeaving(const DeviceNode& parent);
bool& IllegalSequencesAllowed();
// A request the Plug and Play manager never sends in this order: refused
// with a finding unless the test asked for it.
bool RefuseSequence(const DeviceNode& node, const std::string& what);

// --- Sending requests (pnp_requests.cpp) ---
// One Plug and Play request to the top of the stack the device is in (or to
// the device itself), as the manager sends it.
PnpResult Call(PDEVICE_OBJECT device, UCHAR minor, const std::function<void(PIO_STACK_LOCATION)>& fill,
               ULONG_PTR information, bool toTop = true);
// A buffer handed out in a completed request: its size, 0 if it is no pool
// block. With `needed` its contents' size goes to the test's hook.
size_t CheckHandedOut(const void* buffer, const char* what, size_t needed);
std::optional<std::vector<std::string>> TakeStrings(ULONG_PTR information, const char* what,
                                                    bool multi);
void ReportHandedOut(const HandedOutBuffer& buffer);
// Whether a test watches handed-out buffers (ReportHandedOut has somewhere to go).
bool HandedOutWatched();
void SetHandedOutHook(std::function<void(const HandedOutBuffer&)> hook);
std::vector<uint8_t> TakeBlock(ULONG_PTR information, const char* what, size_t needed);
std::optional<DEVICE_CAPABILITIES> QueryCapabilities(DeviceNode& node);

// --- Child bring-up (pnp_children.cpp) ---
void AddFunctionDriver(DeviceNode& node);
void BringUpChild(DeviceNode& child);
void StartChild(DeviceNode& child);

// --- Relations (pnp_relations.cpp) ---
void ProcessRelations(DeviceNode& node, ULONG_PTR information);
void QueryRemovalRelations(DeviceNode& node);

// --- Life-cycle sequences (pnp_lifecycle.cpp) ---
void PostOrder(DeviceNode& node, std::vector<DeviceNode*>& out);
std::map<DeviceNode*, NodeState>& SavedStates();
void SaveState(DeviceNode& node);
void RestoreState(DeviceNode& node);
NTSTATUS StartAndFollowUp(DeviceNode& node, PCM_RESOURCE_LIST raw, PCM_RESOURCE_LIST translated,
                          bool removeOnFailure);
NTSTATUS RemoveTree(DeviceNode& node, bool disable = false);
void AfterRemove(DeviceNode& node, bool keep);

}  // namespace machine
}  // namespace host
