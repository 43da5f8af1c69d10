#include "app/kavrix_mod.h"
namespace kavrix {
int RunKavrix(int, char**) { return 0; }
}  // namespace kavrix
