// The "Transfer" window of file transfers: the file's name, kilobytes done of the total, a bar
// while sending, the rate, a status line and "Cancel". The transfer reports from its worker thread
// into a TransferProgressModel; the window is drawn from the model's snapshots on the
// user-interface thread, at most once per batch of reports.
#pragma once

#include <QDialog>
#include <memory>

#include "frontend/transfer_progress.h"

class QLabel;
class QProgressBar;
class QPushButton;

namespace tarnwick {

struct TransferLink;

class TransferWindow final : public QDialog {
    Q_OBJECT

  public:
    TransferWindow(QWidget* parent, std::shared_ptr<TransferLink> link);
    ~TransferWindow() override;

    // Shows the model's state; a closed model closes the window.
    void Refresh();

  protected:
    // Cancel, Escape and closing the window only ask the transfer to stop; it closes the window
    // once it has.
    void reject() override;
    void closeEvent(QCloseEvent* event) override;

  private:
    std::shared_ptr<TransferLink> link_;
    QLabel* file_;
    QLabel* counts_;
    QProgressBar* bar_;
    QLabel* rate_;
    QLabel* status_;
    QPushButton* cancel_;
};

// A progress object for a transfer, callable from any thread; its window appears on the
// user-interface thread. Destroying the object closes the window.
std::unique_ptr<TransferProgress> CreateTransferWindow(QWidget* parent, bool send_mode);

}  // namespace tarnwick
