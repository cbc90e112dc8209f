#include "routing/queue.h"
