// What the simulator was asked to do: the cards on the machine, the events of
// their life, and where the output and the registry go. Parsing refuses
// anything it cannot act on with one line naming the option and the value.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "regfile.h"

namespace sim {

struct CardRequest {
  std::string text;          // as given, for messages
  std::string model;         // "2", "4", "8", "16", "32", "2m", "4m", "32mem" or "" (subsystem)
  uint32_t subsystem = 0;    // the subsystem dword the card answers with
  bool bar2Io = true;        // BAR 2 decodes I/O space (not so on 32mem)
  int bus = -1, device = -1, function = -1;  // -1: the next free slot
  bool memory = false;
  std::array<bool, 4> modules = {true, true, true, true};
  std::optional<std::array<uint32_t, 3>> irq;  // vector, level, affinity
};

enum class EventKind {
  Start,
  Stop,
  QueryStop,
  CancelStop,
  QueryRemove,
  CancelRemove,
  Remove,
  SurpriseRemove,
  Sleep,
  Wake,
  DisablePort,  // as Device Manager disables a device: query remove, remove; the node stays
  EnablePort,
  DisableCard,
  EnableCard,
  PageOpen,
  PageSet,      // select the line, "C&hange", pick the mode, OK in the dialog
  PageDiscard,  // the same, but Cancel in the dialog
  PageOk,
  PageApply,
  PageCancel,
};

struct Event {
  std::string text;  // as given (normalised spacing)
  EventKind kind;
  int port = 0;      // 1-based port number (page:set, page:discard, disable-port, enable-port)
  int mode = 0;      // line mode (page:set, page:discard)
  int sleepState = 3;  // S1..S4 (sleep)
};

struct Options {
  std::vector<CardRequest> cards;
  std::vector<Event> events;
  int onCard = 0;  // 1-based card the events apply to; 0: every card
  bool json = false;
  bool registers = false;
  bool quiet = false;
  std::string registryPath;        // "" when no registry file is kept
  std::optional<RegFile> registry;  // its contents when it existed
  bool bench = false;               // --bench: whole lives back to back, measured
  double benchSeconds = 1.0;
  std::vector<int> benchPorts = {2, 8, 32};
};

// The outcome of reading the command line: run with `options`, or stop with
// `exitCode` (help printed: 0; refused: 2, the reason already on stderr).
struct ParseResult {
  std::optional<Options> options;
  int exitCode = 0;
};
ParseResult ParseCommandLine(int argc, char** argv);

// The events run when none are given.
extern const char* const kDefaultEvents;

const char* ModeName(uint32_t mode);  // "RS232", "RS485 HALF", ...

}  // namespace sim
