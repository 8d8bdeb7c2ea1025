// Tests of kitreply: placeholder until the module is written.
#include "kitreply.h"
