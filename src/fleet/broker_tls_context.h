// The TLS context of a connection to the broker, made from the settings'
// files at each connection (renewed files take effect at the next one).
#pragma once

#include "fleet/mqtt_settings.h"

#include <string>

struct ssl_ctx_st;

// The broker's certificate must chain to --mqtt-cafile's CA (else the
// system's) and name the host of --mqtt; this box's certificate and key, if
// given, go with it. Null with `problem` said when a file cannot be used.
ssl_ctx_st* newBrokerTlsContext(const MqttSettings& settings, std::string& problem);
