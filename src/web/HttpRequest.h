#pragma once
// The request side of the web view's HTTP/1.1: the request head read from what a connection has
// buffered so far, within fixed bounds, and the path a request names. Only what a read-only
// viewer needs: GET (and POST of the login form, whose body is small and length-delimited);
// no chunked request bodies, no absolute-form targets, no header folding.
//
// A request path is percent-decoded once and must then be plain: valid UTF-8, starting with
// '/', without NUL or other control characters, '\', '%' (an encoded '%' is a second encoding)
// or "." and ".." segments. Anything else is refused before routing, so no spelling of
// "/../KTcom.ini" ever reaches a file name.

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>
#include <utility>

struct HttpLimits {
    int maxHeadBytes = 8192;     // request line and headers together (431 beyond)
    int maxTargetBytes = 2048;   // the request target (414 beyond)
    int maxHeaderCount = 64;     // header lines (431 beyond)
    int maxBodyBytes = 4096;     // the login form (413 beyond)
};

struct HttpRequest {
    QByteArray method;           // "GET"
    QByteArray target;           // as sent: "/api/history?from=…"
    QString path;                // decoded: "/api/history"
    QByteArray query;            // raw, without '?'
    int minorVersion = 1;        // HTTP/1.x
    QList<std::pair<QByteArray, QByteArray>> headers; // names in lower case, values trimmed
    qint64 contentLength = 0;
    QByteArray body;

    // The first header of that (lower-case) name; null when there is none.
    QByteArray header(QByteArrayView name) const;
    // Whether the connection stays open after the answer (HTTP/1.1 default, "Connection: close").
    bool keepAlive() const;
    // A query parameter, percent-decoded ('+' as blank); null when absent.
    QString queryValue(const QString &name) const;
    // A value of the Cookie header; null when absent.
    QByteArray cookie(QByteArrayView name) const;
};

struct HeadParse {
    enum class State { Incomplete, Complete, Error };
    State state = State::Incomplete;
    int status = 0;              // for Error: 400, 413, 414, 431, 501, 505
    QString reason;              // for Error
    int headBytes = 0;           // for Complete: bytes of the head, blank line included
    HttpRequest request;         // for Complete (body not yet read)
};

// Parses the request head at the start of buffered. Incomplete while the blank line that ends
// it has not come and the bytes so far are within bounds.
HeadParse parseRequestHead(QByteArrayView buffered, const HttpLimits &limits = {});

// The decoded, checked path of a request target's path part; false when it is not plain.
bool decodeRequestPath(QByteArrayView rawPath, QString *path);

// Decodes %XX escapes (and '+' as a blank when plusIsSpace); false on a broken escape.
bool percentDecode(QByteArrayView in, QByteArray *out, bool plusIsSpace);

// The value of name in an application/x-www-form-urlencoded text; null when absent.
QString formValue(QByteArrayView form, const QString &name);
