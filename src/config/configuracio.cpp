#include "config/configuracio.h"
