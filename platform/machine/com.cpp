// The Ports class installer and the COM name arbiter's database: every newly
// installed port gets the lowest free COM number from COM3 up; a port that
// comes back under the same instance ID keeps the name its key holds.
#include <cstdio>
#include <cstdlib>

#include "host/verifier.h"
#include "machine_internal.h"
#include "registry.h"

namespace host {

namespace {

constexpr const char* kComDb = "ComDB";
constexpr size_t kComDbBytes = 32;  // COM1 to COM256
constexpr int kFirstFreeNumber = 3;

std::vector<uint8_t> LoadComDb() {
  auto& store = RegistryStore::Instance();
  if (!store.KeyExists(kComNameArbiterKey)) store.CreateKey(kComNameArbiterKey);
  auto value = store.GetValue(kComNameArbiterKey, kComDb);
  if (!value || value->type != REG_BINARY) {
    // A fresh machine: COM1 and COM2 are its own serial ports.
    std::vector<uint8_t> bits(kComDbBytes, 0);
    bits[0] = 0x03;
    return bits;
  }
  std::vector<uint8_t> bits = value->data;
  bits.resize(kComDbBytes, 0);
  return bits;
}

void StoreComDb(const std::vector<uint8_t>& bits) {
  RegistryStore::Instance().SetValue(kComNameArbiterKey, kComDb, REG_BINARY, bits.data(), bits.size());
}

int NumberOf(const std::string& portName) {
  if (portName.size() < 4 || RegistryStore::NamesEqual(portName.substr(0, 3), "COM") == false) return 0;
  char* end = nullptr;
  long n = std::strtol(portName.c_str() + 3, &end, 10);
  return (*end == '\0' && n >= 1 && n <= 256) ? (int)n : 0;
}

void Claim(std::vector<uint8_t>& bits, int number) {
  bits[(number - 1) / 8] |= (uint8_t)(1u << ((number - 1) % 8));
}

std::string PortKeyFor(const std::string& instanceId) {
  if (DeviceNode* node = FindNodeByInstance(instanceId)) {
    if (!node->InstancePath().empty()) return node->DeviceParametersPath();
  }
  for (DeviceNode* node : AllNodes()) {
    if (RegistryStore::NamesEqual(node->instanceId, instanceId) && !node->InstancePath().empty()) {
      return node->DeviceParametersPath();
    }
  }
  return "";  // no device node ever had this instance ID
}

}  // namespace

void RunComPortInstaller(DeviceNode& node) {
  auto& store = RegistryStore::Instance();
  auto& state = machine::State();
  std::lock_guard<std::recursive_mutex> lock(state.mutex);
  const std::string parameters = node.DeviceParametersPath();
  store.CreateKey(parameters);
  std::vector<uint8_t> bits = LoadComDb();
  std::string name = store.GetString(parameters, "PORTNAME").value_or("");
  int number = NumberOf(name);
  if (number == 0) {
    for (int n = kFirstFreeNumber; n <= 256; n++) {
      if (!(bits[(n - 1) / 8] & (1u << ((n - 1) % 8)))) {
        number = n;
        break;
      }
    }
    if (number == 0) {
      VerifierFail("host.setup-failed", "machine: no COM number left for " + node.InstancePath());
      return;
    }
    name = "COM" + std::to_string(number);
    store.SetString(parameters, "PORTNAME", name);
  }
  Claim(bits, number);
  StoreComDb(bits);
  std::string friendly = (node.description.empty() ? std::string("Communications Port") : node.description) +
                         " (" + name + ")";
  store.SetString(node.KeyPath(), "FriendlyName", friendly);
}

std::string ComName(const std::string& instanceId) {
  const std::string parameters = PortKeyFor(instanceId);
  if (parameters.empty()) return "";
  return RegistryStore::Instance().GetString(parameters, "PORTNAME").value_or("");
}

std::vector<int> ClaimedComNumbers() {
  std::lock_guard<std::recursive_mutex> lock(machine::State().mutex);
  std::vector<uint8_t> bits = LoadComDb();
  std::vector<int> numbers;
  for (int n = 1; n <= 256; n++) {
    if (bits[(n - 1) / 8] & (1u << ((n - 1) % 8))) numbers.push_back(n);
  }
  return numbers;
}

void UninstallPort(const std::string& instanceId) {
  auto& store = RegistryStore::Instance();
  std::lock_guard<std::recursive_mutex> lock(machine::State().mutex);
  const std::string parameters = PortKeyFor(instanceId);
  if (parameters.empty()) return;
  int number = NumberOf(store.GetString(parameters, "PORTNAME").value_or(""));
  if (number != 0) {
    std::vector<uint8_t> bits = LoadComDb();
    bits[(number - 1) / 8] &= (uint8_t)~(1u << ((number - 1) % 8));
    StoreComDb(bits);
  }
  const std::string suffix = "\\Device Parameters";
  store.DeleteKey(parameters.substr(0, parameters.size() - suffix.size()));
}

}  // namespace host
