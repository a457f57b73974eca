#include "ui/fraKalvCustomNoise.h"
