// Line diff engine (placeholder; replaced by the real engine).
#include "linesift.h"
