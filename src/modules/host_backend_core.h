// host_backend_core.h - fills the host service backend from this program's subsystems.
#pragma once

// Every backend entry but the picker dialog. Call before host_api_fill at start-up (main thread).
void host_backend_install_core();
