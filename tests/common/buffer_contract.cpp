#include "buffer_contract.h"

#include <mutex>

#include "host/machine.h"

namespace testsupport {

namespace {

std::mutex& Lock() {
  static std::mutex lock;
  return lock;
}

std::vector<std::string>& Findings() {
  static std::vector<std::string> findings;
  return findings;
}

std::string TagText(ULONG tag) {
  std::string text;
  for (int i = 0; i < 4; ++i) text.push_back(static_cast<char>((tag >> (8 * i)) & 0xFF));
  return text;
}

ULONG ExpectedTag(const BufferContract& contract, const std::string& what) {
  if (what == "bus information") return contract.busInformation;
  if (what == "bus relations") return contract.relations;
  if (what == "device description" || what == "location text") return contract.text;
  return contract.ids;
}

}  // namespace

void ExpectBufferContract(const BufferContract& contract) {
  host::OnHandedOutBuffer([contract](const host::HandedOutBuffer& buffer) {
    std::vector<std::string> found;
    const ULONG tag = ExpectedTag(contract, buffer.what);
    if (tag != 0 && buffer.tag != tag) {
      found.push_back("contract: " + buffer.what + " has pool tag '" + TagText(buffer.tag) + "', expected '" +
                      TagText(tag) + "'");
    }
    if (contract.exactSizes && buffer.size != buffer.needed) {
      found.push_back("contract: " + buffer.what + " came in a " + std::to_string(buffer.size) +
                      "-byte buffer; its contents need " + std::to_string(buffer.needed));
    }
    std::lock_guard<std::mutex> lock(Lock());
    Findings().insert(Findings().end(), found.begin(), found.end());
  });
}

std::vector<std::string> TakeBufferContractFindings() {
  std::lock_guard<std::mutex> lock(Lock());
  std::vector<std::string> found;
  found.swap(Findings());
  return found;
}

}  // namespace testsupport
