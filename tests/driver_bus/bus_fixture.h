// Fixture and helpers for the bus-device tests: the driver loaded into the
// emulated machine, access to the bus device's extension, expected register
// sequences, and two observation points in the kernel's routines (the
// location text read by the driver, and the waits it enters).
#pragma once

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "host/io.h"
#include "host/kernel.h"
#include "host/machine.h"
#include "host/verifier.h"
#include "platform_test.h"
#include "registry/registry.h"
#include "serhub.h"

namespace bustest {

// ---------------------------------------------------------------------------
// Observation points (bus_fixture.cpp wraps the kernel routines).

// While on, IoGetDeviceProperty for DevicePropertyLocationInformation with a
// buffer fills the bytes from BufferLength up to twice BufferLength with the
// digit "7" after answering, when the buffer's pool block is that large: the
// part of the driver's buffer that the query does not fill.
void SetFillBeyondLocation(bool on);
// Calls of IoGetDeviceProperty for the location, with their buffer lengths.
std::vector<ULONG> LocationQueryLengths();

// Every object passed to KeWaitForSingleObject since the last reset.
void ResetWaits();
// Blocks until a thread has entered KeWaitForSingleObject on `object` at
// least `count` times in all; false after the machine's safety limit.
bool WaitUntilWaitedOn(const void* object, int count = 1);
int WaitCount(const void* object);
// Waits entered on any object since the last reset.
int TotalWaits();
// The pool block (if any) that the last waited-on object lay in, as it was
// when the wait began.
std::optional<host::PoolBlockInfo> LastWaitPoolBlock();

// Blocks until no IoCompleteRequest is under way in any thread; false after
// the safety limit.
bool WaitForCompletionsToFinish();

// ---------------------------------------------------------------------------
// Register sequences of IntcBlock: (offset, value) in write order.
struct RegWrite {
  ULONG offset;
  UCHAR value;
  bool operator==(const RegWrite& o) const { return offset == o.offset && value == o.value; }
};
std::vector<RegWrite> SetupWrites(ULONG ports, bool multiMode);
std::vector<RegWrite> ShutdownWrites();
// The writes of the card's log for one range, as (offset, value).
std::vector<RegWrite> WritesOf(const host::Card& card, host::CardRange range);
std::string Describe(const std::vector<RegWrite>& writes);
void PrintTo(const RegWrite& w, std::ostream* os);

// A plain register file with an access log, for tests that set up a bus
// extension by hand and decode its ranges themselves.
class RegisterFile : public host::IoHandler {
 public:
  explicit RegisterFile(ULONG length) : bytes_(length, 0) {}
  UCHAR Read(ULONG offset) override;
  void Write(ULONG offset, UCHAR value) override;
  std::vector<RegWrite> Writes() const;
  int Reads() const;
  UCHAR At(ULONG offset) const { return bytes_[offset]; }

 private:
  mutable std::mutex mutex_;
  std::vector<UCHAR> bytes_;
  std::vector<RegWrite> writes_;
  int reads_ = 0;
};

// ---------------------------------------------------------------------------
// The fixture: a clean platform with the driver loaded as "serhub".
class BusTest : public testsupport::PlatformTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  static PBUS_EXTENSION BusOf(host::DeviceNode& node);
  static PBUS_EXTENSION BusOf(PDEVICE_OBJECT fdo);
  // The card's Device Parameters key path and its PORTS value, if written.
  static std::optional<uint32_t> PortsValue(host::DeviceNode& node);
  // Plugs and starts a card (no bus relations): AddDevice, filter, start.
  host::DeviceNode& PlugAndStart(host::Card& card, ULONG bus = 2, ULONG device = 13,
                                 ULONG function = 1);
  // Sends a bus-relations query straight to the bus device and takes the
  // port devices it reports out of the answer (references released, list
  // freed), so that they stay in the bus device's Children only.
  ULONG EnumerateDirect(host::DeviceNode& node);

  PDRIVER_OBJECT driver_ = nullptr;
};

}  // namespace bustest
