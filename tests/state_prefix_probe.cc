// SPDX-License-Identifier: MIT
// Prints the state directory prefix after changing ids as argv[1] says:
// "drop" (a temporary drop) or "root" (every id root). Run set-uid by the
// state retention tests.
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "kitcore.h"

int main(int argc, char** argv) {
  const char* how = argc > 1 ? argv[1] : "";
  if (strcmp(how, "drop") == 0 && idpriv_temp_drop() != 0) return 1;
  if (strcmp(how, "root") == 0 && (setresgid(0, 0, 0) != 0 || setresuid(0, 0, 0) != 0)) return 1;
  printf("%s\n", _kr_state_calculate_location_prefix());
}
