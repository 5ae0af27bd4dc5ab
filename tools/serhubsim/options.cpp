// The command line, read with CLI11. Every value is checked before anything
// runs: a value the simulator cannot act on stops it with one line on stderr
// that names the option, the value and what the option accepts.
#include "options.h"

#include <CLI/CLI.hpp>

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <set>

#include "host/machine.h"
#include "serhub_registry.h"

namespace sim {

const char* const kDefaultEvents = "start, page:set 2=rs422, page:ok, remove";

const char* ModeName(uint32_t mode) {
  switch (mode) {
    case SERHUB_PORTMODE_RS232: return "RS232";
    case SERHUB_PORTMODE_RS485_HALF: return "RS485 HALF";
    case SERHUB_PORTMODE_RS485_FULL: return "RS485 FULL";
    case SERHUB_PORTMODE_RS422: return "RS422";
  }
  return "?";
}

namespace {

// Thrown by the value parsers; the message says what was wrong and what is accepted.
struct Refused {
  std::string what;
};

std::string Trim(const std::string& s) {
  size_t a = s.find_first_not_of(" \t\r\n");
  if (a == std::string::npos) return "";
  return s.substr(a, s.find_last_not_of(" \t\r\n") - a + 1);
}

std::vector<std::string> Split(const std::string& s, char separator) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (true) {
    size_t end = s.find(separator, start);
    parts.push_back(s.substr(start, end - start));
    if (end == std::string::npos) return parts;
    start = end + 1;
  }
}

// A number in decimal or, with 0x, in hexadecimal; at most `limit`.
std::optional<uint64_t> Number(const std::string& text, uint64_t limit) {
  static const std::regex decimal("[0-9]{1,10}"), hex("0[xX][0-9a-fA-F]{1,8}");
  uint64_t value;
  if (std::regex_match(text, decimal))
    value = std::stoull(text, nullptr, 10);
  else if (std::regex_match(text, hex))
    value = std::stoull(text.substr(2), nullptr, 16);
  else
    return std::nullopt;
  if (value > limit) return std::nullopt;
  return value;
}

const std::map<std::string, host::CardModel>& Models() {
  static const std::map<std::string, host::CardModel> models = {
      {"2", host::CardModel::Ports2},           {"4", host::CardModel::Ports4},
      {"8", host::CardModel::Ports8},           {"16", host::CardModel::Ports16},
      {"32", host::CardModel::Ports32},         {"2m", host::CardModel::Ports2MultiMode},
      {"4m", host::CardModel::Ports4MultiMode}, {"32mem", host::CardModel::Ports32MemoryBar},
  };
  return models;
}

constexpr const char* kModelsAccepted =
    "2, 4, 8, 16, 32, 2m, 4m, 32mem or a subsystem dword such as 0x00084B51";
constexpr const char* kLocationAccepted =
    "BUS:DEVICE:FUNCTION with bus 0-255, device 0-31, function 0-7";

void Model(const std::string& text, CardRequest& card) {
  auto it = Models().find(text);
  if (it != Models().end()) {
    card.model = text;
    card.subsystem = host::SubsystemDword(it->second);
    card.bar2Io = host::SetupFor(it->second).bar2Io;
    return;
  }
  static const std::regex dword("0[xX][0-9a-fA-F]{1,8}");
  if (!std::regex_match(text, dword)) throw Refused{"'" + text + "' is not a card model; use " + kModelsAccepted};
  card.model = "";
  card.subsystem = static_cast<uint32_t>(std::stoul(text.substr(2), nullptr, 16));
}

void Location(const std::string& text, CardRequest& card) {
  auto parts = Split(text, ':');
  std::optional<uint64_t> b, d, f;
  static const std::regex digits("[0-9]{1,3}");
  if (parts.size() == 3 && std::regex_match(parts[0], digits) && std::regex_match(parts[1], digits) &&
      std::regex_match(parts[2], digits)) {
    b = Number(parts[0], 255);
    d = Number(parts[1], 31);
    f = Number(parts[2], 7);
  }
  if (!b || !d || !f) throw Refused{"'" + text + "' is not a PCI location; use " + kLocationAccepted};
  card.bus = static_cast<int>(*b);
  card.device = static_cast<int>(*d);
  card.function = static_cast<int>(*f);
}

void Modules(const std::string& text, CardRequest& card) {
  static const std::regex mask("[01]{4}");
  if (!std::regex_match(text, mask))
    throw Refused{"'" + text + "' is not a module mask; use four digits 0 or 1, module 1 first, e.g. 1101"};
  for (int m = 0; m < 4; ++m) card.modules[m] = text[m] == '1';
}

void Irq(const std::string& text, CardRequest& card) {
  auto parts = Split(text, ':');
  std::optional<uint64_t> vector, level, affinity;
  if (parts.size() == 3) {
    vector = Number(parts[0], 255);
    level = Number(parts[1], 31);
    affinity = Number(parts[2], 0xFFFFFFFF);
  }
  if (!vector || !level || !affinity || *affinity == 0)
    throw Refused{"'" + text + "' is not an interrupt; use VECTOR:LEVEL:AFFINITY with vector 0-255, " +
                  "level 0-31 and a non-zero affinity mask"};
  card.irq = std::array<uint32_t, 3>{static_cast<uint32_t>(*vector), static_cast<uint32_t>(*level),
                                     static_cast<uint32_t>(*affinity)};
}

CardRequest ParseCard(const std::string& text) {
  CardRequest card;
  card.text = text;
  auto parts = Split(text, ',');
  std::string head = parts[0];
  size_t at = head.find('@');
  Model(head.substr(0, at), card);
  if (at != std::string::npos) Location(head.substr(at + 1), card);
  bool sawModules = false;
  for (size_t i = 1; i < parts.size(); ++i) {
    const std::string& part = parts[i];
    if (part == "memory") {
      card.memory = true;
    } else if (part.rfind("modules=", 0) == 0) {
      Modules(part.substr(8), card);
      sawModules = true;
    } else if (part.rfind("irq=", 0) == 0) {
      Irq(part.substr(4), card);
    } else {
      throw Refused{"'" + part + "' is not a card setting; use memory, modules=MASK or irq=VECTOR:LEVEL:AFFINITY"};
    }
  }
  if (sawModules && card.subsystem != host::SubsystemDword(host::CardModel::Ports32))
    throw Refused{"modules= is for the 32-port card only"};
  return card;
}

int ModeFromName(const std::string& text) {
  if (text == "rs232") return SERHUB_PORTMODE_RS232;
  if (text == "rs485half") return SERHUB_PORTMODE_RS485_HALF;
  if (text == "rs485full") return SERHUB_PORTMODE_RS485_FULL;
  if (text == "rs422") return SERHUB_PORTMODE_RS422;
  return -1;
}

constexpr const char* kEventsAccepted =
    "start, stop, query-stop, cancel-stop, query-remove, cancel-remove, remove, surprise-remove, "
    "sleep S1-S4, wake, disable-port P, enable-port P, disable-card, enable-card, page:open, page:set P=MODE, page:discard P=MODE, page:ok, page:apply, "
    "page:cancel (P 1-32, MODE rs232, rs485half, rs485full or rs422)";

Event ParseEvent(const std::string& raw) {
  std::string text = Trim(raw);
  // Blanks inside an event are one blank.
  text = std::regex_replace(text, std::regex("[ \t]+"), " ");
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  static const std::map<std::string, EventKind> simple = {
      {"start", EventKind::Start},
      {"stop", EventKind::Stop},
      {"query-stop", EventKind::QueryStop},
      {"cancel-stop", EventKind::CancelStop},
      {"query-remove", EventKind::QueryRemove},
      {"cancel-remove", EventKind::CancelRemove},
      {"remove", EventKind::Remove},
      {"surprise-remove", EventKind::SurpriseRemove},
      {"wake", EventKind::Wake},
      {"disable-card", EventKind::DisableCard},
      {"enable-card", EventKind::EnableCard},
      {"page:open", EventKind::PageOpen},
      {"page:ok", EventKind::PageOk},
      {"page:apply", EventKind::PageApply},
      {"page:cancel", EventKind::PageCancel},
  };
  Event event{text, EventKind::Start};
  if (auto it = simple.find(text); it != simple.end()) {
    event.kind = it->second;
    return event;
  }
  std::smatch m;
  static const std::regex sleep("sleep(?: s([1-4]))?");
  if (std::regex_match(text, m, sleep)) {
    event.kind = EventKind::Sleep;
    event.sleepState = m[1].matched ? std::stoi(m[1]) : 3;
    event.text = "sleep S" + std::to_string(event.sleepState);
    return event;
  }
  static const std::regex portEvent("(disable|enable)-port ?([0-9]{1,2})");
  if (std::regex_match(text, m, portEvent)) {
    event.kind = m[1] == "disable" ? EventKind::DisablePort : EventKind::EnablePort;
    event.port = std::stoi(m[2]);
    if (event.port >= 1 && event.port <= 32) {
      event.text = std::string(m[1]) + "-port " + std::to_string(event.port);
      return event;
    }
  }
  static const std::regex page("page:(set|discard) ?([0-9]{1,2}) ?= ?([a-z0-9]+)");
  if (std::regex_match(text, m, page)) {
    event.kind = m[1] == "set" ? EventKind::PageSet : EventKind::PageDiscard;
    event.port = std::stoi(m[2]);
    event.mode = ModeFromName(m[3]);
    if (event.port >= 1 && event.port <= 32 && event.mode >= 0) {
      event.text = "page:" + std::string(m[1]) + " " + std::to_string(event.port) + "=" + std::string(m[3]);
      return event;
    }
  }
  throw Refused{"'" + Trim(raw) + "' is not an event; use " + kEventsAccepted};
}

std::vector<Event> ParseEvents(const std::string& value) {
  std::string text = value;
  // A value that names a file holds the events, separated by commas or lines;
  // '#' starts a comment.
  std::error_code error;
  bool fromFile = std::filesystem::is_regular_file(value, error);
  if (fromFile) {
    std::ifstream file(value);
    std::string line, joined;
    while (std::getline(file, line)) joined += line.substr(0, line.find('#')) + ",";
    text = joined;
  }
  std::vector<Event> events;
  for (const auto& part : Split(text, ',')) {
    if (Trim(part).empty()) {
      if (fromFile) continue;
      throw Refused{"'" + value + "' has an empty event; separate events with single commas"};
    }
    try {
      events.push_back(ParseEvent(part));
    } catch (const Refused& refused) {
      // One word that is no event may be a file name mistyped.
      if (!fromFile && value.find(',') == std::string::npos && value.find_first_of("/.") != std::string::npos)
        throw Refused{"'" + value + "' is neither a file nor an event; give a file of events or a list of " +
                      kEventsAccepted};
      throw;
    }
  }
  if (events.empty()) throw Refused{"'" + value + "' holds no event"};
  return events;
}

// A CLI11 check that runs one of the parsers above on each value.
template <typename Parse>
CLI::Validator Check(Parse parse, const std::string& description) {
  return CLI::Validator(
      [parse](std::string& value) -> std::string {
        try {
          parse(value);
        } catch (const Refused& refused) {
          return refused.what;
        }
        return "";
      },
      description);
}

constexpr const char* kDescription =
    "Runs the serhub bus driver and the serhubpp property page on the host stand-in:\n"
    "the driver loads, the cards are plugged in (AddDevice), the events of their life\n"
    "run, every card still present is removed at the end and the driver unloads.\n"
    "Prints the device tree, each port's published values, the \"Ports\" page as the\n"
    "user sees it, every event with the statuses it produced and the verifier's\n"
    "summary. Exit status: 0 clean, 1 the verifier found something, 2 bad input.\n";

constexpr const char* kFooter =
    "Cards: MODEL[@B:D:F][,memory][,modules=MASK][,irq=VECTOR:LEVEL:AFFINITY]\n"
    "  MODEL     2, 4, 8, 16, 32 ports; 2m, 4m multi-mode; 32mem (32-port card whose\n"
    "            BAR 2 decodes memory); or a subsystem dword 0x........\n"
    "  @B:D:F    PCI bus (0-255), device (0-31), function (0-7); default the next free\n"
    "            device on bus 2 from 2:13:0\n"
    "  memory    the card's register ranges are reached through memory space\n"
    "  modules=  32-port card: fitted expansion modules, module 1 first, e.g. 1101\n"
    "  irq=      the translated interrupt: vector, level, affinity (e.g. 0x3B:16:1)\n"
    "\n"
    "Events (a list separated by commas, or a file of them, one or more a line; '#'\n"
    "starts a comment). Default: ";

constexpr const char* kFooterEvents =
    "\n"
    "  start            start the card and enumerate and install its ports\n"
    "  query-stop, cancel-stop, stop     (stop queries first unless already queried)\n"
    "  query-remove, cancel-remove, remove, surprise-remove\n"
    "  sleep S1..S4, wake                system power to the ports and the card\n"
    "  disable-port P, enable-port P     as in Device Manager (P 1-32)\n"
    "  disable-card, enable-card         the same for the card and all its ports\n"
    "  page:open        open the card's properties on the \"Ports\" page\n"
    "  page:set P=MODE  select port P's line, press \"C&hange\", pick MODE, OK\n"
    "  page:discard P=MODE   the same, but Cancel in the dialog\n"
    "  page:ok, page:apply, page:cancel  the sheet's buttons\n"
    "  MODE is rs232, rs485half, rs485full or rs422. Page events open the sheet\n"
    "  when it is not open; a sheet still open at the end is cancelled. Each event\n"
    "  goes to every card in turn (or to card N only, with --on N) before the next.\n"
    "  An event the card's state does not allow is reported and not sent.\n"
    "\n"
    "Registry files are in the \"Windows Registry Editor Version 5.00\" format\n"
    "(UTF-16LE, as the registry editor exports); a missing file is created.\n"
    "\n"
    "Examples:\n"
    "  serhubsim                                  the default: one 4m card at 2:13:0\n"
    "  serhubsim --card 4m --card 8@3:1:0 --json  two cards, COM names across both\n"
    "  serhubsim --card 32,modules=1101,memory --registers\n"
    "  serhubsim --card 0x00204B51                a card the driver does not know\n"
    "  serhubsim --events 'start, page:set 2=rs422, page:apply, page:ok, surprise-remove'\n"
    "  serhubsim --card 8 --events 'start, disable-port 3, enable-port 3, disable-card, enable-card'\n"
    "  serhubsim --registry machine.reg --events 'start, page:set 1=rs485full, page:ok'\n"
    "            (run it again: the COM names and the chosen mode are still there)\n"
    "  serhubsim keypath 2 13 0 1                 a port's instance ID and key path";

bool ReadFile(const std::string& path, std::vector<uint8_t>& bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

int KeyPath(const std::vector<int>& numbers) {
  char location[16];
  std::snprintf(location, sizeof location, "%02X%02X%02X", numbers[0], numbers[1], numbers[2]);
  char path[256];
  std::snprintf(path, sizeof path, SERHUB_PORT_KEY_FORMAT, location, numbers[3]);
  std::printf("instance ID %s%02X\nHKEY_LOCAL_MACHINE\\%s\n", location, numbers[3], path);
  return 0;
}

void Refuse(const std::string& message) { std::fprintf(stderr, "serhubsim: %s\n", message.c_str()); }

}  // namespace

ParseResult ParseCommandLine(int argc, char** argv) {
  CLI::App app(kDescription, "serhubsim");
  app.footer(std::string(kFooter) + kDefaultEvents + kFooterEvents);
  app.get_formatter()->column_width(30);

  std::vector<std::string> cardTexts;
  std::string model, location, modules;
  bool memory = false;
  std::string events;
  Options options;

  app.add_option("--card", cardTexts, "A card on the machine (repeatable; see Cards; default 4m)")
      ->type_name("CARD")
      ->check(Check([](const std::string& v) { ParseCard(v); }, ""));
  auto* modelOpt = app.add_option("--model", model, "One card of this model (as --card MODEL)")
                       ->type_name("MODEL")
                       ->check(Check([](const std::string& v) { CardRequest c; Model(v, c); }, ""));
  auto* locationOpt = app.add_option("--location", location, "Its PCI location (as --card MODEL@B:D:F)")
                          ->type_name("B:D:F")
                          ->check(Check([](const std::string& v) { CardRequest c; Location(v, c); }, ""));
  auto* memoryOpt = app.add_flag("--memory", memory, "Its ranges in memory space (as --card MODEL,memory)");
  auto* modulesOpt = app.add_option("--modules", modules, "Its fitted modules (as --card 32,modules=MASK)")
                         ->type_name("MASK")
                         ->check(Check([](const std::string& v) { CardRequest c; Modules(v, c); }, ""));

  app.add_option("--events", events, "The events of the cards' life, a list or a file (see Events)")
      ->type_name("LIST|FILE")
      ->check(Check([](const std::string& v) { ParseEvents(v); }, ""));
  app.add_option("--on", options.onCard, "Apply the events to card N only (1 = the first --card)")
      ->type_name("N")
      ->check(CLI::Range(1, 32).description(""));
  app.add_option("--registry", options.registryPath,
                 "Load the registry from FILE (.reg) at the start, save it there at the end")
      ->type_name("FILE");
  app.add_flag("--json", options.json, "Print one JSON object instead of the report");
  app.add_flag("--registers", options.registers, "List every register access of every event");
  app.add_flag("--quiet", options.quiet, "Print only the events and the verifier's summary");
  // Further run modes that replace the scripted life (such as a benchmark)
  // are added here and dispatched in main before the life runs.
  app.add_flag("--bench", options.bench,
               "Run whole lives (load, add, start, ports installed, the sheet accepted, removal, "
               "unload) of a 2-, 8- and 32-port card back to back; print lives per second and "
               "the pool allocations, registry operations and IRPs of one life");
  app.add_option("--bench-seconds", options.benchSeconds, "Time --bench spends on each card (default 1)")
      ->type_name("S")
      ->check(CLI::Range(0.001, 600.0));
  app.add_option("--bench-ports", options.benchPorts, "The cards --bench runs, by port count (default 2,8,32)")
      ->type_name("N,...")
      ->delimiter(',')
      ->check(CLI::IsMember({2, 4, 8, 16, 32}));

  std::vector<int> keyPath;
  auto* keypath = app.add_subcommand("keypath", "Print the instance ID and registry key of a port");
  keypath->add_option("numbers", keyPath, "BUS DEVICE FUNCTION PORT")
      ->required()
      ->expected(4)
      ->check(CLI::Range(0, 255));

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& help) {
    return {std::nullopt, app.exit(help)};
  } catch (const CLI::ParseError& error) {
    Refuse(std::string(error.what()) + " (see --help)");
    return {std::nullopt, 2};
  }
  if (keypath->parsed()) {
    if (keyPath[1] > 31 || keyPath[2] > 7 || keyPath[3] > 31) {
      Refuse("keypath: '" + std::to_string(keyPath[0]) + " " + std::to_string(keyPath[1]) + " " + std::to_string(keyPath[2]) + " " +
             std::to_string(keyPath[3]) + "' is out of range; bus 0-255, device 0-31, function 0-7, port 0-31");
      return {std::nullopt, 2};
    }
    return {std::nullopt, KeyPath(keyPath)};
  }

  // The single-card options describe the only card; with --card every card is described there.
  for (auto* single : {modelOpt, locationOpt, memoryOpt, modulesOpt}) {
    if (cardTexts.empty() || single->count() == 0) continue;
    std::string value = single == memoryOpt ? "" : " '" + single->as<std::string>() + "'";
    Refuse(single->get_name() + ":" + value + " describes a single card and cannot go with --card; " +
           "describe every card with --card MODEL[@B:D:F][,memory][,modules=MASK]");
    return {std::nullopt, 2};
  }
  if (cardTexts.empty()) {
    std::string text = model.empty() ? "4m" : model;
    if (!location.empty()) text += "@" + location;
    if (memory) text += ",memory";
    if (!modules.empty()) {
      text += ",modules=" + modules;
      try {
        ParseCard(text);
      } catch (const Refused& refused) {
        Refuse("--modules: " + refused.what);
        return {std::nullopt, 2};
      }
    }
    cardTexts.push_back(text);
  }
  // Distinct locations; cards without one take the next free device on bus 2.
  std::set<std::array<int, 3>> taken;
  for (const auto& text : cardTexts) {
    CardRequest request = ParseCard(text);
    if (request.bus >= 0 && !taken.insert({request.bus, request.device, request.function}).second) {
      Refuse("--card: '" + text + "' is at a location another card already has; give each card its own B:D:F");
      return {std::nullopt, 2};
    }
    options.cards.push_back(request);
  }
  int nextDevice = 13;
  for (auto& request : options.cards) {
    if (request.bus >= 0) continue;
    while (nextDevice <= 31 && taken.count({2, nextDevice, 0})) ++nextDevice;
    if (nextDevice > 31) {
      Refuse("--card: '" + request.text + "' finds no free device on bus 2; give it a location");
      return {std::nullopt, 2};
    }
    request.bus = 2;
    request.device = nextDevice;
    request.function = 0;
    taken.insert({2, nextDevice, 0});
  }
  if (options.onCard > static_cast<int>(options.cards.size())) {
    Refuse("--on: '" + std::to_string(options.onCard) + "' names no card; there are " +
           std::to_string(options.cards.size()));
    return {std::nullopt, 2};
  }
  options.events = ParseEvents(events.empty() ? kDefaultEvents : events);

  if (!options.registryPath.empty()) {
    std::vector<uint8_t> bytes;
    std::error_code error;
    if (std::filesystem::is_directory(options.registryPath, error)) {
      Refuse("--registry: '" + options.registryPath + "' is a directory; give a file");
      return {std::nullopt, 2};
    }
    std::ifstream probe(options.registryPath);
    if (probe) {
      if (!ReadFile(options.registryPath, bytes)) {
        Refuse("--registry: '" + options.registryPath + "' cannot be read");
        return {std::nullopt, 2};
      }
      auto parsed = ParseRegFile(bytes);
      if (!parsed.file) {
        Refuse("--registry: '" + options.registryPath + "' line " + std::to_string(parsed.error.line) + ": " +
               parsed.error.what + "; the file is left as it is");
        return {std::nullopt, 2};
      }
      options.registry = std::move(parsed.file);
    } else {
      // A new file: it must be possible to create it at the end.
      std::ofstream create(options.registryPath, std::ios::app);
      if (!create) {
        Refuse("--registry: '" + options.registryPath + "' can be neither read nor created");
        return {std::nullopt, 2};
      }
      create.close();
      std::remove(options.registryPath.c_str());
    }
  }
  return {std::move(options), 0};
}

}  // namespace sim
