// The DLL's compiled resources (serhubpp.rc through windres -O res), for the
// host build: tests create the DLL's module from these bytes.
#pragma once

#include <cstddef>

namespace serhubpp {

extern const unsigned char kResourceBytes[];
extern const size_t kResourceSize;

}  // namespace serhubpp
