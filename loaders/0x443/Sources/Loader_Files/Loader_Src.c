/* Loader_Src.c - loader-443 shares the entry points of loader-453. */
#include "../../../0x453/Sources/Loader_Files/Loader_Src.c"
