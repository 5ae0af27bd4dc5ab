// ntddk.h of the host stand-in: everything a WDM driver of this package
// needs comes from wdm.h.
#pragma once

#include "wdm.h"
