// Registry files as the simulator loads them (any bytes, any encoding): the
// parser reports an error or gives a file; a file applied to the store and
// exported reads back as the same registry.
#include <cstdint>
#include <vector>

#include "fuzz_support.h"
#include "regfile.h"
#include "registry.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const sim::RegFileParse parsed = sim::ParseRegFile(std::vector<uint8_t>(data, data + size));
  if (!parsed.file) {
    fuzz::Check(parsed.error.line >= 0 && !parsed.error.what.empty(), "an error without a reason");
    return 0;
  }
  auto& store = host::RegistryStore::Instance();
  store.Reset();
  sim::ApplyRegFile(*parsed.file, store);
  const std::vector<uint8_t> exported = sim::ExportRegFile(store);
  const sim::RegFileParse again = sim::ParseRegFile(exported);
  fuzz::Check(again.file.has_value(), "the export does not parse: line " +
                                          std::to_string(again.error.line) + ": " + again.error.what);
  store.Reset();
  sim::ApplyRegFile(*again.file, store);
  const std::vector<uint8_t> second = sim::ExportRegFile(store);
  if (second != exported) {
    size_t at = 0;
    while (at < second.size() && at < exported.size() && second[at] == exported[at]) ++at;
    auto around = [&](const std::vector<uint8_t>& bytes) {
      std::string text;
      for (size_t i = at < 40 ? 0 : at - 40; i < bytes.size() && i < at + 40; ++i)
        text += bytes[i] >= 0x20 && bytes[i] < 0x7F ? static_cast<char>(bytes[i]) : '.';
      return text;
    };
    fuzz::Fail("export, load and export again differ at byte " + std::to_string(at) + ":\n  " +
               around(exported) + "\n  " + around(second));
  }
  store.Reset();
  return 0;
}
