#include "ui/dialogs.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <vector>

#include "core/session_config.h"
#include "frontend/connection_form.h"
#include "frontend/key_manager_model.h"
#include "frontend/port_forward_model.h"

namespace tarnwick {

namespace {

QString Q(const std::string& text) {
    return QString::fromStdString(text);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// New Connection

ConnectionChoice RunConnectionDialogs(QWidget* parent, SessionConfig& config) {
    ConnectionChooser chooser;
    QDialog dialog(parent);
    dialog.setWindowTitle(QStringLiteral("New Connection"));
    auto* layout = new QVBoxLayout(&dialog);
    auto* list = new QListWidget(&dialog);
    for (const ConnectionChooser::Entry& entry : chooser.Entries()) {
        auto* item = new QListWidgetItem(Q(entry.text), list);
        if (entry.type == ConnectionChooser::Entry::kSeparator || !entry.available) {
            item->setFlags(item->flags() & ~Qt::ItemIsEnabled);
        }
    }
    layout->addWidget(list);
    auto* row = new QHBoxLayout();
    auto* first = new QPushButton(QStringLiteral("&Configure"), &dialog);
    auto* edit = new QPushButton(QStringLiteral("&Edit..."), &dialog);
    auto* remove = new QPushButton(QStringLiteral("&Delete..."), &dialog);
    auto* cancel = new QPushButton(QStringLiteral("Cancel"), &dialog);
    first->setDefault(true);
    for (QPushButton* b : {first, edit, remove, cancel})
        row->addWidget(b);
    layout->addLayout(row);

    auto refresh = [&] {
        const ConnectionChooser::Buttons state = chooser.ButtonsFor(list->currentRow());
        first->setText(QString::fromUtf8(state.first_text));
        first->setEnabled(state.first);
        edit->setEnabled(state.edit);
        remove->setEnabled(state.remove);
    };
    QObject::connect(list, &QListWidget::currentRowChanged, &dialog, refresh);
    // The first kind is selected when the dialog opens.
    list->setCurrentRow(0);
    refresh();

    ConnectionChoice choice;
    std::optional<int> kind;
    auto take_first = [&] {
        const int index = list->currentRow();
        if (auto k = chooser.Configure(index)) {
            kind = k;
            dialog.accept();
        } else if (auto path = chooser.Connect(index)) {
            choice.saved = path;
            dialog.accept();
        }
    };
    QObject::connect(first, &QPushButton::clicked, &dialog, take_first);
    QObject::connect(list, &QListWidget::itemDoubleClicked, &dialog, take_first);
    QObject::connect(edit, &QPushButton::clicked, &dialog, [&] {
        if (auto k = chooser.Edit(list->currentRow(), config)) {
            kind = k;
            dialog.accept();
        }
    });
    QObject::connect(remove, &QPushButton::clicked, &dialog, [&] {
        const int index = list->currentRow();
        if (chooser.Delete(index)) {
            delete list->takeItem(index);
            refresh();
        }
    });
    QObject::connect(cancel, &QPushButton::clicked, &dialog, &QDialog::reject);
    dialog.resize(360, 320);
    if (dialog.exec() != QDialog::Accepted) return choice;
    if (kind) choice.accepted = RunParameterForm(parent, config, *kind);
    return choice;
}

bool RunParameterForm(QWidget* parent, SessionConfig& config, int kind) {
    ConnectionForm form(config, kind);
    QDialog dialog(parent);
    dialog.setWindowTitle(QString::fromUtf8(form.definition().title));
    auto* layout = new QVBoxLayout(&dialog);
    auto* fields = new QFormLayout();
    layout->addLayout(fields);

    // One widget per field; each writes its value back into the form when OK is pressed.
    std::vector<std::function<void()>> store;
    for (std::size_t i = 0; i < form.FieldCount(); ++i) {
        const FormField& field = form.Field(i);
        const QString label = QString::fromUtf8(field.label);
        switch (field.type) {
            case FieldType::kCheck: {
                auto* box = new QCheckBox(label, &dialog);
                box->setChecked(form.Checked(i));
                fields->addRow(box);
                store.push_back([&form, i, box] { form.SetChecked(i, box->isChecked()); });
                break;
            }
            case FieldType::kChoice: {
                auto* combo = new QComboBox(&dialog);
                for (const std::string& name : form.ChoiceNames(i))
                    combo->addItem(Q(name));
                combo->setCurrentIndex(form.ChoiceIndex(i));
                fields->addRow(label, combo);
                store.push_back(
                    [&form, i, combo] { form.SetChoiceIndex(i, combo->currentIndex()); });
                break;
            }
            case FieldType::kKeyFile: {
                auto* line = new QLineEdit(Q(form.Text(i)), &dialog);
                auto* browse = new QPushButton(QStringLiteral("..."), &dialog);
                QObject::connect(browse, &QPushButton::clicked, &dialog, [&form, i, line] {
                    form.SetText(i, line->text().toStdString());
                    form.ChooseKeyFile(i);
                    line->setText(Q(form.Text(i)));
                });
                auto* row = new QHBoxLayout();
                row->addWidget(line);
                row->addWidget(browse);
                fields->addRow(label, row);
                store.push_back([&form, i, line] { form.SetText(i, line->text().toStdString()); });
                break;
            }
            default: {
                auto* line = new QLineEdit(Q(form.Text(i)), &dialog);
                line->setMaxLength(static_cast<int>(ConnectionForm::kMaxText));
                fields->addRow(label, line);
                store.push_back([&form, i, line] { form.SetText(i, line->text().toStdString()); });
                break;
            }
        }
    }
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    if ((form.definition().buttons & kButtonForwards) != 0) {
        QPushButton* forwards =
            buttons->addButton(QStringLiteral("Forwar&d..."), QDialogButtonBox::ActionRole);
        QObject::connect(forwards, &QPushButton::clicked, &dialog,
                         [&dialog, &config] { RunPortForwards(&dialog, config); });
    }
    layout->addWidget(buttons);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, [&] {
        for (auto& f : store)
            f();
        // OK does nothing while a required field is empty.
        if (form.Accept()) dialog.accept();
    });
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    if (dialog.exec() == QDialog::Accepted) return true;
    form.Cancel();
    return false;
}

// ---------------------------------------------------------------------------------------------
// Local port forwarding

void RunPortForwards(QWidget* parent, SessionConfig& config) {
    PortForwardListModel model;
    model.Load(config);
    QDialog dialog(parent);
    dialog.setWindowTitle(QStringLiteral("Local Port Forwarding"));
    auto* layout = new QVBoxLayout(&dialog);
    auto* rows = new QTreeWidget(&dialog);
    rows->setRootIsDecorated(false);
    QStringList titles;
    for (const ForwardColumn& column : PortForwardColumns())
        titles << QString::fromUtf8(column.title);
    rows->setHeaderLabels(titles);
    layout->addWidget(rows);
    auto* shell = new QCheckBox(QStringLiteral("Open an interactive shell as well"), &dialog);
    shell->setChecked(config.GetInt(setting::ssh2_want_interactive) != 0);
    layout->addWidget(shell);
    auto* buttons = new QHBoxLayout();
    auto* add = new QPushButton(QStringLiteral("&Add..."), &dialog);
    auto* remove = new QPushButton(QStringLiteral("&Delete"), &dialog);
    auto* close = new QPushButton(QStringLiteral("OK"), &dialog);
    for (QPushButton* b : {add, remove, close})
        buttons->addWidget(b);
    layout->addLayout(buttons);
    auto fill = [&] {
        rows->clear();
        for (const PortForward& f : model.Rows()) {
            new QTreeWidgetItem(
                rows, {QString::number(f.local_port), Q(f.remote_host),
                       QString::number(f.remote_port), Q(PortForwardListModel::AllowText(f))});
        }
    };
    QObject::connect(add, &QPushButton::clicked, &dialog, [&] {
        QDialog adder(&dialog);
        adder.setWindowTitle(QStringLiteral("Add Port Forward"));
        auto* fields = new QFormLayout(&adder);
        auto* local = new QLineEdit(&adder);
        auto* host = new QLineEdit(&adder);
        auto* remote = new QLineEdit(&adder);
        auto* allow = new QCheckBox(QStringLiteral("Allow access by non-local hosts"), &adder);
        fields->addRow(QStringLiteral("Local Port"), local);
        fields->addRow(QStringLiteral("Remote Host"), host);
        fields->addRow(QStringLiteral("Remote Port"), remote);
        fields->addRow(allow);
        auto* box = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &adder);
        fields->addRow(box);
        QObject::connect(box, &QDialogButtonBox::accepted, &adder, [&] {
            // The checks show their own "Error" box and keep the dialog open.
            ForwardValidation result = ValidatePortForward(
                local->text().trimmed().toStdString(), host->text().trimmed().toStdString(),
                remote->text().trimmed().toStdString(), allow->isChecked());
            if (!result.ok) return;
            if (model.Add(result.forward)) fill();
            adder.accept();
        });
        QObject::connect(box, &QDialogButtonBox::rejected, &adder, &QDialog::reject);
        adder.exec();
    });
    QObject::connect(remove, &QPushButton::clicked, &dialog, [&] {
        if (model.Delete(rows->indexOfTopLevelItem(rows->currentItem()))) fill();
    });
    QObject::connect(close, &QPushButton::clicked, &dialog, &QDialog::accept);
    fill();
    dialog.exec();
    // Leaving the list either way keeps what it shows.
    model.Store(config);
    config.SetInt(setting::ssh2_want_interactive, shell->isChecked() ? 1 : 0);
}

// ---------------------------------------------------------------------------------------------
// Host key manager

void RunHostKeyManager(QWidget* parent) {
    KeyManagerModel model;
    QDialog dialog(parent);
    dialog.setWindowTitle(QStringLiteral("Key Manager"));
    auto* layout = new QVBoxLayout(&dialog);
    auto* types = new QComboBox(&dialog);
    for (const KeyType& type : KeyManagerModel::KeyTypes())
        types->addItem(QString::fromUtf8(type.caption));
    auto* top = new QFormLayout();
    top->addRow(QStringLiteral("Key type:"), types);
    layout->addLayout(top);
    auto* rows = new QTreeWidget(&dialog);
    rows->setRootIsDecorated(false);
    rows->setHeaderLabels({QStringLiteral("Host"), QStringLiteral("Fingerprint")});
    layout->addWidget(rows);
    auto* buttons = new QHBoxLayout();
    auto* remove = new QPushButton(QStringLiteral("Delete"), &dialog);
    auto* exporter = new QPushButton(QStringLiteral("&Export"), &dialog);
    auto* importer = new QPushButton(QStringLiteral("&Import"), &dialog);
    auto* close = new QPushButton(QStringLiteral("Close"), &dialog);
    for (QPushButton* b : {remove, exporter, importer, close})
        buttons->addWidget(b);
    layout->addLayout(buttons);

    auto fill = [&] {
        rows->clear();
        for (const KnownHostEntry& entry : model.Rows()) {
            new QTreeWidgetItem(rows, {Q(entry.name), Q(entry.fingerprint)});
        }
        const bool selected = rows->currentItem() != nullptr;
        remove->setEnabled(selected);
        exporter->setEnabled(selected);
    };
    auto selected_row = [&] { return rows->indexOfTopLevelItem(rows->currentItem()); };
    QObject::connect(types, &QComboBox::currentIndexChanged, &dialog, [&](int index) {
        model.SelectKeyType(index);
        fill();
    });
    QObject::connect(rows, &QTreeWidget::currentItemChanged, &dialog, [&] {
        const bool selected = rows->currentItem() != nullptr;
        remove->setEnabled(selected);
        exporter->setEnabled(selected);
    });
    QObject::connect(rows->header(), &QHeaderView::sectionClicked, &dialog, [&](int column) {
        model.SortByColumn(column);
        fill();
    });
    QObject::connect(remove, &QPushButton::clicked, &dialog, [&] {
        if (model.Delete(selected_row())) fill();
    });
    QObject::connect(exporter, &QPushButton::clicked, &dialog,
                     [&] { (void)model.Export(selected_row()); });
    QObject::connect(importer, &QPushButton::clicked, &dialog, [&] {
        if (model.Import()) fill();
    });
    QObject::connect(close, &QPushButton::clicked, &dialog, &QDialog::accept);
    types->setCurrentIndex(KeyManagerModel::kInitialKeyType);
    model.SelectKeyType(KeyManagerModel::kInitialKeyType);
    fill();
    dialog.resize(520, 320);
    dialog.exec();
}

// ---------------------------------------------------------------------------------------------
// Input buffer

InputBuffer::InputBuffer(QWidget* parent, std::function<void(const std::string&)> send,
                         std::function<void()> closed)
    : QWidget(parent, Qt::Tool), send_(std::move(send)), closed_(std::move(closed)) {
    setWindowTitle(QStringLiteral("Tarnwick Input Buffer"));
    auto* layout = new QHBoxLayout(this);
    field_ = new QLineEdit(this);
    auto* send_button = new QPushButton(QStringLiteral("Send"), this);
    layout->addWidget(field_);
    layout->addWidget(send_button);
    connect(field_, &QLineEdit::returnPressed, this, &InputBuffer::SendLine);
    connect(send_button, &QPushButton::clicked, this, &InputBuffer::SendLine);
    resize(360, sizeHint().height());
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
