// The report for people: the cards with their device trees, published values
// and "Ports" page, the events with their statuses, the verifier's summary.
#include "report.h"

#include <algorithm>
#include <string>

#include "host/machine.h"

namespace sim {
namespace {

constexpr uint32_t kRegSz = 1, kRegDword = 4;

std::string Format(const char* format, unsigned long long value) {
  char text[32];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

std::string StringData(const host::RegValue& value) {
  std::string text;
  for (size_t i = 0; i + 1 < value.data.size(); i += 2) {
    char16_t c = static_cast<char16_t>(value.data[i] | value.data[i + 1] << 8);
    if (c == 0) break;
    text.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  }
  return text;
}

std::string HexData(const host::RegValue& value) {
  std::string text;
  for (uint8_t b : value.data) text += Format(text.empty() ? "%02x" : ",%02x", b);
  return text;
}

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// Addresses, vectors and masks in hexadecimal, counts and codes in decimal.
std::string ValueText(const host::RegValue& value) {
  if (value.type == kRegDword && value.data.size() == 4) {
    bool hex = EndsWith(value.name, "ADDR") || EndsWith(value.name, "VECTOR") || value.name == "AFFINITY";
    return Format(hex ? "0x%X" : "%u", value.Dword());
  }
  if (value.type == kRegSz) return "\"" + StringData(value) + "\"";
  return Format("hex(%llx):", value.type) + HexData(value);
}

std::string RangeName(host::CardRange range) {
  switch (range) {
    case host::CardRange::Uart: return "uart";
    case host::CardRange::Intc: return "intc";
    case host::CardRange::Spare: return "spare";
  }
  return "?";
}

std::string AccessText(const host::RegisterAccess& a) {
  return RangeName(a.range) + Format("+%02llX", a.offset) + (a.write ? "<-" : "->") + Format("%02llX", a.value);
}

// Lines of at most `width` characters from words: the first starts with
// `first`, the others with blanks as wide.
void Wrap(std::FILE* out, const std::string& first, const std::vector<std::string>& words, size_t width = 78) {
  std::string indent(first.size(), ' ');
  std::string line = first;
  size_t start = line.size();
  for (const auto& word : words) {
    if (line.size() > start && line.size() + 1 + word.size() > width) {
      std::fprintf(out, "%s\n", line.c_str());
      line = indent;
    }
    line += (line.size() > start ? " " : "") + word;
  }
  if (line.size() > start) std::fprintf(out, "%s\n", line.c_str());
}

void PrintPage(std::FILE* out, const PageRecord& page) {
  if (!page.shown) {
    std::fprintf(out, "  \"Ports\" page: not shown\n");
    return;
  }
  size_t width = 32;
  for (const auto& line : page.lines) width = std::max(width, line.size() + 2);
  std::string border = "+" + std::string(width, '-') + "+";
  std::fprintf(out, "  \"%s\" page as last shown:\n", page.title.c_str());
  std::fprintf(out, "    COM ports:\n");
  std::fprintf(out, "    %s\n", border.c_str());
  for (size_t i = 0; i < std::max<size_t>(page.lines.size(), 1); ++i) {
    std::string text = i < page.lines.size() ? page.lines[i] : "";
    char mark = static_cast<int>(i) == page.selected ? '>' : ' ';
    std::fprintf(out, "    |%c%-*s|", mark, static_cast<int>(width - 1), text.c_str());
    if (i == 0) std::fprintf(out, "  %s", page.changeEnabled ? "[ C&hange ]" : "[ C&hange ] (disabled)");
    std::fprintf(out, "\n");
  }
  std::fprintf(out, "    %s\n", border.c_str());
}

void PrintCard(std::FILE* out, size_t index, const CardRecord& card) {
  std::fprintf(out, "\ncard %zu: subsystem %08X at %s\n", index + 1, static_cast<unsigned>(card.subsystem),
               card.location.c_str());
  std::string identity = card.portsValue ? "PORTS = " + std::to_string(*card.portsValue) : "PORTS not written";
  if (card.multiMode) identity += *card.multiMode ? ", multi-mode" : ", RS-232 only";
  std::fprintf(out, "  %s; AddDevice %s, start %s; %s at the end\n", identity.c_str(),
               card.addStatus.empty() ? "not sent" : card.addStatus.c_str(),
               card.startStatus.empty() ? "not sent" : card.startStatus.c_str(), card.state.c_str());
  std::fprintf(out, "  device tree as last seen:\n");
  std::fprintf(out, "    %s  %s\n", card.instancePath.c_str(), card.treeState.c_str());
  if (card.busDevice.empty())
    std::fprintf(out, "      (the PCI device only: no bus device over it)\n");
  else
    std::fprintf(out, "      %s bus device over the PCI device\n", card.busDevice.c_str());
  for (const auto& port : card.ports) {
    std::fprintf(out, "      PCIMULTI\\PCI_SER\\%s  %s  %s\n", port.instanceId.c_str(),
                 port.comName.empty() ? "(no COM name)" : port.comName.c_str(), port.state.c_str());
    std::vector<std::string> words;
    for (const auto& value : port.values) words.push_back(value.name + "=" + ValueText(value));
    Wrap(out, "        ", words);
  }
  PrintPage(out, card.page);
}

void PrintEvent(std::FILE* out, const Options& options, const EventRecord& event) {
  std::string head = "  card " + std::to_string(event.card) + "  " + event.text + (event.implicit ? " (by the simulator)" : "");
  std::fprintf(out, "%s\n", head.c_str());
  for (const auto& step : event.steps)
    std::fprintf(out, "      %s: %s\n", step.what.c_str(), step.result.c_str());
  for (const auto& write : event.writes) {
    if (write.value.name != "PORTMODE") continue;
    std::string key = write.path.substr(write.path.find("PCI_SER\\") == std::string::npos ? 0 : write.path.find("PCI_SER\\") + 8);
    std::fprintf(out, "      wrote %s = %s in %s\n", write.value.name.c_str(), ValueText(write.value).c_str(), key.c_str());
  }
  if (options.registers && !event.registers.empty()) {
    std::vector<std::string> words;
    for (const auto& access : event.registers) words.push_back(AccessText(access));
    Wrap(out, "      registers: ", words);
  }
}

}  // namespace

void PrintText(const Options& options, const RunResult& run, std::FILE* out) {
  std::fprintf(out, "serhubsim: %zu card(s); DriverEntry %s\n", run.cards.size(), run.driverEntry.c_str());
  if (!options.quiet)
    for (size_t c = 0; c < run.cards.size(); ++c) PrintCard(out, c, run.cards[c]);
  std::fprintf(out, "\nevents:\n");
  for (const auto& event : run.events) PrintEvent(out, options, event);
  const auto& v = run.verifier;
  std::fprintf(out, "\nverifier: %zu finding(s); driver %s\n", v.findings.size(),
               run.unloaded ? "unloaded" : "still loaded");
  std::fprintf(out, "  left over: pool %zu blocks/%zu bytes (of %zu allocations), references %ld, IRPs %zu, "
               "devices %zu\n",
               v.poolBlocks, v.poolBytes, v.poolAllocations, v.references, v.irps, v.devicesLeft);
  for (const auto& finding : v.findings)
    std::fprintf(out, "  finding: %s: %s\n", finding.check.c_str(), finding.what.c_str());
}

nlohmann::ordered_json ToJson(const RunResult& run) {
  using json = nlohmann::ordered_json;
  auto nullable = [](const std::string& s) { return s.empty() ? json(nullptr) : json(s); };
  json cards = json::array();
  for (const auto& card : run.cards) {
    json ports = json::array();
    for (const auto& port : card.ports) {
      json values = json::object();
      for (const auto& value : port.values) {
        if (value.type == kRegDword && value.data.size() == 4)
          values[value.name] = value.Dword();
        else if (value.type == kRegSz)
          values[value.name] = StringData(value);
        else
          values[value.name] = Format("hex(%llx):", value.type) + HexData(value);
      }
      ports.push_back({{"index", port.index},
                       {"instance_id", port.instanceId},
                       {"state", port.state},
                       {"com_name", nullable(port.comName)},
                       {"values", values}});
    }
    json registers = json::array();
    for (const auto& r : card.registers)
      registers.push_back({{"event", r.event},
                           {"block", RangeName(r.access.range)},
                           {"offset", r.access.offset},
                           {"op", r.access.write ? "w" : "r"},
                           {"value", r.access.value}});
    cards.push_back({
        {"location", card.location},
        {"bus", card.request.bus},
        {"device", card.request.device},
        {"function", card.request.function},
        {"instance_path", card.instancePath},
        {"bus_device", nullable(card.busDevice)},
        {"subsystem", Format("0x%08llX", card.subsystem)},
        {"port_count", card.portsValue ? json(*card.portsValue) : json(nullptr)},
        {"multi_mode", card.multiMode ? json(*card.multiMode) : json(nullptr)},
        {"add_status", nullable(card.addStatus)},
        {"start_status", nullable(card.startStatus)},
        {"state", card.state},
        {"ports", ports},
        {"page",
         {{"shown", card.page.shown},
          {"lines", card.page.lines},
          {"selected", card.page.selected},
          {"change_enabled", card.page.changeEnabled}}},
        {"registers", registers},
    });
  }
  json events = json::array();
  for (const auto& event : run.events) {
    json statuses = json::array();
    for (const auto& step : event.steps) statuses.push_back({{"step", step.what}, {"status", step.result}});
    json writes = json::array();
    for (const auto& write : event.writes) {
      json value = write.value.type == kRegDword && write.value.data.size() == 4 ? json(write.value.Dword())
                   : write.value.type == kRegSz ? json(StringData(write.value))
                                                : json(HexData(write.value));
      writes.push_back({{"key", write.path}, {"name", write.value.name}, {"value", value}});
    }
    events.push_back({{"event", event.text},
                      {"card", event.card},
                      {"implicit", event.implicit},
                      {"skipped", event.skipped},
                      {"statuses", statuses},
                      {"registry_writes", writes}});
  }
  const auto& v = run.verifier;
  json findings = json::array();
  for (const auto& finding : v.findings) findings.push_back({{"check", finding.check}, {"what", finding.what}});
  return {{"driver_entry", run.driverEntry},
          {"driver_unloaded", run.unloaded},
          {"cards", cards},
          {"events", events},
          {"verifier",
           {{"findings", findings},
            {"pool", {{"blocks_left", v.poolBlocks}, {"bytes_left", v.poolBytes}, {"allocations", v.poolAllocations}}},
            {"references_left", v.references},
            {"irps_left", v.irps},
            {"devices_left", v.devicesLeft}}}};
}

}  // namespace sim
