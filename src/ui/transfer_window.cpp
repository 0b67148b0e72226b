#include "ui/transfer_window.h"

#include <QCloseEvent>
#include <QLabel>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>
#include <atomic>

#include "platform/ui_dispatcher.h"
#include "ui/dialog_kit.h"

namespace tarnwick {

// What the transfer (any thread) and its window (the user-interface thread) share. Reports are
// coalesced: while one redraw is queued, further reports only change the model.
struct TransferLink : std::enable_shared_from_this<TransferLink> {
    explicit TransferLink(bool send_mode) : model(send_mode, [this] { Changed(); }) {}

    void Changed() {
        if (queued.exchange(true)) return;
        std::shared_ptr<TransferLink> self = weak_from_this().lock();
        if (self == nullptr) {
            queued = false;
            return;
        }
        UiDispatcher::Instance().Post([self] {
            self->queued = false;
            if (self->window) self->window->Refresh();
        });
    }

    TransferProgressModel model;
    std::atomic<bool> queued{false};
    QPointer<TransferWindow> window;  // the user-interface thread only
};

namespace {

// What the transfer holds: every report goes to the model; the end of the transfer closes it.
class QtTransferProgress final : public TransferProgress {
  public:
    explicit QtTransferProgress(std::shared_ptr<TransferLink> link) : link_(std::move(link)) {}
    ~QtTransferProgress() override { link_->model.Close(); }

    void SetDoneText(const std::string& text) override { link_->model.SetDoneText(text); }
    void SetTotalText(const std::string& text) override { link_->model.SetTotalText(text); }
    void SetPercentage(int percent) override { link_->model.SetPercentage(percent); }
    void SetStatusText(const std::string& text) override { link_->model.SetStatusText(text); }
    bool IsCancelled() const override { return link_->model.IsCancelled(); }
    void Close() override { link_->model.Close(); }
    void SetFileName(const std::string& name) override { link_->model.SetFileName(name); }
    void SetBytes(std::uint64_t done, std::uint64_t total) override {
        link_->model.SetBytes(done, total);
    }

  private:
    std::shared_ptr<TransferLink> link_;
};

}  // namespace

TransferWindow::TransferWindow(QWidget* parent, std::shared_ptr<TransferLink> link)
    : QDialog(parent), link_(std::move(link)) {
    setWindowTitle(QStringLiteral("Transfer"));
    setAttribute(Qt::WA_DeleteOnClose);
    auto* layout = new QVBoxLayout(this);
    // The file's name may come from the other end of the connection.
    file_ = PlainLabel(QString(), this);
    counts_ = new QLabel(this);
    counts_->setMinimumWidth(TextWidth(this, 36));
    bar_ = new QProgressBar(this);
    bar_->setRange(0, 100);
    rate_ = new QLabel(this);
    status_ = PlainLabel(QString(), this);
    cancel_ = new QPushButton(QStringLiteral("Ca&ncel"), this);
    cancel_->setDefault(true);
    connect(cancel_, &QPushButton::clicked, this, &TransferWindow::reject);
    for (QWidget* widget :
         {static_cast<QWidget*>(file_), static_cast<QWidget*>(counts_), static_cast<QWidget*>(bar_),
          static_cast<QWidget*>(rate_), static_cast<QWidget*>(status_)}) {
        layout->addWidget(widget);
    }
    layout->addWidget(cancel_, 0, Qt::AlignRight);
    // The bar is shown only when sending: a receiver does not know the size.
    bar_->setVisible(link_->model.Get().send_mode);
}

TransferWindow::~TransferWindow() = default;

void TransferWindow::Refresh() {
    const TransferProgressModel::Snapshot s = link_->model.Get();
    if (s.closed) {
        close();
        return;
    }
    file_->setText(Q(s.file));
    file_->setVisible(!s.file.empty());
    counts_->setText(Q(s.done_text + " of " + s.total_text + " KB transferred"));
    bar_->setValue(s.percentage);
    rate_->setText(Q(TransferProgressModel::RateText(s.bytes_per_second)));
    rate_->setVisible(s.bytes_per_second > 0);
    status_->setText(Q(s.status));
    cancel_->setEnabled(!s.cancelled);
}

void TransferWindow::reject() {
    link_->model.Cancel();
}

void TransferWindow::closeEvent(QCloseEvent* event) {
    // Not QDialog's own: that rejects. The window goes once the transfer has ended; until then
    // closing it is a Cancel.
    if (link_->model.Get().closed) {
        event->accept();
        return;
    }
    link_->model.Cancel();
    event->ignore();
}

std::unique_ptr<TransferProgress> CreateTransferWindow(QWidget* parent, bool send_mode) {
    auto link = std::make_shared<TransferLink>(send_mode);
    QPointer<QWidget> owner(parent);
    auto open = [link, owner] {
        auto* window = new TransferWindow(owner, link);
        link->window = window;
        window->show();
        window->Refresh();
    };
    UiDispatcher& dispatcher = UiDispatcher::Instance();
    if (dispatcher.IsUiThread()) {
        open();
    } else {
        dispatcher.Post(open);
    }
    return std::make_unique<QtTransferProgress>(link);
}

}  // namespace tarnwick
