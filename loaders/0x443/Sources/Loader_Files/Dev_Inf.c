/* Dev_Inf.c - descriptor of loader-443: the 0x453 descriptor with this image's variant values. */
#include "../../../0x453/Sources/Loader_Files/Dev_Inf.c"
