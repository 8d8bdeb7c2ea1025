// Prints the state directory prefix that a program sees after changing its
// ids as its argument says: "drop" (a temporary drop to the real ids) or
// "root" (real, effective and saved ids all root). Run set-id by the
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
  return 0;
}
