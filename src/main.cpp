#include "app/kavrix_mod.h"

int main(int argc, char** argv) {
  return kavrix::RunKavrix(argc, argv);
}
