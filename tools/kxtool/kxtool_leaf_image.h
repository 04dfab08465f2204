// kxtool_leaf_image.h - opening an image and building its leaf table for the leaf subcommands.
#pragma once
#include "firmware/elf.h"

// Opens the image and rebuilds the leaf table from it; null (reason on stderr) on failure.
// The caller closes the image.
ElfImage* kxtool_open_leaves(const char* path);
