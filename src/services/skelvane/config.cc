// placeholder, replaced by the configuration loader
#include "config.h"
