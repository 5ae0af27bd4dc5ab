// Runs the cards' life on the host stand-in and records what happened: per
// card its identity, device tree, published values, page and register
// accesses; per event the statuses it produced; at the end the verifier's
// findings and what is left of pool, references and IRPs.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "host/machine.h"
#include "host/verifier.h"
#include "options.h"
#include "registry.h"

namespace sim {

// One request or action of an event and what came of it.
struct Step {
  std::string what;    // "IRP_MN_START_DEVICE", "EnumPropPages", "Change port", ...
  std::string result;  // a status name, TRUE/FALSE, OK/Cancel, or a note
};

struct RegisterRecord {
  int event;  // index into RunResult::events
  host::RegisterAccess access;
};

struct EventRecord {
  EventRecord(std::string text, int card, bool implicit) : text(std::move(text)), card(card), implicit(implicit) {}
  std::string text;
  int card;           // 1-based
  bool implicit = false;  // run by the simulator itself (plug, the end of the run)
  bool skipped = false;   // not sent: the card's state does not allow it
  std::vector<Step> steps;
  std::vector<host::RegWrite> writes;  // registry values written during the event
  std::vector<host::RegisterAccess> registers;
};

struct PortRecord {
  int index;  // 0-based
  std::string instanceId;
  std::string state;
  std::string comName;
  std::vector<host::RegValue> values;  // the port's Device Parameters key, in stored order
};

struct PageRecord {
  bool shown = false;
  std::string title;
  std::vector<std::string> lines;
  int selected = -1;
  bool changeEnabled = false;
};

struct CardRecord {
  CardRequest request;
  std::string instancePath;
  std::string location;  // "PCI bus 2, device 13, function 0"
  uint32_t subsystem = 0;
  std::string addStatus, startStatus;  // "" when not sent
  std::optional<uint32_t> portsValue;  // PORTS in the card's key
  std::optional<bool> multiMode;       // from the ports' PORTTYPE
  std::string state;                   // the card's state at the end
  std::string treeState;               // the card's state when the tree was taken
  std::string busDevice;               // the function driver over the PCI device ("" if none)
  std::vector<PortRecord> ports;       // as last seen while the card was present
  PageRecord page;                     // as last shown
  std::vector<RegisterRecord> registers;
};

struct VerifierRecord {
  // The verifier's findings with their check IDs, then what the end-of-run
  // checks found left behind (check "end-of-run").
  std::vector<host::VerifierFinding> findings;
  size_t poolBlocks = 0, poolBytes = 0, poolAllocations = 0;
  long references = 0;
  size_t irps = 0;
  size_t devicesLeft = 0;
};

struct RunResult {
  std::string driverEntry;
  bool unloaded = false;
  std::vector<CardRecord> cards;
  std::vector<EventRecord> events;
  VerifierRecord verifier;
};

RunResult RunLife(const Options& options);

}  // namespace sim
