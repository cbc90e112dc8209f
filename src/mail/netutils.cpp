#include "mail/netutils.h"
