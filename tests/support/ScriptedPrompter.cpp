#include "ScriptedPrompter.h"

#include <QDialog>

ScriptedPrompter::ScriptedPrompter() { ui::setPrompter(this); }
ScriptedPrompter::~ScriptedPrompter() { ui::setPrompter(nullptr); }

ui::Reply ScriptedPrompter::message(const ui::MessageRequest &request)
{
    messages.append(request);
    return replies.isEmpty() ? ui::Reply::Ok : replies.dequeue();
}

int ScriptedPrompter::execModal(QDialog *dialog)
{
    ++modalCount;
    return onModal ? onModal(dialog) : int(QDialog::Rejected);
}

void ScriptedPrompter::standardError(const QString &text) { errors.append(text); }

void ScriptedPrompter::notice(const ui::MessageRequest &request) { notices.append(request); }

QStringList ScriptedPrompter::noticeTexts() const
{
    QStringList texts;
    for (const auto &m : notices)
        texts.append(m.text);
    return texts;
}

QStringList ScriptedPrompter::messageTexts() const
{
    QStringList texts;
    for (const auto &m : messages)
        texts.append(m.text);
    return texts;
}

void ScriptedPrompter::clear()
{
    replies.clear();
    messages.clear();
    errors.clear();
    notices.clear();
    modalCount = 0;
}
