// placeholder, replaced by the MQTT client implementation
#include "mqtt_async_wrapper.h"
