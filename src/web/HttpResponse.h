#pragma once
// The response side: the head of an answer with the headers every answer carries.
//
// Every answer, page or not, says
//   Content-Security-Policy: default-src 'self'; frame-ancestors 'none'; base-uri 'none';
//                            form-action 'self'; object-src 'none'
//   X-Content-Type-Options: nosniff, X-Frame-Options: DENY, Referrer-Policy: same-origin
// (not no-referrer: with it a browser sends "Origin: null" with the login form, whose origin
// the server checks) and, unless it is a static file, Cache-Control: no-store (live values and history are never
// kept by a browser or proxy).

#include <QByteArray>
#include <QList>
#include <utility>

using HttpHeaders = QList<std::pair<QByteArray, QByteArray>>;

QByteArray httpStatusText(int status);

// The status line and headers, ended by the blank line. contentLength ChunkedBody: the body
// follows in chunks (Transfer-Encoding: chunked) and ends with chunkTrailer(); UntilClose: the
// body ends with the connection (for HTTP/1.0 clients, which know no chunks).
constexpr qint64 ChunkedBody = -1;
constexpr qint64 UntilClose = -2;
QByteArray responseHead(int status, const HttpHeaders &headers, qint64 contentLength, bool keepAlive);
const HttpHeaders &securityHeaders();

// One chunk of a chunked body, and the end of one.
QByteArray chunk(const QByteArray &data);
QByteArray chunkTrailer();
