// PoSetPowerState: the power manager's record of each device's power state.
#include <wdm.h>

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "host/io.h"
#include "host/kernel.h"
#include "host/verifier.h"
#include "kernel/kio_internal.h"

namespace {

struct Recorded {
  DEVICE_POWER_STATE device = PowerDeviceD0;
  SYSTEM_POWER_STATE system = PowerSystemWorking;
};

struct PowerRecord {
  std::mutex mutex;
  std::map<PDEVICE_OBJECT, Recorded> states;
  std::vector<host::PoSetPowerStateCall> log;
};

PowerRecord& State() {
  static PowerRecord state;
  return state;
}

}  // namespace

namespace host {
namespace kio {

void ResetPower() {
  auto& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.states.clear();
  s.log.clear();
}

void ForgetPowerState(PDEVICE_OBJECT device) {
  auto& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.states.erase(device);
}

}  // namespace kio

std::vector<PoSetPowerStateCall> PoSetPowerStateLog() {
  auto& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.log;
}

DEVICE_POWER_STATE RecordedDevicePowerState(PDEVICE_OBJECT device) {
  auto& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  auto it = s.states.find(device);
  return it == s.states.end() ? PowerDeviceD0 : it->second.device;
}

SYSTEM_POWER_STATE RecordedSystemPowerState(PDEVICE_OBJECT device) {
  auto& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  auto it = s.states.find(device);
  return it == s.states.end() ? PowerSystemWorking : it->second.system;
}

}  // namespace host

POWER_STATE NTAPI PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type,
                                  POWER_STATE State) {
  host::kio::CheckIrql("PoSetPowerState", DISPATCH_LEVEL);
  if (!DeviceObject || !host::IsDeviceAlive(DeviceObject))
    host::VerifierFail("ddi.invalid-parameter",
                       "PoSetPowerState called with a device object that does not exist");
  bool valid = Type == DevicePowerState
                   ? State.DeviceState >= PowerDeviceD0 && State.DeviceState <= PowerDeviceD3
                   : Type == SystemPowerState && State.SystemState >= PowerSystemWorking &&
                         State.SystemState <= PowerSystemShutdown;
  if (!valid)
    host::VerifierFail("ddi.invalid-parameter",
                       "PoSetPowerState called with an invalid type or state");

  auto& s = ::State();
  std::lock_guard<std::mutex> lock(s.mutex);
  Recorded& r = s.states[DeviceObject];
  POWER_STATE previous;
  if (Type == SystemPowerState) {
    previous.SystemState = r.system;
    if (valid) r.system = State.SystemState;
  } else {
    previous.DeviceState = r.device;
    if (valid) r.device = State.DeviceState;
  }
  s.log.push_back({DeviceObject, Type, State, previous});
  return previous;
}
