#include "dns/mxquery.h"
