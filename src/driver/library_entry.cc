// The library's entry point does nothing of its own: the runtime's start-up
// code runs before it, and the driver's objects are made by the factory.
#include "platform/platform.h"
