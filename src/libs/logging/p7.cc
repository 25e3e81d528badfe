// placeholder, replaced by the logging implementation
#include "p7.h"
