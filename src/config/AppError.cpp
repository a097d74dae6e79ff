#include "AppError.h"

AppError::AppError(const QString &text) : std::runtime_error(text.toStdString()), m_text(text) {}
