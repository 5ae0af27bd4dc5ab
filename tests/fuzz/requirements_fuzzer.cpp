// Resource requirement lists as the PCI bus driver may report them (any
// number of alternative lists and descriptors of any type and content),
// filtered by the bus device: every I/O port descriptor becomes shared, and
// not another byte of the list changes.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_support.h"
#include "host/machine.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  host::RequirementsBuilder builder;
  const size_t lists = in.ConsumeIntegralInRange<size_t>(1, 4);
  for (size_t l = 0; l < lists; ++l) {
    builder.List();
    const size_t count = in.ConsumeIntegralInRange<size_t>(0, 8);
    for (size_t i = 0; i < count; ++i) {
      IO_RESOURCE_DESCRIPTOR d;
      std::memset(&d, 0, sizeof d);
      std::vector<uint8_t> raw = in.ConsumeBytes<uint8_t>(sizeof d);
      if (!raw.empty()) std::memcpy(&d, raw.data(), raw.size());
      static const UCHAR kTypes[] = {CmResourceTypePort, CmResourceTypeInterrupt, CmResourceTypeMemory,
                                     CmResourceTypeDma, CmResourceTypeDeviceSpecific, 0x81};
      d.Type = in.PickValueInArray(kTypes);
      builder.Descriptor(d);
    }
  }
  const std::vector<uint8_t> list = builder.Build(in.ConsumeIntegral<uint8_t>(), 0);
  const bool lowerFails = in.ConsumeBool();

  fuzz::Begin();
  if (host::LoadDriver(DriverEntry, "serhub") != STATUS_SUCCESS) fuzz::Fail("load");
  host::Card& card = host::CreateCard(host::CardModel::Ports8);
  card.SetResourceRequirements(list);
  host::DeviceNode& node = host::PlugCard(card, 2, 13, 1);
  fuzz::Check(node.addStatus == STATUS_SUCCESS, "AddDevice");
  if (lowerFails) node.Pci()->FailRequests(IRP_MJ_PNP, IRP_MN_FILTER_RESOURCE_REQUIREMENTS,
                                           STATUS_INSUFFICIENT_RESOURCES);
  fuzz::Check(host::FilterResourceRequirements(node) == STATUS_SUCCESS, "the filter reported a failure");

  // The list as it must come back: the same bytes but the share
  // disposition of every port descriptor.
  std::vector<uint8_t> expected = list;
  size_t at = FIELD_OFFSET(IO_RESOURCE_REQUIREMENTS_LIST, List);
  for (size_t l = 0; l < lists; ++l) {
    IO_RESOURCE_LIST header;
    std::memcpy(&header, expected.data() + at, FIELD_OFFSET(IO_RESOURCE_LIST, Descriptors));
    at += FIELD_OFFSET(IO_RESOURCE_LIST, Descriptors);
    for (ULONG i = 0; i < header.Count; ++i, at += sizeof(IO_RESOURCE_DESCRIPTOR)) {
      if (expected[at + offsetof(IO_RESOURCE_DESCRIPTOR, Type)] == CmResourceTypePort)
        expected[at + offsetof(IO_RESOURCE_DESCRIPTOR, ShareDisposition)] = CmResourceShareShared;
    }
  }
  fuzz::Check(node.filteredRequirements == expected,
              "the filtered list differs beyond the ports' share disposition");
  host::TearDownMachine();
  fuzz::End();
  return 0;
}
