// Tests of kitrun: placeholder until the module is written.
#include "kitrun.h"
