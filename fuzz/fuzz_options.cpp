// fuzz_options.cpp - the address sanitizer's defaults for every fuzz target (ASAN_OPTIONS still
// overrides them).
//
// The quarantine keeps freed memory unused so a late read of it is caught. Its default, 256 MB,
// holds the frees of tens of thousands of runs, and until it is full every allocation takes
// pages the process never touched before: page faults cost more than the parsing. 64 MB still
// holds far more than one run frees, so a use after free inside a run is caught as before.
//
// The allocator hands free pages back to the system every few seconds by default; a fuzzer
// allocates the same sizes again at once, and each page handed back costs a fault and a TLB
// flush when it is taken again. Kept, the process stays at the size its largest run needed.
extern "C" const char* __asan_default_options() {
    return "quarantine_size_mb=64:allocator_release_to_os_interval_ms=-1";
}
