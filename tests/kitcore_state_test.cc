// Tests of state retention: placeholder.
#include "kitcore.h"
