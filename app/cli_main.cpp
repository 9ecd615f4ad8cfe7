// morvek-cli: harvests the directory site from the console. (Placeholder until the console program lands.)
#include <cstdio>

#include "harvest/update_run.h"

int main() {
  HarvestState state;
  RunUpdate(state);
  return 0;
}
