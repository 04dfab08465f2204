// net_export_win32.cpp - the one export of network.dll.
#include "kestrelix_module.h"
#include "net_module.h"

extern "C" __declspec(dllexport) const ModuleDescriptor* kx_module_get(void) { return net_module_descriptor(); }
