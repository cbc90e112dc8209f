#include "routing/pop3session.h"
