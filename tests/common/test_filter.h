// A filter device that a test attaches above a device stack: it sees every
// IRP_MJ_PNP request on its way down and may answer one itself, standing for
// a filter or lower driver with a behaviour of its own.
#pragma once

#include <functional>
#include <thread>
#include <vector>

#include "wdm.h"

namespace testsupport {

class TestFilter {
 public:
  // Returns true when it has answered the request itself (completed it, or
  // marked it pending) and set *result to what the dispatch routine returns;
  // false passes the request down unchanged.
  using Handler = std::function<bool(PIRP irp, PIO_STACK_LOCATION stack, NTSTATUS* result)>;

  // Attaches a new filter device on top of target's stack.
  TestFilter(PDEVICE_OBJECT target, Handler handler);
  // Waits for the requests it completes from other threads, then detaches
  // and deletes the filter device.
  ~TestFilter();
  TestFilter(const TestFilter&) = delete;
  TestFilter& operator=(const TestFilter&) = delete;

  PDEVICE_OBJECT Device() const { return device_; }
  // Completes irp with status from another thread, as a driver answering
  // later does (the handler marks the request pending first).
  void CompleteLater(PIRP irp, NTSTATUS status);

 private:
  static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT device, PIRP irp);

  Handler handler_;
  PDRIVER_OBJECT driver_ = nullptr;
  PDEVICE_OBJECT device_ = nullptr;
  PDEVICE_OBJECT lower_ = nullptr;
  std::vector<std::thread> threads_;
};

}  // namespace testsupport
