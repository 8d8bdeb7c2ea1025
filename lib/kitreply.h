/* kitreply: placeholder until the module is written. */
#ifndef KIVREL_KITREPLY_H
#define KIVREL_KITREPLY_H

#include "common.h"

#endif /* KIVREL_KITREPLY_H */
