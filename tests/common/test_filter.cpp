#include "test_filter.h"

#include <gtest/gtest.h>

#include <map>
#include <mutex>

#include "host/kernel.h"

namespace testsupport {
namespace {

std::mutex g_mutex;
std::map<PDEVICE_OBJECT, TestFilter*> g_filters;

}  // namespace

TestFilter::TestFilter(PDEVICE_OBJECT target, Handler handler) : handler_(std::move(handler)) {
  static int count = 0;
  driver_ = host::CreateDriverObject(u"testfilter" + std::u16string(1, u'a' + (count++ % 26)));
  driver_->MajorFunction[IRP_MJ_PNP] = Dispatch;
  EXPECT_EQ(STATUS_SUCCESS,
            IoCreateDevice(driver_, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device_));
  if (device_ == nullptr) return;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_filters[device_] = this;
  }
  lower_ = IoAttachDeviceToDeviceStack(device_, target);
  EXPECT_NE(nullptr, lower_);
  device_->Flags &= ~DO_DEVICE_INITIALIZING;
}

TestFilter::~TestFilter() {
  for (std::thread& t : threads_) t.join();
  if (device_ != nullptr) {
    {
      std::lock_guard<std::mutex> lock(g_mutex);
      g_filters.erase(device_);
    }
    if (lower_ != nullptr) IoDetachDevice(lower_);
    IoDeleteDevice(device_);
  }
  host::DeleteDriverObject(driver_);
}

void TestFilter::CompleteLater(PIRP irp, NTSTATUS status) {
  threads_.emplace_back([irp, status] {
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
  });
}

NTSTATUS NTAPI TestFilter::Dispatch(PDEVICE_OBJECT device, PIRP irp) {
  TestFilter* self;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    self = g_filters.at(device);
  }
  NTSTATUS result = STATUS_SUCCESS;
  if (self->handler_ && self->handler_(irp, IoGetCurrentIrpStackLocation(irp), &result)) {
    return result;
  }
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(self->lower_, irp);
}

}  // namespace testsupport
