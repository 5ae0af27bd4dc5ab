// The emulated multi-port serial card: its PCI configuration space, its
// register ranges with the register file and the access log, the expansion
// modules of the 32-port card, its interrupt and the resource lists the
// platform builds for it.
#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "host/verifier.h"
#include "machine_internal.h"

namespace host {

namespace {

// Signature of a fitted 32-port expansion module, one character per port at
// register 4 of the module's first five ports.
const char kModuleSignature[] = "QKPCI";
constexpr ULONG kModuleSize = 64;
constexpr ULONG kUartSpan = 8;

// Default placement of card number k: I/O space 0xC000 + k * 0x400, memory
// space 0xFEB00000 + k * 0x1000.
constexpr ULONG kIoWindow = 0xC000;
constexpr ULONG kIoStride = 0x400;
constexpr ULONGLONG kMemoryWindow = 0xFEB00000ULL;
constexpr ULONGLONG kMemoryStride = 0x1000;

ULONG PortsOf(uint32_t subsystem) {
  switch (subsystem) {
    case 0x00024B51:
    case 0x00824B51:
      return 2;
    case 0x00044B51:
    case 0x00844B51:
      return 4;
    case 0x00084B51:
      return 8;
    case 0x00104B51:
      return 16;
    case 0x91641698:
      return 32;
    default:
      return 8;
  }
}

void PutDword(std::array<UCHAR, 256>& config, ULONG offset, ULONG value) {
  for (int i = 0; i < 4; i++) config[offset + i] = (UCHAR)(value >> (8 * i));
}

}  // namespace

uint32_t SubsystemDword(CardModel model) {
  switch (model) {
    case CardModel::Ports2:
      return 0x00024B51;
    case CardModel::Ports4:
      return 0x00044B51;
    case CardModel::Ports8:
      return 0x00084B51;
    case CardModel::Ports16:
      return 0x00104B51;
    case CardModel::Ports2MultiMode:
      return 0x00824B51;
    case CardModel::Ports4MultiMode:
      return 0x00844B51;
    case CardModel::Ports32:
    case CardModel::Ports32MemoryBar:
      return 0x91641698;
  }
  return 0;
}

const char* CardRangeName(CardRange range) {
  switch (range) {
    case CardRange::Uart:
      return "UART";
    case CardRange::Intc:
      return "INTC";
    case CardRange::Spare:
      return "spare";
  }
  return "?";
}

CardSetup SetupFor(CardModel model) {
  CardSetup setup;
  setup.subsystem = SubsystemDword(model);
  setup.bar2Io = model != CardModel::Ports32MemoryBar;
  return setup;
}

// The HAL's view of one range: every access goes to the card.
class Card::RangeDecoder : public IoHandler {
 public:
  RangeDecoder(Card& card, CardRange range) : card_(card), range_(range) {}
  UCHAR Read(ULONG offset) override { return card_.Read(range_, offset); }
  void Write(ULONG offset, UCHAR value) override { card_.Write(range_, offset, value); }

 private:
  Card& card_;
  CardRange range_;
};

Card::Card(const CardSetup& setup, int index) : setup_(setup) {
  ports_ = setup.ports != 0 ? setup.ports : PortsOf(setup.subsystem);
  const ULONG io = kIoWindow + kIoStride * (ULONG)index;
  const ULONGLONG memory = kMemoryWindow + kMemoryStride * (ULONGLONG)index;
  auto place = [&](RangeSetup& r, ULONG ioOffset, ULONGLONG memoryOffset, ULONG length) {
    if (r.ioBase == 0) r.ioBase = io + ioOffset;
    if (r.memoryBase == 0) r.memoryBase = memory + memoryOffset;
    if (r.length == 0) r.length = length;
  };
  place(setup_.uart, 0x000, 0x000, ports_ >= 32 ? 256 : kUartSpan * ports_);
  place(setup_.intc, 0x100, 0x400, 32);
  place(setup_.spare, 0x180, 0x800, 16);
  if (setup_.level == 0) setup_.level = setup_.irq < 27 ? 27 - setup_.irq : 1;
  if (setup_.vector == 0) setup_.vector = 0x30 + setup_.irq;
  if (setup_.affinity == 0) setup_.affinity = 1;

  for (CardRange r : {CardRange::Uart, CardRange::Intc, CardRange::Spare}) {
    registers_[r].assign(Range(r).length, 0x00);
    decoders_[r] = std::make_unique<RangeDecoder>(*this, r);
  }

  // Type 0 header.
  config_[0] = (UCHAR)kCardVendorId;
  config_[1] = (UCHAR)(kCardVendorId >> 8);
  config_[2] = (UCHAR)kCardDeviceId;
  config_[3] = (UCHAR)(kCardDeviceId >> 8);
  config_[4] = 0x03;  // command: I/O and memory decoding on
  config_[6] = 0x80;  // status: fast back-to-back capable
  config_[7] = 0x02;  // DEVSEL medium
  config_[8] = kCardRevision;
  config_[9] = (UCHAR)kCardClassCode;
  config_[10] = (UCHAR)(kCardClassCode >> 8);
  config_[11] = (UCHAR)(kCardClassCode >> 16);
  auto ioBar = [&](CardRange r) { return (ULONG)(Range(r).ioBase | 1); };
  if (ports_ >= 32) {
    PutDword(config_, 0x10, ioBar(CardRange::Intc));
    PutDword(config_, 0x14, 0);
    PutDword(config_, 0x18, setup_.bar2Io ? ioBar(CardRange::Uart)
                                          : (ULONG)Range(CardRange::Uart).memoryBase);
  } else {
    PutDword(config_, 0x10, ioBar(CardRange::Uart));
    PutDword(config_, 0x14, ioBar(CardRange::Spare));
    PutDword(config_, 0x18, setup_.bar2Io ? ioBar(CardRange::Intc)
                                          : (ULONG)Range(CardRange::Intc).memoryBase);
  }
  PutDword(config_, 0x2C, setup_.subsystem);
  config_[0x3C] = (UCHAR)setup_.irq;
  config_[0x3D] = 1;  // INTA#
}

Card::~Card() {
  StopDecoding();
}

UCHAR Card::ConfigByte(ULONG offset) const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return offset < config_.size() ? config_[offset] : 0xFF;
}

ULONG Card::ConfigDword(ULONG offset) const {
  ULONG value = 0;
  for (int i = 3; i >= 0; i--) value = (value << 8) | ConfigByte(offset + i);
  return value;
}

void Card::SetConfigDword(ULONG offset, ULONG value) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (offset + 4 <= config_.size()) PutDword(config_, offset, value);
}

ULONG Card::ReadConfig(ULONG offset, void* buffer, ULONG length) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  ULONG count = 0;
  if (offset < config_.size()) count = std::min<ULONG>(length, (ULONG)config_.size() - offset);
  if (count) std::memcpy(buffer, config_.data() + offset, count);
  configReads_++;
  configLog_.push_back({false, offset, length});
  return count;
}

ULONG Card::WriteConfig(ULONG offset, const void* buffer, ULONG length) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  ULONG count = 0;
  if (offset < config_.size()) count = std::min<ULONG>(length, (ULONG)config_.size() - offset);
  // The identification registers are read-only.
  const UCHAR* bytes = static_cast<const UCHAR*>(buffer);
  for (ULONG i = 0; i < count; i++) {
    ULONG at = offset + i;
    if (at < 0x04 || (at >= 0x08 && at < 0x0C) || (at >= 0x2C && at < 0x30)) continue;
    config_[at] = bytes[i];
  }
  configWrites_++;
  configLog_.push_back({true, offset, length});
  return count;
}

int Card::ConfigReads() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return configReads_;
}

int Card::ConfigWrites() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return configWrites_;
}

std::vector<ConfigAccess> Card::ConfigLog() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return configLog_;
}

const RangeSetup& Card::Range(CardRange range) const {
  switch (range) {
    case CardRange::Uart:
      return setup_.uart;
    case CardRange::Intc:
      return setup_.intc;
    case CardRange::Spare:
      break;
  }
  return setup_.spare;
}

ULONG Card::RangeLength(CardRange range) const {
  return Range(range).length;
}

ULONGLONG Card::TranslatedStart(CardRange range) const {
  const RangeSetup& r = Range(range);
  return r.memorySpace ? r.memoryBase : r.ioBase;
}

IoHandler& Card::Handler(CardRange range) {
  return *decoders_.at(range);
}

std::vector<CardRange> Card::ResourceOrder() const {
  if (ports_ >= 32) return {CardRange::Intc, CardRange::Uart};
  return {CardRange::Uart, CardRange::Spare, CardRange::Intc};
}

void Card::Decode() {
  StopDecoding();
  std::vector<std::pair<CardRange, const RangeSetup*>> ranges;
  {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    for (CardRange r : ResourceOrder()) ranges.push_back({r, &Range(r)});
    decoding_ = true;
  }
  for (auto& [range, r] : ranges) {
    if (!r->present) continue;
    if (r->memorySpace) {
      AddMemoryRange(r->memoryBase, r->length, decoders_.at(range).get());
    } else {
      AddPortRange(r->ioBase, r->length, decoders_.at(range).get());
    }
  }
}

void Card::StopDecoding() {
  bool was;
  {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    was = decoding_;
    decoding_ = false;
  }
  if (!was) return;
  for (auto& [range, decoder] : decoders_) RemoveRanges(decoder.get());
}

bool Card::Decoding() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return decoding_;
}

bool Card::ModuleMissing(CardRange range, ULONG offset) const {
  if (range != CardRange::Uart || ports_ < 32) return false;
  ULONG module = offset / kModuleSize;
  return module < 4 && !setup_.modules[module];
}

UCHAR Card::Read(CardRange range, ULONG offset) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  UCHAR value = 0xFF;  // nothing drives the bus
  const std::vector<UCHAR>& file = registers_[range];
  if (ModuleMissing(range, offset)) {
    value = 0xFF;
  } else if (offset < file.size()) {
    value = file[offset];
    if (range == CardRange::Uart && ports_ >= 32) {
      ULONG module = offset / kModuleSize;
      ULONG inModule = offset % kModuleSize;
      if (module < 4 && armed_[module] && inModule % kUartSpan == 4 && inModule / kUartSpan < 5) {
        value = (UCHAR)kModuleSignature[inModule / kUartSpan];
      }
    }
  }
  log_.push_back({range, offset, false, value});
  return value;
}

void Card::Write(CardRange range, ULONG offset, UCHAR value) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  log_.push_back({range, offset, true, value});
  if (ModuleMissing(range, offset)) return;
  std::vector<UCHAR>& file = registers_[range];
  if (offset >= file.size()) return;
  file[offset] = value;
  if (range == CardRange::Uart && ports_ >= 32) {
    ULONG module = offset / kModuleSize;
    // Register 5 of the module's first port switches the signature on
    // (0x01) and off (any other value).
    if (module < 4 && offset % kModuleSize == 5) armed_[module] = (value == 0x01);
  }
}

UCHAR Card::Register(CardRange range, ULONG offset) const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  auto it = registers_.find(range);
  if (it == registers_.end() || offset >= it->second.size()) return 0xFF;
  return it->second[offset];
}

void Card::PresetRegister(CardRange range, ULONG offset, UCHAR value) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  std::vector<UCHAR>& file = registers_[range];
  if (offset < file.size()) file[offset] = value;
}

std::vector<RegisterAccess> Card::AccessLog() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return log_;
}

std::vector<RegisterAccess> Card::Writes(CardRange range) const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  std::vector<RegisterAccess> writes;
  for (const auto& a : log_) {
    if (a.write && a.range == range) writes.push_back(a);
  }
  return writes;
}

void Card::ClearAccessLog() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  log_.clear();
}

void Card::SetModuleFitted(int module, bool fitted) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (module >= 0 && module < 4) {
    setup_.modules[module] = fitted;
    if (!fitted) armed_[module] = false;
  }
}

bool Card::ModuleFitted(int module) const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return module >= 0 && module < 4 && setup_.modules[module];
}

bool Card::ModuleSignatureArmed(int module) const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return module >= 0 && module < 4 && armed_[module];
}

Card::InterruptInfo Card::Interrupt() const {
  return {setup_.irq, setup_.level, setup_.vector, setup_.affinity};
}

std::vector<uint8_t> Card::RawResources() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (!rawOverride_.empty()) return rawOverride_;
  ResourceListBuilder b;
  for (CardRange r : ResourceOrder()) {
    const RangeSetup& s = Range(r);
    if (s.present) b.Port(s.ioBase, s.length, true);
  }
  // Raw interrupt: the interrupt line, on every processor.
  if (setup_.hasInterrupt) b.Interrupt(setup_.irq, setup_.irq, (KAFFINITY)0xFFFFFFFF);
  return b.Build(bus_ < 0 ? 0 : (ULONG)bus_);
}

std::vector<uint8_t> Card::TranslatedResources() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (!translatedOverride_.empty()) return translatedOverride_;
  ResourceListBuilder b;
  for (CardRange r : ResourceOrder()) {
    const RangeSetup& s = Range(r);
    if (!s.present) continue;
    if (s.memorySpace) {
      b.Port(s.memoryBase, s.length, false);
    } else {
      b.Port(s.ioBase, s.length, true);
    }
  }
  if (setup_.hasInterrupt) b.Interrupt(setup_.level, setup_.vector, setup_.affinity);
  return b.Build(bus_ < 0 ? 0 : (ULONG)bus_);
}

std::vector<uint8_t> Card::ResourceRequirements() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (!requirementsOverride_.empty()) return requirementsOverride_;
  RequirementsBuilder b;
  for (int alt = 0; alt < std::max(1, setup_.alternativeLists); alt++) {
    b.List();
    for (CardRange r : ResourceOrder()) {
      const RangeSetup& s = Range(r);
      if (!s.present) continue;
      if (alt == 0) {
        b.Port(s.length, s.ioBase, s.ioBase + s.length - 1);
      } else {
        b.Port(s.length, 0, 0xFFFF, CmResourceShareDeviceExclusive, CM_RESOURCE_PORT_IO,
               IO_RESOURCE_ALTERNATIVE);
      }
    }
    if (setup_.hasInterrupt) {
      if (alt == 0) {
        b.Interrupt(setup_.irq, setup_.irq, CmResourceShareShared);
      } else {
        b.Interrupt(0, 15, CmResourceShareShared, IO_RESOURCE_ALTERNATIVE);
      }
    }
  }
  return b.Build(bus_ < 0 ? 0 : (ULONG)bus_,
                 device_ < 0 ? 0 : (ULONG)((device_ << 3) | function_));
}

void Card::SetStartResources(std::vector<uint8_t> raw, std::vector<uint8_t> translated) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  rawOverride_ = std::move(raw);
  translatedOverride_ = std::move(translated);
}

void Card::SetResourceRequirements(std::vector<uint8_t> requirements) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  requirementsOverride_ = std::move(requirements);
}

bool Card::HasStartResourceOverride() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return !rawOverride_.empty() || !translatedOverride_.empty();
}

void Card::SetLocation(int bus, int device, int function) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  bus_ = bus;
  device_ = device;
  function_ = function;
}

Card& CreateCard(CardModel model) {
  return CreateCard(SetupFor(model));
}

Card& CreateCard(const CardSetup& setup) {
  auto& state = machine::State();
  std::lock_guard<std::recursive_mutex> lock(state.mutex);
  state.cards.push_back(std::make_unique<Card>(setup, (int)state.cards.size()));
  return *state.cards.back();
}

// ---------------------------------------------------------------------------
// Resource list builders.

ResourceListBuilder& ResourceListBuilder::Port(ULONGLONG start, ULONG length, bool io,
                                               UCHAR share) {
  CM_PARTIAL_RESOURCE_DESCRIPTOR d{};
  d.Type = CmResourceTypePort;
  d.ShareDisposition = share;
  d.Flags = io ? CM_RESOURCE_PORT_IO : CM_RESOURCE_PORT_MEMORY;
  d.u.Port.Start.QuadPart = (LONGLONG)start;
  d.u.Port.Length = length;
  descriptors_.push_back(d);
  return *this;
}

ResourceListBuilder& ResourceListBuilder::Memory(ULONGLONG start, ULONG length) {
  CM_PARTIAL_RESOURCE_DESCRIPTOR d{};
  d.Type = CmResourceTypeMemory;
  d.ShareDisposition = CmResourceShareDeviceExclusive;
  d.Flags = CM_RESOURCE_MEMORY_READ_WRITE;
  d.u.Memory.Start.QuadPart = (LONGLONG)start;
  d.u.Memory.Length = length;
  descriptors_.push_back(d);
  return *this;
}

ResourceListBuilder& ResourceListBuilder::Interrupt(ULONG level, ULONG vector,
                                                    KAFFINITY affinity) {
  CM_PARTIAL_RESOURCE_DESCRIPTOR d{};
  d.Type = CmResourceTypeInterrupt;
  d.ShareDisposition = CmResourceShareShared;
  d.Flags = CM_RESOURCE_INTERRUPT_LEVEL_SENSITIVE;
  d.u.Interrupt.Level = level;
  d.u.Interrupt.Vector = vector;
  d.u.Interrupt.Affinity = affinity;
  descriptors_.push_back(d);
  return *this;
}

ResourceListBuilder& ResourceListBuilder::Descriptor(
    const CM_PARTIAL_RESOURCE_DESCRIPTOR& descriptor) {
  descriptors_.push_back(descriptor);
  return *this;
}

std::vector<uint8_t> ResourceListBuilder::Build(ULONG busNumber) const {
  const size_t count = descriptors_.size();
  const size_t first = FIELD_OFFSET(CM_RESOURCE_LIST, List[0].PartialResourceList.PartialDescriptors);
  const size_t size = first + count * sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR);
  std::vector<uint8_t> bytes(std::max(size, sizeof(CM_RESOURCE_LIST)), 0);
  auto* list = reinterpret_cast<CM_RESOURCE_LIST*>(bytes.data());
  list->Count = 1;
  list->List[0].InterfaceType = PCIBus;
  list->List[0].BusNumber = busNumber;
  list->List[0].PartialResourceList.Version = 1;
  list->List[0].PartialResourceList.Revision = 1;
  list->List[0].PartialResourceList.Count = (ULONG)count;
  // The descriptors follow one another past the one-element array the
  // structure declares, so they are placed by byte offset, as the platform
  // lays out a variable-length resource list; indexing the declared array
  // past its end is undefined and optimizers drop all but its first pass.
  if (count != 0) {
    std::memcpy(bytes.data() + first, descriptors_.data(),
                count * sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR));
  }
  bytes.resize(size);
  return bytes;
}

RequirementsBuilder& RequirementsBuilder::List() {
  lists_.emplace_back();
  return *this;
}

RequirementsBuilder& RequirementsBuilder::Port(ULONG length, ULONGLONG minimum,
                                               ULONGLONG maximum, UCHAR share, USHORT flags,
                                               UCHAR option) {
  IO_RESOURCE_DESCRIPTOR d{};
  d.Option = option;
  d.Type = CmResourceTypePort;
  d.ShareDisposition = share;
  d.Flags = flags;
  d.u.Port.Length = length;
  d.u.Port.Alignment = 1;
  d.u.Port.MinimumAddress.QuadPart = (LONGLONG)minimum;
  d.u.Port.MaximumAddress.QuadPart = (LONGLONG)maximum;
  return Descriptor(d);
}

RequirementsBuilder& RequirementsBuilder::Memory(ULONG length, ULONGLONG minimum,
                                                 ULONGLONG maximum, UCHAR share, UCHAR option) {
  IO_RESOURCE_DESCRIPTOR d{};
  d.Option = option;
  d.Type = CmResourceTypeMemory;
  d.ShareDisposition = share;
  d.Flags = CM_RESOURCE_MEMORY_READ_WRITE;
  d.u.Memory.Length = length;
  d.u.Memory.Alignment = 0x1000;
  d.u.Memory.MinimumAddress.QuadPart = (LONGLONG)minimum;
  d.u.Memory.MaximumAddress.QuadPart = (LONGLONG)maximum;
  return Descriptor(d);
}

RequirementsBuilder& RequirementsBuilder::Interrupt(ULONG minimum, ULONG maximum, UCHAR share,
                                                    UCHAR option) {
  IO_RESOURCE_DESCRIPTOR d{};
  d.Option = option;
  d.Type = CmResourceTypeInterrupt;
  d.ShareDisposition = share;
  d.Flags = CM_RESOURCE_INTERRUPT_LEVEL_SENSITIVE;
  d.u.Interrupt.MinimumVector = minimum;
  d.u.Interrupt.MaximumVector = maximum;
  return Descriptor(d);
}

RequirementsBuilder& RequirementsBuilder::Descriptor(const IO_RESOURCE_DESCRIPTOR& descriptor) {
  if (lists_.empty()) lists_.emplace_back();
  lists_.back().push_back(descriptor);
  return *this;
}

std::vector<uint8_t> RequirementsBuilder::Build(ULONG busNumber, ULONG slotNumber) const {
  const size_t header = FIELD_OFFSET(IO_RESOURCE_REQUIREMENTS_LIST, List);
  const size_t listHeader = FIELD_OFFSET(IO_RESOURCE_LIST, Descriptors);
  size_t size = header;
  for (const auto& l : lists_) size += listHeader + l.size() * sizeof(IO_RESOURCE_DESCRIPTOR);
  std::vector<uint8_t> bytes(size, 0);
  auto* list = reinterpret_cast<IO_RESOURCE_REQUIREMENTS_LIST*>(bytes.data());
  list->ListSize = (ULONG)size;
  list->InterfaceType = PCIBus;
  list->BusNumber = busNumber;
  list->SlotNumber = slotNumber;
  list->AlternativeLists = (ULONG)lists_.size();
  uint8_t* at = bytes.data() + header;
  for (const auto& l : lists_) {
    auto* ioList = reinterpret_cast<IO_RESOURCE_LIST*>(at);
    ioList->Version = 1;
    ioList->Revision = 1;
    ioList->Count = (ULONG)l.size();
    for (size_t i = 0; i < l.size(); i++) {
      std::memcpy(at + listHeader + i * sizeof(IO_RESOURCE_DESCRIPTOR), &l[i],
                  sizeof(IO_RESOURCE_DESCRIPTOR));
    }
    at += listHeader + l.size() * sizeof(IO_RESOURCE_DESCRIPTOR);
  }
  return bytes;
}

size_t RequirementsListSize(const IO_RESOURCE_REQUIREMENTS_LIST* list) {
  if (list == nullptr) return 0;
  const uint8_t* base = reinterpret_cast<const uint8_t*>(list);
  size_t at = FIELD_OFFSET(IO_RESOURCE_REQUIREMENTS_LIST, List);
  for (ULONG i = 0; i < list->AlternativeLists; i++) {
    const auto* ioList = reinterpret_cast<const IO_RESOURCE_LIST*>(base + at);
    at += FIELD_OFFSET(IO_RESOURCE_LIST, Descriptors) + ioList->Count * sizeof(IO_RESOURCE_DESCRIPTOR);
  }
  return at;
}

size_t ResourceListSize(const CM_RESOURCE_LIST* list) {
  if (list == nullptr) return 0;
  const uint8_t* base = reinterpret_cast<const uint8_t*>(list);
  size_t at = FIELD_OFFSET(CM_RESOURCE_LIST, List);
  for (ULONG i = 0; i < list->Count; i++) {
    const auto* full = reinterpret_cast<const CM_FULL_RESOURCE_DESCRIPTOR*>(base + at);
    at += FIELD_OFFSET(CM_FULL_RESOURCE_DESCRIPTOR, PartialResourceList.PartialDescriptors) +
          full->PartialResourceList.Count * sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR);
  }
  return at;
}

std::vector<std::vector<IO_RESOURCE_DESCRIPTOR>> ParseRequirements(
    const std::vector<uint8_t>& bytes) {
  std::vector<std::vector<IO_RESOURCE_DESCRIPTOR>> lists;
  const size_t header = FIELD_OFFSET(IO_RESOURCE_REQUIREMENTS_LIST, List);
  const size_t listHeader = FIELD_OFFSET(IO_RESOURCE_LIST, Descriptors);
  if (bytes.size() < header) return lists;
  IO_RESOURCE_REQUIREMENTS_LIST head;
  std::memcpy(&head, bytes.data(), header);
  size_t at = header;
  for (ULONG i = 0; i < head.AlternativeLists && at + listHeader <= bytes.size(); i++) {
    IO_RESOURCE_LIST ioList;
    std::memcpy(&ioList, bytes.data() + at, listHeader);
    at += listHeader;
    std::vector<IO_RESOURCE_DESCRIPTOR> descriptors;
    for (ULONG d = 0; d < ioList.Count && at + sizeof(IO_RESOURCE_DESCRIPTOR) <= bytes.size(); d++) {
      IO_RESOURCE_DESCRIPTOR descriptor;
      std::memcpy(&descriptor, bytes.data() + at, sizeof descriptor);
      descriptors.push_back(descriptor);
      at += sizeof(IO_RESOURCE_DESCRIPTOR);
    }
    lists.push_back(descriptors);
  }
  return lists;
}

std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> ParseResources(const std::vector<uint8_t>& bytes) {
  std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> result;
  const size_t first = FIELD_OFFSET(CM_RESOURCE_LIST, List);
  const size_t fullHeader =
      FIELD_OFFSET(CM_FULL_RESOURCE_DESCRIPTOR, PartialResourceList.PartialDescriptors);
  if (bytes.size() < first) return result;
  ULONG count;
  std::memcpy(&count, bytes.data(), sizeof count);
  size_t at = first;
  for (ULONG i = 0; i < count && at + fullHeader <= bytes.size(); i++) {
    CM_FULL_RESOURCE_DESCRIPTOR full;
    std::memcpy(&full, bytes.data() + at, fullHeader);
    at += fullHeader;
    for (ULONG d = 0; d < full.PartialResourceList.Count &&
                      at + sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR) <= bytes.size();
         d++) {
      CM_PARTIAL_RESOURCE_DESCRIPTOR descriptor;
      std::memcpy(&descriptor, bytes.data() + at, sizeof descriptor);
      result.push_back(descriptor);
      at += sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR);
    }
  }
  return result;
}

}  // namespace host
