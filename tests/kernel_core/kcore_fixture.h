// Fixture and a programmable test driver for the executive core's tests.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "host/kernel.h"
#include "host/verifier.h"
#include "wdm.h"

namespace kcore_test {

using Dispatch = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;

// Dispatch behaviour per device, looked up by the driver's one dispatch routine.
inline std::map<PDEVICE_OBJECT, Dispatch>& Behaviours() {
  static std::map<PDEVICE_OBJECT, Dispatch> behaviours;
  return behaviours;
}

inline NTSTATUS NTAPI TestDispatch(PDEVICE_OBJECT dev, PIRP irp) {
  return Behaviours().at(dev)(dev, irp);
}

// Completes the IRP with `status` and returns it, as a well-behaved driver does.
inline NTSTATUS CompleteWith(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

class KernelCoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    host::ResetKernel();
    Behaviours().clear();
    driver_ = host::CreateDriverObject(u"kcoretest");
    for (UCHAR mj : {IRP_MJ_PNP, IRP_MJ_POWER, IRP_MJ_READ, IRP_MJ_WRITE, IRP_MJ_DEVICE_CONTROL}) {
      driver_->MajorFunction[mj] = TestDispatch;
    }
  }

  void TearDown() override {
    DeleteAllDevices();
    for (const std::string& f : host::VerifierFailures()) ADD_FAILURE() << "verifier: " << f;
    for (const std::string& f : host::KernelEndChecks()) ADD_FAILURE() << "end check: " << f;
    host::ResetKernel();
    Behaviours().clear();
  }

  // A device of the test driver with the given dispatch behaviour.
  PDEVICE_OBJECT MakeDevice(Dispatch behaviour, ULONG extension = 0) {
    PDEVICE_OBJECT dev = nullptr;
    EXPECT_EQ(IoCreateDevice(driver_, extension, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &dev),
              STATUS_SUCCESS);
    Behaviours()[dev] = std::move(behaviour);
    dev->Flags &= ~DO_DEVICE_INITIALIZING;
    return dev;
  }

  // A device stacked on `below`.
  PDEVICE_OBJECT MakeAttached(PDEVICE_OBJECT below, Dispatch behaviour) {
    PDEVICE_OBJECT top = IoGetAttachedDevice(below);
    PDEVICE_OBJECT dev = MakeDevice(std::move(behaviour));
    EXPECT_EQ(IoAttachDeviceToDeviceStack(dev, below), top);
    return dev;
  }

  // Detaches and deletes every device of the test driver, top of each stack first.
  void DeleteAllDevices() {
    while (driver_->DeviceObject != nullptr) {
      PDEVICE_OBJECT dev = driver_->DeviceObject;
      while (dev->AttachedDevice != nullptr) dev = dev->AttachedDevice;
      if (PDEVICE_OBJECT lower = host::AttachedTo(dev)) IoDetachDevice(lower);
      IoDeleteDevice(dev);
    }
  }

  // The verifier failures recorded so far, consumed: the test expects them.
  std::vector<std::string> TakeFailures() {
    std::vector<std::string> f = host::VerifierFailures();
    host::ClearVerifierFailures();
    return f;
  }

  // Exactly one failure was recorded and it mentions `text`.
  void ExpectOneFailure(const std::string& text) {
    std::vector<std::string> f = TakeFailures();
    ASSERT_EQ(f.size(), 1u) << Joined(f);
    EXPECT_NE(f[0].find(text), std::string::npos) << f[0];
  }

  static std::string Joined(const std::vector<std::string>& lines) {
    std::string all;
    for (const std::string& l : lines) all += l + "\n";
    return all;
  }

  PDRIVER_OBJECT driver_ = nullptr;
};

}  // namespace kcore_test
