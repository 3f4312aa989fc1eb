// pcsc-lite's IFD handler interface; its header declares C functions
// without saying so.
#pragma once

extern "C" {
#include <ifdhandler.h>
#include <reader.h>
}
