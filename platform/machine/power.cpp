// The power manager's requests: IRP_MJ_POWER sent with PoCallDriver to the
// top of a device stack from a thread of the power manager's own.
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "host/kernel.h"
#include "host/verifier.h"
#include "machine_internal.h"

namespace host {

namespace {

PowerResult SendFromThisThread(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE_TYPE type,
                               POWER_STATE state, POWER_ACTION action) {
  if (device == nullptr || !IsDeviceAlive(device)) {
    VerifierFail("host.bad-call", "machine: power request for a device that no longer exists");
    return {STATUS_NO_SUCH_DEVICE, STATUS_NO_SUCH_DEVICE};
  }
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(device);
  IrpResult r = SendIrpAndWait(top, IRP_MJ_POWER, minor, [&](PIO_STACK_LOCATION s) {
    s->Parameters.Power.SystemContext = 0;
    s->Parameters.Power.Type = type;
    s->Parameters.Power.State = state;
    s->Parameters.Power.ShutdownType = action;
    if (minor == IRP_MN_WAIT_WAKE) s->Parameters.WaitWake.PowerState = state.SystemState;
  }, STATUS_NOT_SUPPORTED);
  ObDereferenceObject(top);
  return {r.returned, r.iosb.Status};
}

void CountLive(int delta) {
  auto& state = machine::State();
  std::lock_guard<std::recursive_mutex> lock(state.mutex);
  state.livePowerRequests += delta;
}

POWER_STATE System(SYSTEM_POWER_STATE s) {
  POWER_STATE p;
  p.SystemState = s;
  return p;
}

POWER_STATE Device(DEVICE_POWER_STATE d) {
  POWER_STATE p;
  p.DeviceState = d;
  return p;
}

}  // namespace

// The power manager's threads. Windows sends power requests from threads of
// its own (the driver must see them arrive on a thread other than the Plug
// and Play manager's); they are long-lived, so are these: a request goes to
// an idle worker, and a new worker starts only when every worker is busy (a
// request held pending at a device keeps its worker). Workers live for the
// whole process; the pool is never destroyed, so no worker outlives it.
class PowerWorkers {
 public:
  void Post(std::function<void()> job) {
    std::lock_guard<std::mutex> lock(mutex_);
    jobs_.push_back(std::move(job));
    if (idle_ < jobs_.size()) {
      ++idle_;  // counted idle until it takes its first job
      std::thread([this] { Run(); }).detach();
    }
    wake_.notify_one();
  }

 private:
  void Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      wake_.wait(lock, [&] { return !jobs_.empty(); });
      std::function<void()> job = std::move(jobs_.front());
      jobs_.pop_front();
      --idle_;
      lock.unlock();
      job();
      job = nullptr;
      lock.lock();
      ++idle_;
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> jobs_;
  size_t idle_ = 0;
};

PowerWorkers& Workers() {
  static PowerWorkers* workers = [] {
    auto w = new PowerWorkers;  // never destroyed: see above
    // Requests PoCallDriver held back go to their devices from these threads too.
    SetPowerDelivery([w](std::function<void()> job) { w->Post(std::move(job)); });
    return w;
  }();
  return *workers;
}

struct PendingPower::State {
  std::mutex mutex;
  std::condition_variable done;
  bool finished = false;
  PowerResult result{STATUS_PENDING, STATUS_PENDING};
};

PendingPower::PendingPower(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE_TYPE type,
                           POWER_STATE state, POWER_ACTION action)
    : state_(std::make_shared<State>()) {
  CountLive(+1);
  auto shared = state_;
  Workers().Post([shared, device, minor, type, state, action] {
    PowerResult result = SendFromThisThread(device, minor, type, state, action);
    CountLive(-1);
    std::lock_guard<std::mutex> lock(shared->mutex);
    shared->result = result;
    shared->finished = true;
    shared->done.notify_all();
  });
}

PendingPower::~PendingPower() {
  bool finished;
  {
    std::unique_lock<std::mutex> lock(state_->mutex);
    finished = state_->done.wait_for(lock, std::chrono::seconds(machine::kSafetySeconds),
                                     [&] { return state_->finished; });
  }
  if (!finished) {
    VerifierFail("machine.power-hung",
                 "machine: a power request was still running when the test let it go; "
                 "requests held at PCI devices are released");
    std::vector<PciDevice*> devices;
    {
      std::lock_guard<std::recursive_mutex> lock(machine::State().mutex);
      for (auto& pci : machine::State().pciDevices) devices.push_back(pci.get());
    }
    for (PciDevice* pci : devices) pci->ReleaseHeld();
    std::unique_lock<std::mutex> lock(state_->mutex);
    state_->done.wait(lock, [&] { return state_->finished; });
  }
}

PowerResult PendingPower::Wait() {
  std::unique_lock<std::mutex> lock(state_->mutex);
  if (!state_->done.wait_for(lock, std::chrono::seconds(machine::kSafetySeconds),
                             [&] { return state_->finished; })) {
    VerifierFail("machine.power-hung", "machine: a power request did not come back");
  }
  return state_->result;
}

bool PendingPower::Done() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->finished;
}

std::unique_ptr<PendingPower> SendPowerAsync(PDEVICE_OBJECT device, UCHAR minor,
                                             POWER_STATE_TYPE type, POWER_STATE state,
                                             POWER_ACTION action) {
  return std::make_unique<PendingPower>(device, minor, type, state, action);
}

std::unique_ptr<PendingPower> SendPowerAsync(DeviceNode& node, UCHAR minor, POWER_STATE_TYPE type,
                                             POWER_STATE state, POWER_ACTION action) {
  return SendPowerAsync(node.Pdo(), minor, type, state, action);
}

PowerResult SendPower(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE_TYPE type,
                      POWER_STATE state, POWER_ACTION action) {
  PendingPower request(device, minor, type, state, action);
  return request.Wait();
}

PowerResult SetSystemPower(DeviceNode& node, SYSTEM_POWER_STATE state, POWER_ACTION action) {
  return SendPower(node.Pdo(), IRP_MN_SET_POWER, SystemPowerState, System(state), action);
}

PowerResult SetDevicePower(DeviceNode& node, DEVICE_POWER_STATE state) {
  return SendPower(node.Pdo(), IRP_MN_SET_POWER, DevicePowerState, Device(state), PowerActionNone);
}

PowerResult QuerySystemPower(DeviceNode& node, SYSTEM_POWER_STATE state, POWER_ACTION action) {
  return SendPower(node.Pdo(), IRP_MN_QUERY_POWER, SystemPowerState, System(state), action);
}

PowerResult QueryDevicePower(DeviceNode& node, DEVICE_POWER_STATE state) {
  return SendPower(node.Pdo(), IRP_MN_QUERY_POWER, DevicePowerState, Device(state), PowerActionNone);
}

PowerResult WaitWake(DeviceNode& node, SYSTEM_POWER_STATE state) {
  return SendPower(node.Pdo(), IRP_MN_WAIT_WAKE, SystemPowerState, System(state), PowerActionNone);
}

namespace {

// Nodes whose stack has its drivers: the power manager's audience.
bool HasDriverStack(const DeviceNode& node) {
  switch (node.State()) {
    case NodeState::DriversAdded:
    case NodeState::Started:
    case NodeState::QueryStopped:
    case NodeState::Stopped:
    case NodeState::QueryRemoved:
      return true;
    default:
      return false;
  }
}

void Order(DeviceNode& node, bool childrenFirst, std::vector<DeviceNode*>& out) {
  if (!childrenFirst && HasDriverStack(node)) out.push_back(&node);
  for (DeviceNode* child : node.Children()) Order(*child, childrenFirst, out);
  if (childrenFirst && HasDriverStack(node)) out.push_back(&node);
}

}  // namespace

std::vector<NodePowerResult> SendSystemPowerToAll(UCHAR minor, SYSTEM_POWER_STATE state,
                                                  POWER_ACTION action) {
  // Leaving PowerSystemWorking the power manager powers the tree down from
  // its leaves; returning to it, up from its root.
  bool childrenFirst = state != PowerSystemWorking;
  std::vector<DeviceNode*> order;
  for (DeviceNode* node : AllNodes()) {
    if (node->Parent() == nullptr) Order(*node, childrenFirst, order);
  }
  // One power-manager thread walks the whole list, one stack after the
  // other, as the power manager's own thread does.
  struct Walk {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    std::vector<NodePowerResult> results;
  };
  auto walk = std::make_shared<Walk>();
  CountLive(+1);
  Workers().Post([walk, order, minor, state, action] {
    std::vector<NodePowerResult> sent;
    for (DeviceNode* node : order) {
      sent.push_back(
          {node, SendFromThisThread(node->Pdo(), minor, SystemPowerState, System(state), action)});
    }
    CountLive(-1);
    std::lock_guard<std::mutex> lock(walk->mutex);
    walk->results = std::move(sent);
    walk->finished = true;
    walk->done.notify_all();
  });
  std::unique_lock<std::mutex> lock(walk->mutex);
  auto limit = std::chrono::seconds(machine::kSafetySeconds) * (order.size() + 1);
  if (!walk->done.wait_for(lock, limit, [&] { return walk->finished; })) {
    VerifierFail("machine.power-hung", "machine: a system power request did not come back");
  }
  return walk->results;
}

}  // namespace host
