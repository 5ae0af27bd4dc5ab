// The emulated machine around the driver: the multi-port serial card, the PCI
// bus driver that owns the card's physical device object, the Plug and Play
// manager (device nodes, the requests of a device's life, child devices), the
// COM port class installer, the serial port function driver that loads on each
// port device, and the power manager's requests.
//
// A test brings a card up in a few lines:
//
//   host::LoadDriver(DriverEntry, "serhub");
//   host::Card& card = host::CreateCard(host::CardModel::Ports8);
//   host::DeviceNode& node = host::BringUpCard(card, 2, 13, 1);
//   ASSERT_EQ(host::NodeState::Started, node.State());
//   for (host::DeviceNode* port : node.Children()) ...   // started port stacks
//   host::QueryAndRemove(node);                            // children first
//
// Everything that sends requests runs in the calling thread (the Plug and Play
// manager's), except power requests, which come from a power-manager thread.
// Device nodes, cards and PCI devices live until ResetMachine; references to
// them stay valid after the device is gone.
#pragma once

#include <wdm.h>

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "host/io.h"

namespace host {

class Card;
class PciDevice;
class DeviceNode;

// Fresh state for a test: forgets cards, device nodes, loaded drivers, COM
// numbers and injected faults; stops the threads of held requests without
// touching their (already reset) IRPs. Call after ResetKernel and ResetIo.
void ResetMachine();
// What the machine finds wrong at the end of a test: requests still held at a
// PCI device (which it then releases, so their threads can finish while the
// kernel is still intact), power requests still running.
std::vector<std::string> MachineEndChecks();
// Removes every device node still present (surprise removal for started
// ones, then removal, children first) and unloads every driver still loaded,
// as a shutdown would. For fixtures that do not take their cards down.
void TearDownMachine();

// ===========================================================================
// The card.

// PCI identity of the card family's boards (the subsystem dword tells the
// models apart).
constexpr USHORT kCardVendorId = 0x7A5E;
constexpr USHORT kCardDeviceId = 0x0C40;
constexpr UCHAR kCardRevision = 0x00;
constexpr ULONG kCardClassCode = 0x070200;  // simple communications, multiport serial

enum class CardModel {
  Ports2,           // 0x00024B51
  Ports4,           // 0x00044B51
  Ports8,           // 0x00084B51
  Ports16,          // 0x00104B51
  Ports2MultiMode,  // 0x00824B51
  Ports4MultiMode,  // 0x00844B51
  Ports32,          // 0x91641698, BAR 2 decodes I/O space
  Ports32MemoryBar, // 0x91641698, BAR 2 decodes memory space (not accepted)
};
uint32_t SubsystemDword(CardModel model);

// The card's register ranges. On the 2-, 4-, 8- and 16-port cards the
// resource list holds Uart, Spare, Intc (BARs 0, 1, 2); on the 32-port card
// Intc, Uart (BARs 0 and 2; BAR 1 unimplemented). Spare is a small range the
// driver has no use for.
enum class CardRange { Uart, Intc, Spare };
const char* CardRangeName(CardRange range);

// Where one range lives. In I/O space the range is reported in both resource
// lists as a port range with CM_RESOURCE_PORT_IO at ioBase. With memorySpace
// the platform reaches the card's I/O range through memory (the host bridge
// maps I/O space into physical memory, as on machines without port I/O): the
// raw list still names ioBase with CM_RESOURCE_PORT_IO, the translated list
// names memoryBase as a port range without CM_RESOURCE_PORT_IO, and the card
// decodes at memoryBase.
struct RangeSetup {
  bool present = true;       // false: the range is left out of the resource lists
  bool memorySpace = false;
  ULONG ioBase = 0;          // 0: chosen by CreateCard
  ULONGLONG memoryBase = 0;  // 0: chosen by CreateCard
  ULONG length = 0;          // 0: the model's (Uart 8 per port, 256 on the 32-port card; Intc 32; Spare 16)
};

struct CardSetup {
  uint32_t subsystem = 0x00084B51;
  bool bar2Io = true;  // bit 0 of BAR 2 (only the 32-port card's identification looks at it)
  ULONG ports = 0;     // 0: from the subsystem dword (8 for a dword of no model)
  RangeSetup uart, intc, spare;
  // The interrupt: raw level and vector are the interrupt line (irq); the
  // translated list carries the HAL's level, vector and affinity. 0 derives
  // them from irq as the x86 HAL does (vector 0x30 + irq, level 27 - irq,
  // affinity 1).
  ULONG irq = 11;
  ULONG level = 0;
  ULONG vector = 0;
  KAFFINITY affinity = 0;
  bool hasInterrupt = true;
  // 32-port card: which of the four 64-byte expansion modules are fitted.
  std::array<bool, 4> modules = {true, true, true, true};
  // Alternative lists in the resource requirements (the first is the
  // assigned configuration; the others accept the ranges anywhere).
  int alternativeLists = 1;
};
CardSetup SetupFor(CardModel model);

// Creates a card (owned by the machine until ResetMachine).
Card& CreateCard(CardModel model);
Card& CreateCard(const CardSetup& setup);

// One access to the card's registers, as the card saw it.
struct RegisterAccess {
  CardRange range;
  ULONG offset;
  bool write;
  UCHAR value;  // written, or returned
  bool operator==(const RegisterAccess& other) const {
    return range == other.range && offset == other.offset && write == other.write &&
           value == other.value;
  }
};

struct ConfigAccess {
  bool write;
  ULONG offset;
  ULONG length;
};

class Card {
 public:
  explicit Card(const CardSetup& setup, int index);
  ~Card();
  Card(const Card&) = delete;
  Card& operator=(const Card&) = delete;

  const CardSetup& Setup() const { return setup_; }
  uint32_t Subsystem() const { return setup_.subsystem; }
  ULONG Ports() const { return ports_; }

  // --- Configuration space (256 bytes, little-endian) ---
  UCHAR ConfigByte(ULONG offset) const;
  ULONG ConfigDword(ULONG offset) const;
  void SetConfigDword(ULONG offset, ULONG value);
  // Used by the PCI bus driver: copies up to `length` bytes, returns the count.
  ULONG ReadConfig(ULONG offset, void* buffer, ULONG length);
  ULONG WriteConfig(ULONG offset, const void* buffer, ULONG length);
  // IRP_MN_READ_CONFIG / WRITE_CONFIG requests the card answered.
  int ConfigReads() const;
  int ConfigWrites() const;
  std::vector<ConfigAccess> ConfigLog() const;

  // --- Register ranges ---
  const RangeSetup& Range(CardRange range) const;
  ULONG RangeLength(CardRange range) const;
  // Address the driver reaches the range at: ioBase, or memoryBase when the
  // range lies in memory space.
  ULONGLONG TranslatedStart(CardRange range) const;
  IoHandler& Handler(CardRange range);
  // Registers the ranges with the HAL (AddPortRange / AddMemoryRange), or
  // takes them away. The Plug and Play manager does this at start / removal.
  void Decode();
  void StopDecoding();
  bool Decoding() const;

  // --- Register file and access log ---
  UCHAR Register(CardRange range, ULONG offset) const;
  void PresetRegister(CardRange range, ULONG offset, UCHAR value);
  std::vector<RegisterAccess> AccessLog() const;
  std::vector<RegisterAccess> Writes(CardRange range) const;
  void ClearAccessLog();

  // --- Expansion modules of the 32-port card ---
  void SetModuleFitted(int module, bool fitted);
  bool ModuleFitted(int module) const;
  // The probe was armed (0x01 written to register 5 of the module's first port).
  bool ModuleSignatureArmed(int module) const;

  // --- Interrupt ---
  struct InterruptInfo {
    ULONG irq;
    ULONG level;
    ULONG vector;
    KAFFINITY affinity;
  };
  InterruptInfo Interrupt() const;

  // --- Resource lists, as the Plug and Play manager and the bus driver give them ---
  std::vector<uint8_t> RawResources() const;         // CM_RESOURCE_LIST
  std::vector<uint8_t> TranslatedResources() const;  // CM_RESOURCE_LIST
  std::vector<uint8_t> ResourceRequirements() const; // IO_RESOURCE_REQUIREMENTS_LIST
  // Hand-built lists used instead of the card's own (empty vector: back to the card's).
  void SetStartResources(std::vector<uint8_t> raw, std::vector<uint8_t> translated);
  void SetResourceRequirements(std::vector<uint8_t> requirements);
  bool HasStartResourceOverride() const;

  // PCI location once plugged (bus, device, function); -1 before.
  int Bus() const { return bus_; }
  int DeviceNumber() const { return device_; }
  int Function() const { return function_; }
  void SetLocation(int bus, int device, int function);

 private:
  class RangeDecoder;
  UCHAR Read(CardRange range, ULONG offset);
  void Write(CardRange range, ULONG offset, UCHAR value);
  bool ModuleMissing(CardRange range, ULONG offset) const;
  std::vector<CardRange> ResourceOrder() const;

  CardSetup setup_;
  ULONG ports_;
  int bus_ = -1, device_ = -1, function_ = -1;
  mutable std::recursive_mutex mutex_;
  std::array<UCHAR, 256> config_{};
  int configReads_ = 0, configWrites_ = 0;
  std::vector<ConfigAccess> configLog_;
  std::map<CardRange, std::vector<UCHAR>> registers_;
  std::vector<RegisterAccess> log_;
  std::array<bool, 4> armed_{};
  std::map<CardRange, std::unique_ptr<RangeDecoder>> decoders_;
  bool decoding_ = false;
  std::vector<uint8_t> rawOverride_, translatedOverride_, requirementsOverride_;
};

// Builds a CM_RESOURCE_LIST with one full descriptor (PCIBus), for tests
// that hand the driver resources in any order.
class ResourceListBuilder {
 public:
  ResourceListBuilder& Port(ULONGLONG start, ULONG length, bool io = true,
                            UCHAR share = CmResourceShareDeviceExclusive);
  ResourceListBuilder& Memory(ULONGLONG start, ULONG length);
  ResourceListBuilder& Interrupt(ULONG level, ULONG vector, KAFFINITY affinity);
  ResourceListBuilder& Descriptor(const CM_PARTIAL_RESOURCE_DESCRIPTOR& descriptor);
  std::vector<uint8_t> Build(ULONG busNumber = 0) const;

 private:
  std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> descriptors_;
};

// Builds an IO_RESOURCE_REQUIREMENTS_LIST; every List() starts a new
// alternative list.
class RequirementsBuilder {
 public:
  RequirementsBuilder& List();
  RequirementsBuilder& Port(ULONG length, ULONGLONG minimum, ULONGLONG maximum,
                            UCHAR share = CmResourceShareDeviceExclusive,
                            USHORT flags = CM_RESOURCE_PORT_IO, UCHAR option = 0);
  RequirementsBuilder& Memory(ULONG length, ULONGLONG minimum, ULONGLONG maximum,
                              UCHAR share = CmResourceShareDeviceExclusive, UCHAR option = 0);
  RequirementsBuilder& Interrupt(ULONG minimum, ULONG maximum,
                                 UCHAR share = CmResourceShareDeviceExclusive, UCHAR option = 0);
  RequirementsBuilder& Descriptor(const IO_RESOURCE_DESCRIPTOR& descriptor);
  std::vector<uint8_t> Build(ULONG busNumber = 0, ULONG slotNumber = 0) const;

 private:
  std::vector<std::vector<IO_RESOURCE_DESCRIPTOR>> lists_;
};

// Reading lists back (bytes as built above or as a driver returned them).
std::vector<std::vector<IO_RESOURCE_DESCRIPTOR>> ParseRequirements(const std::vector<uint8_t>& list);
std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> ParseResources(const std::vector<uint8_t>& list);
size_t RequirementsListSize(const IO_RESOURCE_REQUIREMENTS_LIST* list);
size_t ResourceListSize(const CM_RESOURCE_LIST* list);

// ===========================================================================
// The PCI bus driver ("\Driver\PCI") and the card's physical device object.

// How the PCI device delivers a request it answers.
enum class Delivery {
  Now,           // answered and completed in the dispatch routine
  FromThread,    // marked pending, STATUS_PENDING returned, completed from another thread at once
  HoldPending,   // marked pending, STATUS_PENDING returned, completed from another thread on ReleaseHeld
  HoldBlocking,  // the dispatch routine blocks until ReleaseHeld, then answers and returns
  FromDpc,       // marked pending, STATUS_PENDING returned, answered from another thread and
                 // completed there at DISPATCH_LEVEL, as a DPC would
};

// One request that reached the PCI device.
struct PciRequest {
  UCHAR major;
  UCHAR minor;
  NTSTATUS status;  // completed with
  bool pended;
  // IRP_MN_READ_CONFIG / WRITE_CONFIG, IRP_MN_QUERY_ID, relations, power: the parameters.
  ULONG offset = 0, length = 0;
  ULONG parameter = 0;  // IdType, relation type, power type
  ULONG state = 0;      // power state
};

class PciDevice {
 public:
  PciDevice(Card& card, ULONG bus, ULONG device, ULONG function);
  ~PciDevice();
  PciDevice(const PciDevice&) = delete;
  PciDevice& operator=(const PciDevice&) = delete;

  PDEVICE_OBJECT Pdo() const { return pdo_; }
  Card& GetCard() const { return card_; }
  ULONG Bus() const { return bus_; }
  ULONG DeviceNumber() const { return device_; }
  ULONG Function() const { return function_; }
  std::string DeviceId() const;     // PCI\VEN_7A5E&DEV_0C40&SUBSYS_xxxxxxxx&REV_00
  std::string LocationText() const; // "PCI bus 2, device 13, function 1"

  // What IRP_MN_QUERY_CAPABILITIES reports (Size and Version are the
  // requester's). Edit before the request: DeviceState[], SystemWake,
  // DeviceWake, Address, UINumber, flags, latencies.
  DEVICE_CAPABILITIES& Capabilities() { return caps_; }

  // --- Fault and delivery injection. minor -1: every minor code of the major. ---
  // The next `count` matching requests (-1: all until cleared) complete with status.
  void FailRequests(UCHAR major, int minor, NTSTATUS status, int count = 1);
  // The next `count` matching requests (-1: all until cleared) are delivered this way.
  void DeliverRequests(UCHAR major, int minor, Delivery how, int count = -1);
  void ClearInjections();
  // Blocks until `count` requests are held (HoldPending / HoldBlocking); false
  // if that did not happen within the machine's safety limit (10 s).
  bool WaitForHeld(size_t count = 1);
  size_t HeldCount() const;
  // Lets every held request go: it is answered and completed.
  void ReleaseHeld();

  std::vector<PciRequest> RequestLog() const;
  int RequestCount(UCHAR major, int minor = -1) const;
  void ClearRequestLog();

  // Dispatch of the PCI driver for this device (internal).
  NTSTATUS Dispatch(PIRP irp);
  void Abandon();  // ResetMachine: held threads go without touching their IRPs
  bool HasUnreleased() const;
  void Forget() { pdo_ = nullptr; }

 private:
  struct Rule {
    UCHAR major;
    int minor;
    bool fail;
    NTSTATUS status;
    Delivery how;
    int count;
  };
  struct Held;
  bool Match(UCHAR major, UCHAR minor, bool fail, Rule* out);
  NTSTATUS Answer(PIRP irp);  // fills the answer, sets IoStatus, returns the status (no completion)
  NTSTATUS AnswerPnp(PIRP irp, PIO_STACK_LOCATION stack);
  NTSTATUS AnswerPower(PIRP irp, PIO_STACK_LOCATION stack);
  NTSTATUS Finish(PIRP irp, std::optional<NTSTATUS> forced, bool pended, bool atDispatch = false);

  Card& card_;
  ULONG bus_, device_, function_;
  PDEVICE_OBJECT pdo_ = nullptr;
  DEVICE_CAPABILITIES caps_{};
  mutable std::mutex mutex_;
  std::condition_variable heldChanged_;
  std::vector<Rule> rules_;
  std::vector<std::shared_ptr<Held>> held_;
  std::vector<std::thread> threads_;
  std::vector<PciRequest> log_;
  bool abandoned_ = false;
};

// ===========================================================================
// Drivers.

// Loads a driver the way the I/O manager does: a driver object "\Driver\<service>"
// (the service key SYSTEM\CurrentControlSet\Services\<service> is created), then
// DriverEntry with the registry path
// "\Registry\Machine\System\CurrentControlSet\Services\<service>" (a pool copy
// that is freed when DriverEntry returns). Returns DriverEntry's status; on
// failure the driver object is deleted. The service becomes the function
// driver that PlugCard adds by default.
NTSTATUS LoadDriver(PDRIVER_INITIALIZE entry, const std::string& service,
                    PDRIVER_OBJECT* driver = nullptr);
// The loaded driver object, or NULL.
PDRIVER_OBJECT LoadedDriver(const std::string& service);
// Calls DriverUnload and deletes the driver object. Refused (false, verifier
// failure) while the driver still has device objects; false if not loaded.
// The Plug and Play manager unloads a driver by itself once the last of its
// devices has been removed, and loads it again for the next device.
bool UnloadDriver(const std::string& service);
int DriverLoadCount(const std::string& service);    // DriverEntry calls
int DriverUnloadCount(const std::string& service);  // DriverUnload calls
void SetAutoUnload(bool on);                         // default on

// ===========================================================================
// The Plug and Play manager.

enum class NodeState {
  Initialized,      // PDO known, no function driver added
  AddFailed,        // AddDevice failed (or no driver)
  DriversAdded,     // AddDevice succeeded, not started
  Started,
  StartFailed,      // start failed (the stack was then removed)
  QueryStopped,
  Stopped,
  QueryRemoved,
  SurpriseRemoved,
  Removed,          // IRP_MN_REMOVE_DEVICE sent; the node is gone
  Disabled,         // removed while still present: the node keeps its PDO, no driver loaded
};
const char* NodeStateName(NodeState state);

struct PnpResult {
  NTSTATUS returned;       // what IoCallDriver returned
  NTSTATUS status;         // final IoStatus.Status
  ULONG_PTR information;   // final IoStatus.Information
};

// What the serial port function driver read from its port's Device
// Parameters key when its start completed.
struct SerialReading {
  std::string instancePath;
  NTSTATUS openStatus = STATUS_UNSUCCESSFUL;
  struct Value {
    std::string name;
    NTSTATUS status;
    ULONG type;
    ULONG dataLength;
    ULONG data;  // first four bytes
  };
  std::vector<Value> values;  // in the order read
  // The value as a REG_DWORD, if it was there as one.
  std::optional<ULONG> Dword(const std::string& name) const;
};
// The eleven values the serial port driver reads, in its order.
const std::vector<std::string>& SerialValueNames();

class DeviceNode {
 public:
  PDEVICE_OBJECT Pdo() const { return pdo_; }
  // The device attached right above the PDO (the function driver's), NULL if none.
  PDEVICE_OBJECT Fdo() const;
  // The top of the device stack (the PDO when nothing is attached).
  PDEVICE_OBJECT Top() const;
  const std::string& InstancePath() const { return instancePath_; }
  std::string KeyPath() const;               // SYSTEM\CurrentControlSet\Enum\<instance path>
  std::string DeviceParametersPath() const;  // ...\Device Parameters
  // Read without the machine's lock: only the manager's thread changes it.
  NodeState State() const { return state_.load(std::memory_order_acquire); }
  DeviceNode* Parent() const { return parent_; }
  // Present children, in the order the bus reported them.
  std::vector<DeviceNode*> Children() const;
  // Every child this node ever had, removed ones included.
  std::vector<DeviceNode*> AllChildren() const;

  // The card's node: the card and its PCI device; NULL for other nodes.
  Card* GetCard() const { return card_; }
  PciDevice* Pci() const { return pci_; }

  // Results of the requests of this node's life (STATUS_PENDING: not sent yet).
  NTSTATUS addStatus = STATUS_PENDING;
  NTSTATUS filterStatus = STATUS_PENDING;
  NTSTATUS startStatus = STATUS_PENDING;
  NTSTATUS relationsStatus = STATUS_PENDING;
  NTSTATUS queryResourcesStatus = STATUS_PENDING;
  NTSTATUS requirementsStatus = STATUS_PENDING;
  std::string service;  // function driver

  // The requirements as the stack returned them from IRP_MN_FILTER_RESOURCE_REQUIREMENTS.
  std::vector<uint8_t> requirements;
  std::vector<uint8_t> filteredRequirements;

  // A child's identity, as its PDO answered (empty when not answered).
  std::string deviceId;
  std::string instanceId;
  std::vector<std::string> hardwareIds;
  std::vector<std::string> compatibleIds;
  std::string description;
  std::string location;
  std::optional<DEVICE_CAPABILITIES> capabilities;
  std::optional<PNP_BUS_INFORMATION> busInformation;
  std::optional<std::vector<uint8_t>> bootResources;  // IRP_MN_QUERY_RESOURCES answer
  std::string problem;  // why the node could not be started, if it could not

  // COM port installer: the port name given to this port ("" if none).
  std::string PortName() const;
  // Serial port function driver: every start's reading of the port values.
  std::vector<SerialReading> SerialReadings() const;
  std::optional<SerialReading> LastSerialReading() const;

  // internal
  DeviceNode(DeviceNode* parent, PDEVICE_OBJECT pdo, std::string instancePath);
  void SetState(NodeState state);
  void SetInstancePath(std::string path) { instancePath_ = std::move(path); }
  void AddChild(DeviceNode* child);
  void DropChild(DeviceNode* child);
  void SetCard(Card* card, PciDevice* pci) {
    card_ = card;
    pci_ = pci;
  }
  // Bookkeeping of the manager (not for tests).
  PDEVICE_OBJECT fdoAtAdd = nullptr;  // the device AddDevice attached
  bool holdsReference = false;        // the manager holds the relation's reference on the PDO
  bool pdoDeleted = false;
  bool reported = false;              // the parent's last bus relations listed the PDO
  bool removing = false;              // IRP_MN_REMOVE_DEVICE is on its way through the subtree

 private:
  DeviceNode* parent_;
  PDEVICE_OBJECT pdo_;
  std::string instancePath_;
  std::atomic<NodeState> state_{NodeState::Initialized};
  std::vector<DeviceNode*> children_;     // present
  std::vector<DeviceNode*> allChildren_;  // ever
  Card* card_ = nullptr;
  PciDevice* pci_ = nullptr;
};

struct PlugOptions {
  std::string service;                      // function driver; "" = the last loaded one
  std::optional<std::string> locationText;  // LocationInformation; default "PCI bus %d, device %d, function %d"
  bool addDevice = true;                    // call the function driver's AddDevice
};

// Puts the card in a PCI slot: the PCI device object and its device node
// (instance key with LocationInformation, SetDeviceInstancePath), then the
// function driver's AddDevice. addStatus tells how AddDevice went.
DeviceNode& PlugCard(Card& card, ULONG bus, ULONG device, ULONG function,
                     const PlugOptions& options = {});
// PlugCard, IRP_MN_QUERY_RESOURCE_REQUIREMENTS and IRP_MN_FILTER_RESOURCE_REQUIREMENTS,
// IRP_MN_START_DEVICE with the card's raw and translated resources (followed,
// as on the platform, by IRP_MN_QUERY_CAPABILITIES and, after a first start,
// IRP_MN_QUERY_PNP_DEVICE_STATE), then bus relations
// (which installs and starts the port devices). A failed AddDevice or start
// ends it (a failed filter does not: the unfiltered list stays in effect);
// the node's statuses and State() tell where.
DeviceNode& BringUpCard(Card& card, ULONG bus = 2, ULONG device = 13, ULONG function = 1,
                        const PlugOptions& options = {});

// The requests of a device's life, one call each, sent to the top of the
// node's stack from the calling thread with IoStatus.Status
// STATUS_NOT_SUPPORTED. Each returns the final status.
//
// Fault counters: the manager's own requests are built without spending
// FailIrpAllocationNth, except IRP_MN_FILTER_RESOURCE_REQUIREMENTS (and
// SendPnp with a non-zero information), which is built with
// IoBuildSynchronousFsdRequest and carries a list the manager allocates from
// paged pool (tag "PnpM") just before: one IRP allocation and one pool
// allocation ahead of the driver's own. Start resources are not pool memory.
// The serial port driver opens each port's key with IoOpenDeviceRegistryKey
// once per start, after the port's IRP_MN_QUERY_RESOURCES.
NTSTATUS QueryResourceRequirements(DeviceNode& node);
NTSTATUS FilterResourceRequirements(DeviceNode& node);  // queries the requirements first if not yet done
// Start with the card's raw and translated lists (or the node's overrides).
// A failed start is followed by IRP_MN_REMOVE_DEVICE, as the platform does,
// unless removeOnFailure is false.
NTSTATUS StartDevice(DeviceNode& node, bool removeOnFailure = true);
// Bus relations: new child PDOs are interrogated (device, hardware,
// compatible and instance IDs, capabilities; then the device node and its
// instance key SYSTEM\CurrentControlSet\Enum\<device ID>\<instance ID>
// exist; description and location text, bus information, resources,
// resource requirements), installed (COM port installer), given the serial
// port driver (AddDevice, IRP_MN_FILTER_RESOURCE_REQUIREMENTS) and started
// without resources, then asked for their own bus relations. Every buffer a
// child hands out is checked (a live pool block its contents fit) and
// freed. Children missing from the answer get IRP_MN_SURPRISE_REMOVAL when
// started, then IRP_MN_REMOVE_DEVICE (a second one for a disabled child).
NTSTATUS QueryBusRelations(DeviceNode& node);
NTSTATUS QueryStop(DeviceNode& node);
NTSTATUS CancelStop(DeviceNode& node);
// IRP_MN_STOP_DEVICE; refused (with a finding) unless a granted query stop
// came first, as the manager never sends it otherwise.
NTSTATUS StopDevice(DeviceNode& node);
// RemovalRelations of the node first, then query remove to the children
// first; a refusal cancels the queries that were granted.
NTSTATUS QueryRemove(DeviceNode& node);
NTSTATUS CancelRemove(DeviceNode& node);
// Surprise removal: children first, then the node.
NTSTATUS SurpriseRemove(DeviceNode& node);
// IRP_MN_REMOVE_DEVICE: children first, then the node. A card's PCI device
// object and device node go with it (the card stops decoding). A child that
// its bus still reports keeps its device node and PDO (Disabled); one that
// is gone has its reference released. The function driver is unloaded after
// its last device. Refused (with a finding) for a started node that was
// neither query-removed nor surprise-removed.
NTSTATUS RemoveDevice(DeviceNode& node);
// Query remove, then remove (or cancel remove when the query is refused).
NTSTATUS QueryAndRemove(DeviceNode& node);
// Disable, as Device Manager does it, for a card or a port: RemovalRelations,
// query remove (children first), then remove. The device node and its PDO
// stay (State() Disabled); a card's children go for good. Refused when the
// node is not started.
NTSTATUS DisableDevice(DeviceNode& node);
// Enable a disabled node: the function driver's AddDevice on the same PDO,
// resource requirements and their filter, IRP_MN_START_DEVICE, then (for a
// card) bus relations, which bring the children up again.
NTSTATUS EnableDevice(DeviceNode& node);
// A driver update: disable, the new driver entry loaded under the node's
// service (the old one is unloaded once idle), enable.
NTSTATUS UpdateDriver(DeviceNode& node, PDRIVER_INITIALIZE entry);
// The same as DisableDevice, kept for callers that disable a port.
NTSTATUS RemoveChild(DeviceNode& port);
// Lets the next life-cycle calls send sequences Windows never sends (a stop
// without its query, a removal of a started device without query remove or
// surprise removal), for tests that check a driver's answer to them. Off
// after ResetMachine; without it such a call is refused with a finding.
void AllowIllegalSequences(bool on);
// Card unplugged: surprise removal if started, then removal.
NTSTATUS UnplugCard(DeviceNode& node);

// Sends any Plug and Play request to the top of the node's stack (or to a
// device directly with SendPnpTo). The caller owns whatever comes back in
// information.
PnpResult SendPnp(DeviceNode& node, UCHAR minor,
                  const std::function<void(PIO_STACK_LOCATION)>& fill = {},
                  ULONG_PTR information = 0);
PnpResult SendPnpTo(PDEVICE_OBJECT device, UCHAR minor,
                    const std::function<void(PIO_STACK_LOCATION)>& fill = {},
                    ULONG_PTR information = 0);

// Every node the machine knows (cards first, then children), removed ones included.
std::vector<DeviceNode*> AllNodes();
// The node whose PDO this is, or NULL.
DeviceNode* FindNode(PDEVICE_OBJECT pdo);
// The present node with this instance ID (children) or instance path.
DeviceNode* FindNodeByInstance(const std::string& instanceIdOrPath);

// A buffer a child's stack handed out in a completed request, as the manager
// takes it over before freeing it. Windows asks only that it is pool the
// requester can free and that its contents fit; what a driver promises
// beyond that (its pool tags, buffers exactly as large as their contents)
// is for the driver's tests to check through this hook.
struct HandedOutBuffer {
  std::string what;  // "device ID", "hardware IDs", "compatible IDs", "instance ID",
                     // "device description", "location text", "bus information", "bus relations"
  ULONG tag;
  size_t size;    // the pool block's size
  size_t needed;  // bytes its contents use (strings up to the final NUL, lists up to their last entry)
};
// One hook at a time; ResetMachine removes it.
void OnHandedOutBuffer(std::function<void(const HandedOutBuffer&)> hook);

// ===========================================================================
// COM port class installer (the Ports class of the platform): each newly
// installed port gets PORTNAME "COMn" in its Device Parameters key, n the
// lowest number from 3 up not claimed in the COM name arbiter's database
// (COM1 and COM2 belong to the machine's own ports); a port whose key already
// names a PORTNAME keeps it.
constexpr const char* kComNameArbiterKey = "SYSTEM\\CurrentControlSet\\Control\\COM Name Arbiter";
// The PORTNAME of the port with this instance ID (e.g. "020D0105"), found
// through the device node that had it; "" if none.
std::string ComName(const std::string& instanceId);
// Numbers claimed in the arbiter's database, ascending.
std::vector<int> ClaimedComNumbers();
// Uninstalls a port: frees its number and deletes its instance key (the
// device node's; nothing when no node ever had the instance ID).
void UninstallPort(const std::string& instanceId);

// ===========================================================================
// The serial port function driver ("\Driver\Serial") that loads on every port.

// Every reading, in order, of every port.
std::vector<SerialReading> SerialReadings();
// Makes the serial driver's next `count` AddDevice calls fail with status.
void FailSerialAddDevice(NTSTATUS status, int count = 1);

// ===========================================================================
// Power requests, sent by the power manager from a thread of its own to the
// top of a stack: IRP_MJ_POWER with IoStatus.Status STATUS_NOT_SUPPORTED,
// through PoCallDriver, waited for.

struct PowerResult {
  NTSTATUS returned;
  NTSTATUS status;
};
PowerResult SendPower(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE_TYPE type,
                      POWER_STATE state, POWER_ACTION action = PowerActionNone);
PowerResult SetSystemPower(DeviceNode& node, SYSTEM_POWER_STATE state,
                           POWER_ACTION action = PowerActionSleep);
PowerResult SetDevicePower(DeviceNode& node, DEVICE_POWER_STATE state);
PowerResult QuerySystemPower(DeviceNode& node, SYSTEM_POWER_STATE state,
                             POWER_ACTION action = PowerActionSleep);
PowerResult QueryDevicePower(DeviceNode& node, DEVICE_POWER_STATE state);
PowerResult WaitWake(DeviceNode& node, SYSTEM_POWER_STATE state);

// A system power request as the power manager sends it: IRP_MN_SET_POWER or
// IRP_MN_QUERY_POWER of type SystemPowerState to the top of every device
// stack that has its drivers, one stack after the other: children before
// their parent for a sleeping or off state, parents first for
// PowerSystemWorking. One result per node, in the order sent.
struct NodePowerResult {
  DeviceNode* node;
  PowerResult result;
};
std::vector<NodePowerResult> SendSystemPowerToAll(UCHAR minor, SYSTEM_POWER_STATE state,
                                                  POWER_ACTION action = PowerActionSleep);

// A power request running on a power-manager thread while the test goes on.
class PendingPower {
 public:
  PendingPower(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state,
               POWER_ACTION action);
  ~PendingPower();  // waits for the request
  PendingPower(const PendingPower&) = delete;
  PendingPower& operator=(const PendingPower&) = delete;
  // Waits for the request to come back.
  PowerResult Wait();
  bool Done() const;

 private:
  struct State;
  std::shared_ptr<State> state_;  // shared with the power manager's worker thread
};
std::unique_ptr<PendingPower> SendPowerAsync(PDEVICE_OBJECT device, UCHAR minor,
                                             POWER_STATE_TYPE type, POWER_STATE state,
                                             POWER_ACTION action = PowerActionNone);
std::unique_ptr<PendingPower> SendPowerAsync(DeviceNode& node, UCHAR minor,
                                             POWER_STATE_TYPE type, POWER_STATE state,
                                             POWER_ACTION action = PowerActionNone);

// Text helpers for messages.
std::string StatusText(NTSTATUS status);
std::string PnpMinorName(UCHAR minor);

}  // namespace host
