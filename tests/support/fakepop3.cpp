#include "support/fakepop3.h"
