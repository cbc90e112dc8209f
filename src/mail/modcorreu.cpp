#include "mail/modcorreu.h"
