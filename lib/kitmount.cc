// kitmount: placeholder until the module is written.
#include "kitmount.h"
