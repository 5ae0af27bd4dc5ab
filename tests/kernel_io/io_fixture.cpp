#include "io_fixture.h"

namespace kiotest {

void IoTest::SetUp() {
  host::RegistryStore::Instance().Reset();
  host::ResetKernel();
  host::ResetIo();
  driver_ = host::CreateDriverObject(u"kiotest");
}

void IoTest::TearDown() {
  for (PDEVICE_OBJECT dev : devices_)
    if (host::IsDeviceAlive(dev)) IoDeleteDevice(dev);
  host::DeleteDriverObject(driver_);
  for (const auto& f : host::VerifierFailures()) ADD_FAILURE() << "verifier: " << f;
  for (const auto& f : host::IoEndChecks()) ADD_FAILURE() << "io: " << f;
  for (const auto& f : host::KernelEndChecks()) ADD_FAILURE() << "kernel: " << f;
  host::ResetIo();
  host::ResetKernel();
}

PDEVICE_OBJECT IoTest::NewDevice(const std::string& instancePath) {
  PDEVICE_OBJECT dev = nullptr;
  NTSTATUS status = IoCreateDevice(driver_, 0, nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &dev);
  EXPECT_EQ(status, STATUS_SUCCESS);
  if (dev) {
    devices_.push_back(dev);
    if (!instancePath.empty()) host::SetDeviceInstancePath(dev, instancePath);
  }
  return dev;
}

std::vector<std::string> IoTest::TakeVerifierFailures() {
  auto failures = host::VerifierFailures();
  host::ClearVerifierFailures();
  return failures;
}

bool IoTest::OneFailureMentioning(const std::string& word) {
  auto failures = TakeVerifierFailures();
  return failures.size() == 1 && failures[0].find(word) != std::string::npos;
}

std::u16string U16(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }

std::string Narrow(const std::u16string& text) {
  std::string out;
  for (char16_t c : text) out += static_cast<char>(c);
  return out;
}

}  // namespace kiotest
