// globals.h - the program-wide state that the stages fill and share; it lives until the
// process ends.
#pragma once

// The character that ends a settings value; the run sequence sets it to the newline.
extern int ceol;
