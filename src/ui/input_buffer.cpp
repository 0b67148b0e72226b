#include "ui/input_buffer.h"

#include <QCloseEvent>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QPushButton>

#include "ui/dialog_kit.h"

namespace tarnwick {

InputBuffer::InputBuffer(QWidget* parent, std::function<void(const std::string&)> send,
                         std::function<void()> closed)
    : QWidget(parent, Qt::Tool), send_(std::move(send)), closed_(std::move(closed)) {
    setWindowTitle(QStringLiteral("Tarnwick Input Buffer"));
    auto* layout = new QHBoxLayout(this);
    field_ = new QLineEdit(this);
    field_->setMinimumWidth(TextWidth(field_, 40));
    auto* send_button = new QPushButton(QStringLiteral("Send"), this);
    layout->addWidget(field_);
    layout->addWidget(send_button);
    connect(field_, &QLineEdit::returnPressed, this, &InputBuffer::SendLine);
    connect(send_button, &QPushButton::clicked, this, &InputBuffer::SendLine);
}

void InputBuffer::ShowAndFocus() {
    show();
    raise();
    activateWindow();
    field_->setFocus();
}

void InputBuffer::SendLine() {
    const std::string text = field_->text().toStdString();
    if (!text.empty() && send_) send_(text);
    field_->clear();
    field_->setFocus();
}

void InputBuffer::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape) {
        close();
        return;
    }
    QWidget::keyPressEvent(event);
}

void InputBuffer::closeEvent(QCloseEvent* event) {
    QWidget::closeEvent(event);
    if (closed_) closed_();
}

}  // namespace tarnwick
