#include "routing/spamfilter.h"
