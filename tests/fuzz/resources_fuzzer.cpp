// Translated start resources in any order and mix (ports in I/O or memory
// space, interrupts, memory, DMA, device data, unknown types) for every card
// model: ParseCardResources takes two ranges and an interrupt or refuses the
// start, SetUpCard maps and writes only inside what it took, ShutDownCard
// unmaps everything it mapped.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_support.h"
#include "host/io.h"
#include "host/kernel.h"
#include "serhub.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  static const ULONG kPorts[] = {2, 4, 8, 16, 32};
  const ULONG ports = in.PickValueInArray(kPorts);
  const bool multiMode = (ports == 2 || ports == 4) && in.ConsumeBool();
  const bool noList = in.ConsumeProbability<float>() < 0.02f;
  const size_t count = in.ConsumeIntegralInRange<size_t>(0, 12);

  // One full descriptor, as the Plug and Play manager builds it.
  std::vector<ULONGLONG> memory(
      (FIELD_OFFSET(CM_RESOURCE_LIST, List[0].PartialResourceList.PartialDescriptors) +
       (count + 1) * sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR) + 7) / 8);
  auto* list = reinterpret_cast<PCM_RESOURCE_LIST>(memory.data());
  list->Count = 1;
  list->List[0].InterfaceType = PCIBus;
  list->List[0].PartialResourceList.Version = 1;
  list->List[0].PartialResourceList.Revision = 1;
  list->List[0].PartialResourceList.Count = static_cast<ULONG>(count);
  for (size_t i = 0; i < count; ++i) {
    CM_PARTIAL_RESOURCE_DESCRIPTOR d;
    std::memset(&d, 0, sizeof d);
    static const UCHAR kTypes[] = {CmResourceTypePort,   CmResourceTypePort,
                                   CmResourceTypeInterrupt, CmResourceTypeMemory,
                                   CmResourceTypeDma,    CmResourceTypeDeviceSpecific,
                                   CmResourceTypeNull,   0x85};
    d.Type = in.PickValueInArray(kTypes);
    d.ShareDisposition = in.ConsumeIntegral<UCHAR>();
    d.Flags = in.ConsumeIntegral<USHORT>();
    if (d.Type == CmResourceTypePort) {
      // Ranges the platform can assign: I/O ports below 64K, memory below
      // 1 TB; long enough for the registers the card model has there.
      const bool io = in.ConsumeBool();
      d.Flags = static_cast<USHORT>(io ? (d.Flags | CM_RESOURCE_PORT_IO) : (d.Flags & ~CM_RESOURCE_PORT_IO));
      d.u.Port.Length = in.ConsumeIntegralInRange<ULONG>(ports == 32 ? 256 : 32, 1024);
      d.u.Port.Start.QuadPart = io ? in.ConsumeIntegralInRange<LONGLONG>(0, 0xFFFF - 1024)
                                   : in.ConsumeIntegralInRange<LONGLONG>(0, (1LL << 40) - 1) & ~0xFFFLL;
    } else {
      std::vector<uint8_t> raw = in.ConsumeBytes<uint8_t>(sizeof d.u);
      if (!raw.empty()) std::memcpy(&d.u, raw.data(), raw.size());
    }
    std::memcpy(&list->List[0].PartialResourceList.PartialDescriptors[i], &d, sizeof d);
  }

  fuzz::Begin();
  BUS_EXTENSION bus;
  std::memset(&bus, 0, sizeof bus);
  bus.PortCount = ports;
  bus.MultiMode = multiMode ? 1 : 0;
  IO_STACK_LOCATION stack;
  std::memset(&stack, 0, sizeof stack);
  stack.MajorFunction = IRP_MJ_PNP;
  stack.MinorFunction = IRP_MN_START_DEVICE;
  stack.Parameters.StartDevice.AllocatedResourcesTranslated = noList ? nullptr : list;

  NTSTATUS status = ParseCardResources(&stack, &bus);
  fuzz::Check(status == STATUS_SUCCESS || status == STATUS_DEVICE_CONFIGURATION_ERROR, "parse status");
  if (status == STATUS_SUCCESS) {
    fuzz::Check(bus.InterruptVector != 0 && bus.UartLength != 0 && bus.IntcLength != 0,
                "a start with a range or the interrupt missing");
    fuzz::Check(bus.TrInterruptVector == bus.InterruptVector && bus.TrInterruptLevel == bus.InterruptLevel,
                "the two interrupt passes disagree");
    status = SetUpCard(&bus);
    fuzz::Check(status == STATUS_SUCCESS || status == STATUS_DEVICE_CONFIGURATION_ERROR, "setup status");
  }
  if (status != STATUS_SUCCESS) {
    fuzz::Check(bus.PortCount == 0, "a refused card is left set up");
    fuzz::Check(host::LiveMappings().empty(), "a refused card keeps a mapping");
  }
  ShutDownCard(&bus);
  ShutDownCard(&bus);
  fuzz::Check(host::LiveMappings().empty(), "a mapping survived the shutdown");
  fuzz::End();
  return 0;
}
