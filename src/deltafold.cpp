// Patch engine (placeholder; replaced by the real engine).
#include "deltafold.h"
