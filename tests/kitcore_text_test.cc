// Tests of the text and privilege helpers: placeholder.
#include "kitcore.h"
