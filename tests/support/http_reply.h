// Plain HTTP requests to the service, and its replies taken apart.
#pragma once

#include "ws_client.h"

#include <string>

struct HttpReply {
    int status = 0;
    std::string head, body;
};

inline HttpReply parseReply(const std::string& raw) {
    HttpReply reply;
    const auto end = raw.find("\r\n\r\n");
    if (raw.rfind("HTTP/1.1 ", 0) != 0 || end == std::string::npos) return reply;
    reply.status = std::stoi(raw.substr(9, 3));
    reply.head = raw.substr(0, end);
    reply.body = raw.substr(end + 4);
    return reply;
}

inline HttpReply request(const std::string& method, const std::string& path,
                         const WsEndpoint& endpoint = kServiceEndpoint) {
    return parseReply(WsClient::exchange(method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1:9010\r\n\r\n", endpoint));
}
