#include "mail/addressvalidation.h"
