#include "routing/syncshell.h"
