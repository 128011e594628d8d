// globals.cpp - definitions of the program-wide state.
#include "globals.h"

int ceol = 0;
