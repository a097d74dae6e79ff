#pragma once
// An error no handler deals with on the spot (file input/output, the table engine). It travels
// up to whoever can tell the operator: the window's standard error box, or the headless
// station's standard error and journal. The program goes on.

#include <QString>
#include <stdexcept>

class AppError : public std::runtime_error {
public:
    explicit AppError(const QString &text);
    QString text() const { return m_text; }

private:
    QString m_text;
};
