/* The server core's headers, read by a C compiler: they give their functions
   C linkage, so they must hold nothing that only C++ knows. Compiled with
   every build, never run. */
#include "http.h"
#include "platform.h"
#include "tidewire.h"
#include "websocket.h"
