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
    modalCount = 0;
}
