// A tiny bus driver for the machine's tests: a function driver on the card
// that reports child PDOs of its own ("FAKE\PORT", instance ID = the child's
// index as four hex digits) and hands out buffers with tags and sizes a test
// can get wrong on purpose.
#pragma once

#include <wdm.h>

#include <string>
#include <vector>

namespace fakebus {

struct Config {
  ULONG idTag = 0x206B6444;         // "Ddk "
  ULONG textTag = 0x206B6444;       // "Ddk "
  ULONG relationsTag = 0x206B6444;  // "Ddk "
  ULONG busInfoTag = 0x7375625A;    // "Zbus"
  size_t idExtraBytes = 0;          // added to the device-ID buffer
  size_t relationsExtraBytes = 0;   // added to the relations list
  bool writePortValues = true;      // children publish the eleven values on IRP_MN_QUERY_RESOURCES
  bool uniqueIds = true;            // children's capabilities UniqueID
  // Wrong on purpose: a child's removal deletes its PDO even while the bus
  // still reports it; the next answer then reports a new PDO in its place.
  bool deleteReportedChildren = false;
};

// Fresh state (call in SetUp).
void Reset();
Config& Settings();
// The child indices the next bus-relations answers report.
void Report(const std::vector<int>& indices);
// Every Plug and Play request the driver saw, in order: "fdo:<minor>" or "child<N>:<minor>".
std::vector<std::string> Log();
// Requests of one kind seen by one device ("fdo" or "child<N>").
int Count(const std::string& who, UCHAR minor);
// Index of the first log entry equal to text, or -1.
int Find(const std::string& text);
PDEVICE_OBJECT ChildPdo(int index);  // NULL if none
std::u16string RegistryPathSeen();
int Unloads();
// When set, DriverEntry fails with this status.
void FailEntry(NTSTATUS status);

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

}  // namespace fakebus
