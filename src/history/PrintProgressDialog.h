#pragma once
// Progress of a long print job in a window-modal progress dialog with a cancel button. It
// appears only when the job runs longer than half a second.

#include "HistoryPrint.h"

#include <memory>

class QProgressDialog;
class QWidget;

class PrintProgressDialog : public PrintProgress {
public:
    explicit PrintProgressDialog(QWidget *parent);
    ~PrintProgressDialog() override;

    void start(int totalRows) override;
    bool advance(int rowsDone) override;
    void finish() override;

private:
    std::unique_ptr<QProgressDialog> m_dialog;
};
