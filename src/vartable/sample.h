// sample.h - the one record every sample travels in: acquisition, read-back after a write,
// module pushes and replay all make it, and modules receive it by address. Its layout is part of
// the module interface, so the module header defines it (with its layout checks) for both sides.
#pragma once
#include "kestrelix_module.h"
