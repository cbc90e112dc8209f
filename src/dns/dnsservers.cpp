#include "dns/dnsservers.h"
