/* kitmount: placeholder until the module is written. */
#ifndef KIVREL_KITMOUNT_H
#define KIVREL_KITMOUNT_H

#include "common.h"

#endif /* KIVREL_KITMOUNT_H */
