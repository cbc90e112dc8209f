#include "mail/clsenviarcorreu.h"
