// The location text as SetupAPI may give the page (any bytes, no NUL within
// the buffer): MakeLocationKey writes the key of the first three numbers or
// leaves it alone, and never reads or writes past either buffer.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "fuzz_support.h"
#include "serhubpp.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Exactly the bytes and their NUL, so that a read past the text is caught.
  std::unique_ptr<char[]> text(new char[size + 1]);
  if (size != 0) std::memcpy(text.get(), data, size);
  text[size] = '\0';
  std::vector<uint32_t> numbers;  // digit runs up to the first NUL, wrapped as 32 bits
  for (size_t i = 0; i < size && data[i] != 0 && numbers.size() < 3; ++i) {
    if (data[i] < '0' || data[i] > '9') continue;
    uint32_t value = 0;
    for (; i < size && data[i] >= '0' && data[i] <= '9'; ++i) value = value * 10 + (data[i] - '0');
    numbers.push_back(value);
    if (i == size || data[i] == 0) break;
  }

  char key[64];
  std::memset(key, 'x', sizeof key);
  const BOOL made = MakeLocationKey(key, text.get());
  if (numbers.size() < 3) {
    fuzz::Check(!made, "a key from fewer than three numbers");
    fuzz::Check(key[0] == 'x', "the key was written although it was not made");
    return 0;
  }
  char expected[16];
  std::snprintf(expected, sizeof expected, "%02X%02X%02X", numbers[0] & 0xFF, numbers[1] & 0xFF,
                numbers[2] & 0xFF);
  fuzz::Check(made && std::strcmp(key, expected) == 0, std::string("key ") + expected);
  return 0;
}
