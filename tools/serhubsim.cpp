// serhubsim: the command-line simulator of the serhub driver package.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "serhub_registry.h"

namespace {

void Usage() {
  std::printf(
      "usage: serhubsim keypath BUS DEVICE FUNCTION PORT\n"
      "  prints the port's instance ID and the registry key the driver writes\n"
      "  and the property page opens for it\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 6 && std::strcmp(argv[1], "keypath") == 0) {
    unsigned bus = std::strtoul(argv[2], nullptr, 10);
    unsigned dev = std::strtoul(argv[3], nullptr, 10);
    unsigned fn = std::strtoul(argv[4], nullptr, 10);
    unsigned port = std::strtoul(argv[5], nullptr, 10);
    char location[16];
    std::snprintf(location, sizeof location, "%02X%02X%02X", bus & 0xFF, dev & 0xFF, fn & 0xFF);
    char path[256];
    std::snprintf(path, sizeof path, SERHUB_PORT_KEY_FORMAT, location, port & 0xFF);
    std::printf("instance ID %s%02X\nHKEY_LOCAL_MACHINE\\%s\n", location, port & 0xFF, path);
    return 0;
  }
  Usage();
  return argc == 2 && std::strcmp(argv[1], "--help") == 0 ? 0 : 2;
}
