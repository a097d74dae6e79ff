#include "HttpResponse.h"

QByteArray httpStatusText(int status)
{
    switch (status) {
    case 101: return "Switching Protocols";
    case 200: return "OK";
    case 204: return "No Content";
    case 303: return "See Other";
    case 304: return "Not Modified";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 408: return "Request Timeout";
    case 411: return "Length Required";
    case 413: return "Content Too Large";
    case 414: return "URI Too Long";
    case 429: return "Too Many Requests";
    case 426: return "Upgrade Required";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    case 501: return "Not Implemented";
    case 503: return "Service Unavailable";
    case 505: return "HTTP Version Not Supported";
    default: return "Status";
    }
}

const HttpHeaders &securityHeaders()
{
    static const HttpHeaders headers = {
        {"Content-Security-Policy",
         "default-src 'self'; frame-ancestors 'none'; base-uri 'none'; form-action 'self'; object-src 'none'"},
        {"X-Content-Type-Options", "nosniff"},
        {"X-Frame-Options", "DENY"},
        {"Referrer-Policy", "same-origin"},
    };
    return headers;
}

QByteArray responseHead(int status, const HttpHeaders &headers, qint64 contentLength, bool keepAlive)
{
    QByteArray head = "HTTP/1.1 " + QByteArray::number(status) + ' ' + httpStatusText(status) + "\r\n";
    bool cacheSaid = false;
    for (const auto &[name, value] : headers) {
        head += name + ": " + value + "\r\n";
        cacheSaid = cacheSaid || name.compare("Cache-Control", Qt::CaseInsensitive) == 0;
    }
    for (const auto &[name, value] : securityHeaders())
        head += name + ": " + value + "\r\n";
    if (!cacheSaid)
        head += "Cache-Control: no-store\r\n";
    if (contentLength >= 0)
        head += "Content-Length: " + QByteArray::number(contentLength) + "\r\n";
    else if (contentLength == ChunkedBody)
        head += "Transfer-Encoding: chunked\r\n";
    head += keepAlive ? "Connection: keep-alive\r\n" : "Connection: close\r\n";
    head += "\r\n";
    return head;
}

QByteArray chunk(const QByteArray &data)
{
    if (data.isEmpty())
        return {};
    return QByteArray::number(data.size(), 16) + "\r\n" + data + "\r\n";
}

QByteArray chunkTrailer() { return "0\r\n\r\n"; }
