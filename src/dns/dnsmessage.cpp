#include "dns/dnsmessage.h"
