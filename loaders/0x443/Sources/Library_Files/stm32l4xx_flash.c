/* stm32l4xx_flash.c - loader-443 shares the flash routines of loader-453. */
#include "../../../0x453/Sources/Library_Files/stm32l4xx_flash.c"
