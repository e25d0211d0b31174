#include "transfer/HttpResponse.h"

#include <string>

namespace velmo::HttpResponse {

std::string_view reasonPhrase(int status) {
    switch (status) {
    case 200: return "OK";
    case 400: return "Bad Request";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 409: return "Conflict";
    case 413: return "Content Too Large";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    default: return "Error";
    }
}

Bytes format(int status, std::string_view contentType, ByteView body) {
    std::string head = "HTTP/1.1 " + std::to_string(status) + " ";
    head += reasonPhrase(status);
    head += "\r\nContent-Type: ";
    head += contentType;
    head += "\r\nContent-Length: " + std::to_string(body.size());
    head += "\r\nCache-Control: no-store\r\nReferrer-Policy: no-referrer\r\nX-Content-Type-Options: nosniff"
            "\r\nContent-Security-Policy: frame-ancestors 'none'; base-uri 'none'; connect-src 'self'"
            "\r\nConnection: close\r\n\r\n";
    Bytes response(head.begin(), head.end());
    response.insert(response.end(), body.begin(), body.end());
    return response;
}

}  // namespace velmo::HttpResponse
