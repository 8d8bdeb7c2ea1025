/* kitrun: placeholder until the module is written. */
#ifndef KIVREL_KITRUN_H
#define KIVREL_KITRUN_H

#include "common.h"

#endif /* KIVREL_KITRUN_H */
